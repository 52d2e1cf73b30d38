// The host process of the window tests: starts the host side, reports its
// window, then carries out commands read from its standard input.
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "display/surface.h"
#include "display/system.h"
#include "roles.h"

namespace {

WORD virtualKey(const std::string &name)
{
    if (name == "ctrl")
        return VK_CONTROL;
    if (name == "alt")
        return VK_MENU;
    if (name == "shift")
        return VK_SHIFT;
    if (name == "f4")
        return VK_F4;
    return static_cast<WORD>(toupper(static_cast<unsigned char>(name[0])));
}

// "+key" presses, "-key" releases, in one injected sequence.
void sendKeys(std::istringstream &words)
{
    std::vector<INPUT> inputs;
    std::string word;
    while (words >> word) {
        INPUT in{};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = virtualKey(word.substr(1));
        in.ki.wScan = static_cast<WORD>(MapVirtualKeyA(in.ki.wVk, MAPVK_VK_TO_VSC));
        in.ki.dwFlags = word[0] == '-' ? KEYEVENTF_KEYUP : 0;
        inputs.push_back(in);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

} // namespace

KT_ROLE(host)
{
    bool withoutInit = !args.empty() && args[0] == "wait-first";
    OSALSystem *system = OSALSystem::getInstance();
    if (!withoutInit)
        osal_system_init();
    osal_system_wait();
    // Accelerators come right after the ready flag.
    for (int i = 0; i < 6000 && !__atomic_load_n(&system->mAccel, __ATOMIC_ACQUIRE); ++i)
        Sleep(10);
    printf("ready %lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(system->mHwnd)));
    fflush(stdout);
    char line[512];
    while (fgets(line, sizeof line, stdin)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "keys") {
            SetForegroundWindow(system->mHwnd);
            sendKeys(words);
            printf("sent\n");
        } else if (command == "quit") {
            PostThreadMessageA(GetThreadId(system->mStartThread), WM_QUIT, 0, 0);
        } else if (command == "client") {
            RECT r{};
            GetClientRect(system->mHwnd, &r);
            printf("client %ld %ld\n", r.right, r.bottom);
        } else if (command == "maximize" || command == "window") {
            if (command == "maximize")
                ShowWindow(system->mHwnd, SW_MAXIMIZE);
            RECT r{};
            GetWindowRect(system->mHwnd, &r);
            printf("window %ld %ld %ld %ld style %lx ex %lx\n", r.left, r.top, r.right, r.bottom,
                   static_cast<unsigned long>(GetWindowLongA(system->mHwnd, GWL_STYLE)),
                   static_cast<unsigned long>(GetWindowLongA(system->mHwnd, GWL_EXSTYLE)));
        } else if (command == "sizes") {
            RECT r{};
            GetClientRect(system->mHwnd, &r);
            OSALSurface *surface = system->mSurface.get();
            printf("sizes client %ld %ld seen %d %d guest %d %d surface %d %d\n", r.right, r.bottom, gClientWidth,
                   gClientHeight, system->mWidth, system->mHeight, surface ? surface->mWidth : -1,
                   surface ? surface->mHeight : -1);
        } else if (command == "again") {
            DWORD start = GetTickCount();
            int second = osal_system_init();
            osal_system_wait();
            int windows = 0;
            for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, "Vantrell", "Vantrell"));)
                ++windows;
            printf("again same=%d windows=%d ms=%lu\n",
                   second == static_cast<int>(reinterpret_cast<uintptr_t>(system->mStartThread)), windows,
                   GetTickCount() - start);
        } else if (command == "move") {
            SetForegroundWindow(system->mHwnd);
            int moved = osal_moveWindow();
            RECT r{};
            GetWindowRect(system->mHwnd, &r);
            printf("moved %d foreground=%d %ld %ld %ld %ld\n", moved, GetForegroundWindow() == system->mHwnd, r.left,
                   r.top, r.right, r.bottom);
        } else if (command == "threads") {
            printf("threads start=%d event=%d\n", system->mStartThread != nullptr, system->mEventThread != nullptr);
        }
        fflush(stdout);
    }
    return 0;
}
