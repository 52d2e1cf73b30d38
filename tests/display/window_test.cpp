// The host window's procedure, driven through a real host process: input
// posted or typed into its window reaches this process as records on the
// input pipe.
#include <gtest/gtest.h>

#include <thread>

#include "display/window.h"
#include "host_support.h"
#include "input/eventservice.h"

namespace {

using kt::recordLine;

std::string joined(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += l + "\n";
    return s;
}

class HostWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kt::startHost(mHost, &mStop.env, &mHwnd)) << mHost.out() << mHost.err();
        ASSERT_TRUE(mReader.connect()) << "no input pipe";
        // Whatever the window made while it came up ends with this marker.
        ASSERT_TRUE(kt::postMarker(mHwnd));
        std::vector<std::string> got;
        for (int i = 0; i < 100; ++i) {
            std::vector<std::string> one = mReader.next(1);
            ASSERT_EQ(one.size(), 1u) << "no marker after start-up; got\n" << joined(got);
            if (one[0] == kt::markerLine())
                break;
            got.push_back(one[0]);
        }
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got[0], recordLine(0, 0, 0, 1)) << "the first record is the initial synchronisation";
    }
    void TearDown() override { mHost.kill(); }

    // Posts, then expects exactly these records before the marker.
    void expectAfter(const std::vector<std::string> &expected, const char *what)
    {
        ASSERT_TRUE(kt::postMarker(mHwnd));
        std::vector<std::string> got = mReader.next(expected.size() + 1);
        std::vector<std::string> want = expected;
        want.push_back(kt::markerLine());
        EXPECT_EQ(joined(got), joined(want)) << what;
    }

    kt::GuestStop mStop;
    kt::Child mHost;
    HWND mHwnd = nullptr;
    kt::PipeReader mReader;
};

TEST_F(HostWindow, ClickMoveAndReleaseBecomeTouchRecordsInOrder)
{
    PostMessageA(mHwnd, WM_MOUSEMOVE, 0, MAKELPARAM(5, 6));
    expectAfter({}, "a move with the button up");
    PostMessageA(mHwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 20));
    PostMessageA(mHwnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(11, 22));
    PostMessageA(mHwnd, WM_LBUTTONUP, 0, MAKELPARAM(11, 22));
    PostMessageA(mHwnd, WM_MOUSEMOVE, 0, MAKELPARAM(12, 23));
    expectAfter({recordLine(3, 0, 10, 1), recordLine(3, 1, 20, 1), recordLine(3, 24, 1, 1), recordLine(3, 28, 1, 1),
                 recordLine(1, 330, 1, 1), recordLine(0, 0, 0, 1),
                 recordLine(3, 0, 11, 1), recordLine(3, 1, 22, 1), recordLine(3, 24, 1, 1), recordLine(0, 0, 0, 1),
                 recordLine(3, 24, 0, 1), recordLine(3, 28, 0, 1), recordLine(1, 330, 0, 1), recordLine(0, 0, 0, 1)},
                "press at (10, 20), move to (11, 22), release, move with the button up");
}

TEST_F(HostWindow, KeysPassAsScanCodesButCtrlAndAltDoNot)
{
    struct Row {
        unsigned message, scan;
        bool extended;
        const char *expected; // empty: no record
    };
    const Row rows[] = {
        {WM_KEYDOWN, 30, false, "t=1 c=30 v=1 d=0"},  {WM_KEYUP, 30, false, "t=1 c=30 v=0 d=0"},
        {WM_KEYDOWN, 28, true, "t=1 c=238 v=1 d=0"},  {WM_KEYUP, 72, true, "t=1 c=72 v=0 d=0"},
        {WM_KEYDOWN, 29, false, ""},                  {WM_KEYUP, 29, true, ""},
        {WM_KEYDOWN, 56, false, ""},                  {WM_KEYUP, 56, true, ""},
        {WM_KEYDOWN, 0, false, ""},                   {WM_KEYDOWN, 100, false, ""},
    };
    for (const Row &r : rows) {
        // 'A' as the key: no accelerator uses it.
        PostMessageA(mHwnd, r.message, 'A', kt::keyLParam(r.scan, r.message == WM_KEYUP, r.extended));
        std::vector<std::string> want;
        if (*r.expected)
            want.push_back(r.expected);
        std::string what = "scan code " + std::to_string(r.scan) + (r.extended ? " extended" : "") +
                           (r.message == WM_KEYUP ? " up" : " down");
        expectAfter(want, what.c_str());
    }
}

