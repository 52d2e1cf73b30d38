#include "display/window.h"

#include "display/surface.h"
#include "display/system.h"
#include "input/eventservice.h"
#include "os/diagnostics.h"

namespace {

// Process-wide state of the procedure (host window's thread only).
int32_t gLeftButtonDown;
uint8_t gCommandSent;
uint8_t gSkipNextKey;

// Scan codes that select accelerators and never reach the guest: none at all,
// Ctrl and Alt (either side: the extended-key flag is not looked at) and 100,
// the code the guest knows as the right Alt.
constexpr unsigned kScanNone = 0;
constexpr unsigned kScanCtrl = 29;
constexpr unsigned kScanAlt = 56;
constexpr unsigned kScanGuestRightAlt = 100;

// A maximised host window covers the screen without frame or caption, on top.
// Bit 31 of the extended style, which means nothing of its own, is set with
// WS_EX_TOPMOST.
constexpr LONG kFramelessStyleMask =
    ~static_cast<LONG>(WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
constexpr DWORD kExStyleBit31 = 0x80000000u;
constexpr DWORD kMaximisedExStyle = WS_EX_TOPMOST | kExStyleBit31;
static_assert(static_cast<DWORD>(kFramelessStyleMask) == 0xFF30FFFFu);
static_assert(kMaximisedExStyle == 0x80000008u);

// An Escape press and release as the keyboard reports them: repeat count 1,
// scan code 1, and for the release the previous-state and transition bits.
constexpr uint32_t kEscapeDownBits = 0x00010001u;
constexpr uint32_t kEscapeUpBits = 0xC0010001u;

// How long WM_ACTIVATE holds the window's thread before it presents.
constexpr DWORD kActivatePauseMs = 500;

// True while a maximise is being laid out: the window calls made for it send
// a further WM_SIZE, which must not start the same steps again.
bool sMaximising;

void push(unsigned message, uint32_t wParam, int32_t lParam)
{
    if (OSALEventService *service = OSALEventService::getInstance())
        service->push(message, wParam, lParam);
}

void surfaceResize(int width, int height)
{
    if (OSALSurface *s = OSALSurface::getInstance())
        s->resize(width, height);
}

void surfaceSwapTwice()
{
    if (OSALSurface *s = OSALSurface::getInstance()) {
        s->swapBuffers();
        s->swapBuffers();
    }
}

// The guest system is stopped by its stop command; this thread then waits
// for the end of the process.
LRESULT stop()
{
    osal_dieHard();
    return 0;
}

void pushPosition(LPARAM lParam)
{
    uint32_t bits = static_cast<uint32_t>(lParam);
    push(WM_TOUCH_X, 0, static_cast<int32_t>(LOWORD(bits)));
    push(WM_TOUCH_Y, 0, static_cast<int32_t>(HIWORD(bits)));
}

// The button's press (down 1) or release (down 0): pressure and tool width,
// the button message itself, and the end of the group.
void pushContact(UINT message, WPARAM wParam, LPARAM lParam, int32_t down)
{
    push(WM_TOUCH_PRESSURE, 0, down);
    push(WM_TOUCH_WIDTH, 0, down);
    push(message, static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam));
    push(WM_TOUCH_SYNC, 0, 0);
}

LRESULT onKey(UINT message, WPARAM wParam, LPARAM lParam)
{
    // The two key messages after an accelerator command are the tail of its
    // keystroke: the guest already got the command's own key.
    if (gCommandSent) {
        gCommandSent = 0;
        gSkipNextKey = 1;
        return 0;
    }
    if (gSkipNextKey) {
        gSkipNextKey = 0;
        return 0;
    }
    unsigned scan = keyScanCode(static_cast<uint32_t>(lParam));
    if (scan == kScanNone || scan == kScanCtrl || scan == kScanAlt || scan == kScanGuestRightAlt)
        return 0;
    push(message, static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam));
    return 0;
}

LRESULT onSize(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    int width;
    int height;
    if (wParam == SIZE_MAXIMIZED) {
        if (!sMaximising) {
            sMaximising = true;
            // Borderless and on top, covering the whole screen.
            SetWindowLongA(hwnd, GWL_STYLE, GetWindowLongA(hwnd, GWL_STYLE) & kFramelessStyleMask);
            SetWindowLongA(hwnd, GWL_EXSTYLE,
                           static_cast<LONG>(static_cast<DWORD>(GetWindowLongA(hwnd, GWL_EXSTYLE)) | kMaximisedExStyle));
            gClientWidth = GetSystemMetrics(SM_CXSCREEN);
            gClientHeight = GetSystemMetrics(SM_CYSCREEN);
            SetWindowPos(hwnd, nullptr, 0, 0, gClientWidth, gClientHeight, SWP_NOZORDER);
            ShowWindow(hwnd, SW_SHOWMAXIMIZED);
            sMaximising = false;
        }
        width = gClientWidth;
        height = gClientHeight;
    } else {
        RECT client{};
        GetClientRect(hwnd, &client);
        width = gClientWidth = client.right;
        height = gClientHeight = client.bottom;
    }
    surfaceResize(width, height);
    UpdateWindow(hwnd);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

} // namespace

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SIZE:
        return onSize(hwnd, message, wParam, lParam);
    case WM_ACTIVATE:
        Sleep(kActivatePauseMs);
        surfaceSwapTwice();
        return DefWindowProcA(hwnd, message, wParam, lParam);
    case WM_DESTROY:
    case WM_CLOSE:
    case WM_QUIT:
        return stop();
    case WM_KEYDOWN:
    case WM_KEYUP:
        return onKey(message, wParam, lParam);
    case WM_COMMAND: {
        unsigned id = LOWORD(wParam);
        if (id == IDM_STOP)
            return stop();
        debugPrint("got 0x%x\n", id);
        push(WM_GUEST_KEY, id, 1);
        push(WM_GUEST_KEY, id, 0);
        gCommandSent = 1;
        return 0;
    }
    case WM_SYSCOMMAND:
        if (LOWORD(wParam) == IDM_STOP)
            return stop();
        return DefWindowProcA(hwnd, message, wParam, lParam);
    case WM_MOUSEMOVE:
        if (gLeftButtonDown) {
            pushPosition(lParam);
            push(WM_TOUCH_PRESSURE, 0, 1);
            push(WM_TOUCH_SYNC, 0, 0);
        }
        return 0;
    case WM_LBUTTONDOWN:
        gLeftButtonDown = 1;
        pushPosition(lParam);
        pushContact(message, wParam, lParam, 1);
        return 0;
    case WM_LBUTTONUP:
        gLeftButtonDown = 0;
        pushContact(message, wParam, lParam, 0);
        return 0;
    case WM_GUEST_KEY:
        push(WM_GUEST_KEY, static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam));
        return 0;
    case WM_MAINWINDOW_ACTIVE:
        debugPrint("got WM_MAINWINDOW_ACTIVE\n");
        // Escape pressed and released, as the keyboard would report them.
        push(WM_KEYDOWN, VK_ESCAPE, static_cast<int32_t>(kEscapeDownBits));
        push(WM_KEYUP, VK_ESCAPE, static_cast<int32_t>(kEscapeUpBits));
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}
