// The idle loop of a guest thread and the end of the process through WM_QUIT,
// each in a process of its own, also for a C caller built with another
// default calling convention.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "child.h"
#include "display/surface.h"
#include "display/system.h"
#include "roles.h"

// The C caller (idle_caller.c) and the quit it posts through this side.
extern "C" int KESTLE_CALL ktRunIdleCaller(int calls, int arg);

extern "C" void KESTLE_CALL ktEndIdleLoop(void)
{
    PostQuitMessage(0);
}

namespace {

HWND sWindow;
int sIdleCalls;
int sIdleArg;

LRESULT CALLBACK testWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP) {
        printf("dispatched %d after %d idle calls\n", static_cast<int>(wParam), sIdleCalls);
        fflush(stdout);
        return 0;
    }
    if (message == WM_QUIT) {
        printf("WM_QUIT dispatched\n");
        fflush(stdout);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND makeTestWindow()
{
    WNDCLASSA c{};
    c.lpfnWndProc = testWindowProc;
    c.hInstance = GetModuleHandleA(nullptr);
    c.lpszClassName = "kt-idle-window";
    RegisterClassA(&c);
    return CreateWindowExA(0, c.lpszClassName, "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, c.hInstance, nullptr);
}

// Two messages for the window, handled between idle calls; then the quit,
// posted to the window, after which no idle call and no dispatch may follow.
void idle(int arg)
{
    if (sIdleCalls == 0)
        sIdleArg = arg;
    else if (arg != sIdleArg) {
        printf("idle argument changed from %d to %d\n", sIdleArg, arg);
        fflush(stdout);
    }
    ++sIdleCalls;
    if (sIdleCalls == 3) {
        PostMessageA(sWindow, WM_APP, 1, 0);
        PostMessageA(sWindow, WM_APP, 2, 0);
    } else if (sIdleCalls == 10) {
        PostMessageA(sWindow, WM_QUIT, 0, 0);
    } else if (sIdleCalls > 10) {
        printf("idle called after the quit\n");
        fflush(stdout);
    }
}

KT_ROLE(idleQuit)
{
    // Device objects to release on the way out.
    if (osal_input_getNumInputDevices() != 2 || !OSALSurface::getInstance())
        return 3;
    sWindow = makeTestWindow();
    if (!sWindow)
        return 4;
    osal_init_done(idle, 77);
    return 5; // never reached
}

TEST(IdleLoop, DispatchesBetweenIdleCallsAndEndsWithStatusZeroOnQuit)
{
    kt::Finished child = kt::runRoleToEnd("idleQuit");
    ASSERT_TRUE(child.ended) << child.out;
    EXPECT_EQ(child.code, 0u) << child.out;
    // Waiting messages go first, one per pass; idle only when none waits.
    EXPECT_EQ(child.out, "dispatched 1 after 3 idle calls\ndispatched 2 after 3 idle calls\n");
}

KT_ROLE(idleNull)
{
    DWORD mainThread = GetCurrentThreadId();
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue exists now
    std::thread([mainThread] {
        Sleep(300);
        PostThreadMessageA(mainThread, WM_QUIT, 0, 0);
    }).detach();
    osal_init_done(nullptr, 0);
    return 5;
}

TEST(IdleLoop, WithoutAnIdleFunctionWaitsForMessagesAndStillEnds)
{
    // Nothing was made here either: shutdown has no device object to release.
    kt::Finished child = kt::runRoleToEnd("idleNull");
    ASSERT_TRUE(child.ended) << child.out;
    EXPECT_EQ(child.code, 0u) << child.out;
}

KT_ROLE(otherDefaultConvention)
{
    return ktRunIdleCaller(1000, 41);
}

// The idle function of a C caller whose compiler defaults to stdcall (on
// i686; x86-64 has one calling convention, and there the same caller checks
// that the loop calls it repeatedly with its argument and its stack position
// unchanged, and ends cleanly).
TEST(IdleLoop, ACallerWithStdcallAsItsDefaultKeepsItsStackAcrossIdleCalls)
{
    DWORD code = 1;
    std::string out = kt::runToEnd(kt::selfPath(), {"--role", "otherDefaultConvention"}, &code, nullptr, 60000);
    EXPECT_EQ(out, "idle calls=1000 arg=41 stack moved=0 argument changed=0\n");
    EXPECT_EQ(code, 0u) << out;
}

// Guest threads keep using the input object while another thread takes
// WM_QUIT: the process must still end cleanly.
KT_ROLE(quitWhileBusy)
{
    std::atomic<bool> bad{false};
    for (int i = 0; i < 4; ++i) {
        std::thread([&bad] {
            for (;;) {
                const char *path = osal_input_getDevicePath(1);
                if (!path || strcmp(path, "mouse0") != 0)
                    bad = true;
            }
        }).detach();
    }
    Sleep(100);
    DWORD mainThread = GetCurrentThreadId();
    // Both loops get WM_QUIT at once: one ending, not two.
    std::thread([mainThread] {
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
        PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0);
        PostThreadMessageA(mainThread, WM_QUIT, 0, 0);
        osal_window_msg_loop();
    }).detach();
    osal_init_done([](int) {}, 0);
    return 5;
}

TEST(IdleLoop, QuitEndsTheProcessWhileOtherThreadsUseTheDevices)
{
    for (int round = 0; round < 5; ++round) {
        kt::Finished child = kt::runRoleToEnd("quitWhileBusy");
        ASSERT_TRUE(child.ended) << child.out;
        EXPECT_EQ(child.code, 0u) << "round " << round << ": " << child.out;
    }
}

} // namespace