TEST_F(HostWindow, GuestKeysAndActivationFromAnotherProcess)
{
    HWND found = FindWindowA("Vantrell", "Vantrell");
    ASSERT_EQ(found, mHwnd);
    EXPECT_EQ(SendMessageA(found, WM_GUEST_KEY, 158, 1), 0);
    EXPECT_EQ(SendMessageA(found, WM_GUEST_KEY, 330, 0), 0);
    // A guest key swallows no later key.
    PostMessageA(found, WM_KEYDOWN, 'A', kt::keyLParam(30));
    expectAfter({recordLine(1, 158, 1, 0), recordLine(1, 330, 0, 1), recordLine(1, 30, 1, 0)},
                "guest keys 158 and 330, then a key");

    DWORD start = GetTickCount();
    EXPECT_EQ(osal_sendActiveMsg(), 0);
    // It waits before asking; a generous lower bound only.
    EXPECT_GE(GetTickCount() - start, 700u);
    expectAfter({recordLine(1, 1, 1, 0), recordLine(1, 1, 0, 0)}, "the window's activation message");
}

TEST_F(HostWindow, AnAcceleratorSendsItsGuestKeyAndSwallowsTheNextTwoKeys)
{
    ASSERT_TRUE(mHost.send("keys +ctrl +alt +6 -6 -alt -ctrl\n"));
    ASSERT_TRUE(mHost.waitOut("sent\n"));
    std::vector<std::string> got = mReader.next(2);
    EXPECT_EQ(joined(got), joined({recordLine(1, 158, 1, 0), recordLine(1, 158, 0, 0)}));
    // The releases of 6 and Alt were the two swallowed keys; Ctrl's release
    // is dropped as Ctrl; after that, keys count again.
    PostMessageA(mHwnd, WM_KEYDOWN, 'A', kt::keyLParam(30));
    expectAfter({recordLine(1, 30, 1, 0)}, "a key after the accelerator's keystroke");

    // Shift+3: Shift itself reaches the guest first.
    ASSERT_TRUE(mHost.send("keys +shift +3 -3 -shift\n"));
    // Typed input comes after posted messages: wait for it before the marker.
    got = mReader.next(3);
    EXPECT_EQ(joined(got), joined({recordLine(1, 42, 1, 0), recordLine(1, 228, 1, 0), recordLine(1, 228, 0, 0)}))
        << "Shift+3";
    expectAfter({}, "the releases of 3 and Shift");
}

TEST_F(HostWindow, AcceleratorCommandsSwallowExactlyTwoKeyMessages)
{
    PostMessageA(mHwnd, WM_COMMAND, 102, 0);
    PostMessageA(mHwnd, WM_KEYDOWN, 'A', kt::keyLParam(30));
    PostMessageA(mHwnd, WM_KEYUP, 'A', kt::keyLParam(29, true)); // swallowed before it is looked at
    PostMessageA(mHwnd, WM_KEYDOWN, 'B', kt::keyLParam(48));
    expectAfter({recordLine(1, 102, 1, 0), recordLine(1, 102, 0, 0), recordLine(1, 48, 1, 0)},
                "command 102, then three keys");
}

TEST_F(HostWindow, AltF4StopsTheGuestAndBlocksTheWindow)
{
    ASSERT_TRUE(mHost.send("keys +alt +f4 -f4 -alt\n"));
    ASSERT_TRUE(mHost.waitOut("gueststop ran", 60000)) << mHost.out();
    // The window's thread sleeps: the marker is not handled, no record comes.
    ASSERT_TRUE(kt::postMarker(mHwnd));
    EXPECT_TRUE(mReader.next(1, 2000).empty());
    EXPECT_FALSE(mHost.wait(0));
}

