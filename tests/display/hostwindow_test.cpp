// Start-up of the host side in a real host process: the window, its threads,
// the ready flag and the ends of the window's message loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "display/system.h"
#include "host_support.h"
#include "roles.h"

namespace {

TEST(HostWindowStartUp, OpensAtTheGuestDisplaySizeAndRecordsItsClientArea)
{
    kt::GuestStop stop;
    kt::Child host;
    HWND hwnd = nullptr;
    ASSERT_TRUE(kt::startHost(host, &stop.env, &hwnd)) << host.out() << host.err();

    char name[32] = {};
    GetClassNameA(hwnd, name, sizeof name);
    EXPECT_STREQ(name, "Vantrell");
    char title[32] = {};
    GetWindowTextA(hwnd, title, sizeof title);
    EXPECT_STREQ(title, "Vantrell");
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    EXPECT_EQ(style & 0x00CF0000, 0x00CA0000) << std::hex << style;
    EXPECT_TRUE(style & WS_VISIBLE);

    GuestDisplaySize guest =
        OSALSystem::guestDisplaySize(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    RECT expected = {30, 30, guest.width + 30, guest.height + 30};
    AdjustWindowRectEx(&expected, WS_OVERLAPPEDWINDOW, FALSE, 0);
    RECT got{};
    GetWindowRect(hwnd, &got);
    EXPECT_EQ(got.left, expected.left);
    EXPECT_EQ(got.top, expected.top);
    EXPECT_EQ(got.right - got.left, expected.right - expected.left);
    EXPECT_EQ(got.bottom - got.top, expected.bottom - expected.top);

    // The window procedure took the client size from the window's WM_SIZE;
    // the guest keeps the size it was given.
    std::string line;
    ASSERT_TRUE(kt::askHost(host, "sizes", "sizes ", &line)) << host.out();
    int cw, ch, sw, sh, gw, gh, fw, fh;
    ASSERT_EQ(sscanf(line.c_str(), "client %d %d seen %d %d guest %d %d surface %d %d", &cw, &ch, &sw, &sh, &gw, &gh,
                     &fw, &fh),
              8)
        << line;
    EXPECT_EQ(sw, cw);
    EXPECT_EQ(sh, ch);
    EXPECT_EQ(fw, cw) << "the surface follows the client area";
    EXPECT_EQ(fh, ch) << "the surface follows the client area";
    EXPECT_GE(cw, guest.width);
    EXPECT_GE(ch, guest.height);
    EXPECT_EQ(gw, guest.width);
    EXPECT_EQ(gh, guest.height);

    ASSERT_TRUE(kt::askHost(host, "threads", "threads ", &line)) << host.out();
    EXPECT_EQ(line, "start=1 event=1");
    host.kill();
}

TEST(HostWindowStartUp, ASecondInitKeepsTheOneWindowAndWaitReturnsAtOnce)
{
    kt::GuestStop stop;
    kt::Child host;
    HWND hwnd = nullptr;
    ASSERT_TRUE(kt::startHost(host, &stop.env, &hwnd)) << host.out();
    std::string line;
    ASSERT_TRUE(kt::askHost(host, "again", "again ", &line)) << host.out();
    int same = 0, windows = 0;
    unsigned long ms = 0;
    ASSERT_EQ(sscanf(line.c_str(), "same=%d windows=%d ms=%lu", &same, &windows, &ms), 3) << line;
    EXPECT_EQ(same, 1) << "a second init did not return the start-up thread";
    EXPECT_EQ(windows, 1);
    host.kill();
}

// osal_system_wait before osal_system_init waits for the start-up thread.
KT_ROLE(waitFirst)
{
    std::atomic<bool> waited{false};
    std::thread([&waited] {
        osal_system_wait();
        waited = true;
    }).detach();
    Sleep(500);
    printf(waited ? "returned before init\n" : "still waiting\n");
    fflush(stdout);
    osal_system_init();
    for (int i = 0; i < 1200 && !waited; ++i)
        Sleep(50);
    printf(waited ? "waited\n" : "never returned\n");
    fflush(stdout);
    PostThreadMessageA(GetThreadId(OSALSystem::getInstance()->mStartThread), WM_QUIT, 0, 0);
    Sleep(INFINITE);
    return 5;
}

TEST(HostWindowStartUp, WaitBeforeInitReturnsOnceTheWindowIsUpAndQuitEndsWithZero)
{
    // The WM_QUIT for the start-up thread ends the process, status 0.
    kt::Finished child = kt::runRoleToEnd("waitFirst", {}, nullptr, 90000);
    ASSERT_TRUE(child.ended) << child.out;
    EXPECT_EQ(child.out, "still waiting\nwaited\n");
    EXPECT_EQ(child.code, 0u);
}

TEST(HostWindowStartUp, ActivationWithoutAHostWindowReturnsAtOnce)
{
    ASSERT_EQ(FindWindowA("Vantrell", "Vantrell"), nullptr);
    DWORD start = GetTickCount();
    EXPECT_EQ(osal_sendActiveMsg(), 0);
    // No pause before the answer (which would take 800 ms).
    EXPECT_LT(GetTickCount() - start, 700u);
}

TEST(HostWindowStartUp, MoveWindowPutsTheForegroundWindowInTheCorner)
{
    kt::GuestStop stop;
    kt::Child host;
    HWND hwnd = nullptr;
    ASSERT_TRUE(kt::startHost(host, &stop.env, &hwnd)) << host.out();
    std::string line;
    ASSERT_TRUE(kt::askHost(host, "move", "moved ", &line)) << host.out();
    int moved = 0, foreground = 0;
    long l, t, r, b;
    ASSERT_EQ(sscanf(line.c_str(), "%d foreground=%d %ld %ld %ld %ld", &moved, &foreground, &l, &t, &r, &b), 6)
        << line;
    ASSERT_EQ(foreground, 1) << "the host window did not come to the foreground";
    EXPECT_NE(moved, 0);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(t, 0);
    // 100 x 100 asked; the system keeps a captioned window at least its
    // minimum tracking size.
    EXPECT_EQ(r, std::max(100L, static_cast<long>(GetSystemMetrics(SM_CXMINTRACK)))) << "right edge";
    EXPECT_EQ(b, std::max(100L, static_cast<long>(GetSystemMetrics(SM_CYMINTRACK)))) << "bottom edge";
    host.kill();
}

} // namespace
