// Start-up of the host side: the start-up thread makes the host window and
// becomes its thread, running the window's message loop for the rest of the
// process.
#include "display/surface.h"
#include "display/system.h"
#include "display/window.h"
#include "input/eventservice.h"
#include "os/diagnostics.h"

namespace {

constexpr ACCEL kAcceleratorTable[] = {
    {FVIRTKEY | FSHIFT, '3', 228},
    {FVIRTKEY | FSHIFT, '8', 227},
    {FVIRTKEY | FCONTROL | FALT, '1', 102},
    {FVIRTKEY | FCONTROL | FALT, '2', 235},
    {FVIRTKEY | FCONTROL | FALT, '3', 236},
    {FVIRTKEY | FCONTROL | FALT, '4', 237},
    {FVIRTKEY | FCONTROL | FALT, '5', 229},
    {FVIRTKEY | FCONTROL | FALT, '6', 158},
    {FVIRTKEY | FCONTROL | FALT, '7', 59},
    {FVIRTKEY | FCONTROL | FALT, '8', 60},
    {FVIRTKEY | FCONTROL | FALT, '9', 61},
    {FVIRTKEY | FCONTROL | FALT, '0', 62},
    {FVIRTKEY | FALT, VK_F4, IDM_STOP},
};
constexpr int kAcceleratorCount = sizeof kAcceleratorTable / sizeof kAcceleratorTable[0];
static_assert(kAcceleratorCount == 13);

// One start-up per process: a second init hands back the first thread. The
// slot publishes the system object's mStartThread once it holds the thread.
constinit OnceSlot<HANDLE> sStartUp;

// How often osal_system_wait looks at the ready flag.
constexpr DWORD kReadyPollMs = 50;

// The window's icon is resource 101 of the process's executable; its client
// area is first laid out 30 pixels from the screen's left and top edges.
constexpr WORD kIconResource = 101;
constexpr int kWindowOrigin = 30;
// osal_sendActiveMsg's pause before it asks the host window.
constexpr DWORD kActivePauseMs = 800;
// osal_moveWindow's size.
constexpr int kMovedWindowSize = 100;

unsigned __stdcall systemStartThread(void *)
{
    OSALSystem::getInstanceWaiting().startUp();
}

} // namespace

HWND findHostWindow()
{
    return FindWindowA(kHostWindowName, kHostWindowName);
}

void OSALSystem::createWindow()
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = mInstance;
    windowClass.hIcon = LoadIconA(mInstance, MAKEINTRESOURCEA(kIconResource));
    windowClass.hIconSm = LoadIconA(mInstance, MAKEINTRESOURCEA(kIconResource));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_HAND);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = kHostWindowName;
    RegisterClassExA(&windowClass);

    // Laid out for the thicker frame of an overlapped window, so the client
    // area comes out at least the guest display size.
    RECT rect = {kWindowOrigin, kWindowOrigin, gClientWidth + kWindowOrigin, gClientHeight + kWindowOrigin};
    AdjustWindowRectEx(&rect, WS_OVERLAPPEDWINDOW, FALSE, 0);
    mHwnd = CreateWindowExA(0, kHostWindowName, kHostWindowName, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, rect.left,
                            rect.top, rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, mInstance,
                            nullptr);
    ShowWindow(mHwnd, SW_SHOWNORMAL);
    UpdateWindow(mHwnd);
}

void OSALSystem::startEventService()
{
    mEventThread = reinterpret_cast<HANDLE>(osal_CreateThread(nullptr, 0, eventServiceThread, nullptr, 0, nullptr));
}

void OSALSystem::startUp()
{
    mInstance = GetModuleHandleA(nullptr);
    createWindow();
    startEventService();
    debugPrint("width=%d\n", gClientWidth);
    debugPrint("height=%d\n", gClientHeight);
    // Usually made already by the window's first WM_SIZE.
    OSALSurface::getInstance();
    __atomic_store_n(&mReady, 1, __ATOMIC_RELEASE);
    ACCEL table[kAcceleratorCount];
    for (int i = 0; i < kAcceleratorCount; ++i)
        table[i] = kAcceleratorTable[i];
    HACCEL accel = CreateAcceleratorTableA(table, kAcceleratorCount);
    if (accel)
        debugPrint("accelerator table handle created at 0x%x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(accel)));
    else
        debugPrint("accelerator table handle create failed\n");
    __atomic_store_n(&mAccel, accel, __ATOMIC_RELEASE);
    messageLoop();
}

void OSALSystem::messageLoop()
{
    MSG message;
    for (;;) {
        BOOL r = GetMessageA(&message, nullptr, 0, 0);
        if (r == 0)
            shutdown();
        if (r == -1)
            continue;
        HACCEL accel = __atomic_load_n(&mAccel, __ATOMIC_ACQUIRE);
        if (accel && TranslateAcceleratorA(mHwnd, accel, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

extern "C" int KESTLE_CALL osal_system_init(void)
{
    debugPrint("init()\n");
    OSALSystem *system = OSALSystem::getInstance();
    if (!system)
        return 0;
    // A second call would make a second host window under the same name and
    // a second server for the one input pipe: it gets the first thread. When
    // none could be started, nothing was, and a later call may try again.
    HANDLE *thread = sStartUp.getOrCreate([system]() -> HANDLE * {
        uintptr_t started = osal_CreateThread(nullptr, 0, systemStartThread, nullptr, 0, nullptr);
        if (!started)
            return nullptr;
        __atomic_store_n(&system->mStartThread, reinterpret_cast<HANDLE>(started), __ATOMIC_RELEASE);
        return &system->mStartThread;
    });
    return thread ? static_cast<int>(reinterpret_cast<uintptr_t>(*thread)) : 0;
}

extern "C" void KESTLE_CALL osal_system_wait(void)
{
    OSALSystem &system = OSALSystem::getInstanceWaiting();
    while (!__atomic_load_n(&system.mReady, __ATOMIC_ACQUIRE))
        Sleep(kReadyPollMs);
}

extern "C" void KESTLE_CALL osal_window_msg_loop(void)
{
    OSALSystem::getInstanceWaiting().messageLoop();
}

extern "C" int KESTLE_CALL osal_sendActiveMsg(void)
{
    HWND window = findHostWindow();
    if (!window)
        return 0;
    Sleep(kActivePauseMs);
    return static_cast<int>(SendMessageA(window, WM_MAINWINDOW_ACTIVE, 0, 0));
}

extern "C" int KESTLE_CALL osal_moveWindow(void)
{
    return MoveWindow(GetForegroundWindow(), 0, 0, kMovedWindowSize, kMovedWindowSize, TRUE);
}