TEST_F(HostWindow, ClosingTheWindowStopsTheGuestAndKeepsTheWindow)
{
    PostMessageA(mHwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(mHost.waitOut("gueststop ran", 60000)) << mHost.out();
    EXPECT_TRUE(IsWindow(mHwnd));
    EXPECT_FALSE(mHost.wait(1000));
    ASSERT_TRUE(kt::postMarker(mHwnd));
    EXPECT_TRUE(mReader.next(1, 1000).empty()) << "a record came while the window slept";
}

TEST(HostWindowStop, EveryStopMessageRunsTheStopCommandAndLeavesTheWindow)
{
    struct Row {
        UINT message;
        WPARAM wParam;
        const char *name;
    };
    const Row rows[] = {
        {WM_DESTROY, 0, "WM_DESTROY"},
        {WM_QUIT, 0, "WM_QUIT sent to the window"},
        {WM_COMMAND, IDM_STOP, "WM_COMMAND IDM_STOP"},
        {WM_SYSCOMMAND, IDM_STOP, "WM_SYSCOMMAND IDM_STOP"},
    };
    kt::GuestStop stop;
    for (const Row &r : rows) {
        kt::Child host;
        HWND hwnd = nullptr;
        ASSERT_TRUE(kt::startHost(host, &stop.env, &hwnd)) << host.out();
        // Sent from another thread, as another process would: the window's
        // thread handles it and stops there.
        std::thread([hwnd, r] { SendMessageA(hwnd, r.message, r.wParam, 0); }).detach();
        EXPECT_TRUE(host.waitOut("gueststop ran", 60000)) << r.name << ": " << host.out();
        EXPECT_TRUE(IsWindow(hwnd)) << r.name;
        EXPECT_FALSE(host.wait(500)) << r.name << ": the host ended";
        host.kill();
        ASSERT_TRUE(host.wait(30000));
    }
}

TEST_F(HostWindow, ActivationHoldsTheWindowForHalfASecond)
{
    DWORD start = GetTickCount();
    SendMessageA(mHwnd, WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_GE(GetTickCount() - start, 450u);
    expectAfter({}, "activation queues no input");
}

TEST_F(HostWindow, MaximisingMakesTheWindowBorderlessTopmostAndScreenSized)
{
    std::string line;
    ASSERT_TRUE(kt::askHost(mHost, "maximize", "window ", &line)) << mHost.out();
    long l, t, r, b;
    unsigned long style, ex;
    ASSERT_EQ(sscanf(line.c_str(), "%ld %ld %ld %ld style %lx ex %lx", &l, &t, &r, &b, &style, &ex), 6) << line;
    EXPECT_EQ(style & 0x00CF0000, 0u) << std::hex << style;
    // The topmost bit cannot be set through the style word (the system keeps
    // it for the z-order); the other bit sticks.
    EXPECT_EQ(ex & 0x80000000, 0x80000000u) << std::hex << ex;
    EXPECT_EQ(l, 0);
    EXPECT_EQ(t, 0);
    EXPECT_EQ(r, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(b, GetSystemMetrics(SM_CYSCREEN));
    // The surface and the recorded client size follow the screen.
    ASSERT_TRUE(kt::askHost(mHost, "sizes", "sizes ", &line)) << mHost.out();
    int cw, ch, sw, sh, gw, gh, fw, fh;
    ASSERT_EQ(sscanf(line.c_str(), "client %d %d seen %d %d guest %d %d surface %d %d", &cw, &ch, &sw, &sh, &gw, &gh,
                     &fw, &fh),
              8)
        << line;
    EXPECT_EQ(sw, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(sh, GetSystemMetrics(SM_CYSCREEN));
    EXPECT_EQ(fw, sw);
    EXPECT_EQ(fh, sh);
    // Still alive and handling input.
    expectAfter({}, "after the maximise");
}

} // namespace
