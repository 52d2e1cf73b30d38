// Connections to loopback services of the socket map and the process's one
// connection to the log daemon. The socket map is held by a second process,
// the daemon is the real scrived, and each client is a fresh process (its
// connection lives as long as it does) whose standard output is compared
// byte for byte.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "files.h"
#include "gate.h"
#include "kestle.h"
#include "loopback.h"
#include "os/logconn.h"
#include "roles.h"
#include "sockmap_fixture.h"
#include "wait.h"

namespace {

constexpr int kLong = 60000; // generous: the machine may be loaded

// ---- the guest processes ----

std::atomic<int> sSocketsMade;
std::atomic<int> sFailuresLeft;

// Counts real sockets; the first sFailuresLeft calls fail as when the process
// has run out of sockets.
SOCKET WSAAPI countingSocket(int family, int type, int protocol)
{
    if (sFailuresLeft.fetch_sub(1) > 0) {
        WSASetLastError(WSAEMFILE);
        return INVALID_SOCKET;
    }
    ++sSocketsMade;
    return socket(family, type, protocol);
}

hostent *WSAAPI unresolvable(const char *) { return nullptr; }

// Eight threads ask for the log-daemon connection at once; then the socket
// carries argument 0 (when given) and the result is printed:
// "same <all equal and connected> made <sockets created>".
// Argument 1, when given: that many socket creations fail first; argument 2,
// when given: the pause in ms before each retry after such a failure.
KT_ROLE(log_guest)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (osal_winsockInit() != 0)
        return 2;
    sFailuresLeft = args.size() > 1 ? std::stoi(args[1]) : 0;
    if (args.size() > 2)
        kestle::logconn::setSocketRetryPause(static_cast<DWORD>(std::stoul(args[2])));
    kestle::logconn::setSocket(countingSocket);
    std::vector<int> got(8, INT_MIN);
    kt::runAtOnce(static_cast<int>(got.size()), [&](int i) { got[i] = osal_connectLogServer(); });
    bool same = got[0] >= 0 && osal_connectLogServer() == got[0];
    for (int s : got)
        same = same && s == got[0];
    sockaddr_in peer{};
    int len = sizeof peer;
    same = same && getpeername((SOCKET)got[0], (sockaddr *)&peer, &len) == 0;
    if (same && !args.empty())
        send((SOCKET)got[0], args[0].data(), (int)args[0].size(), 0);
    printf("same %d made %d\n", same, sSocketsMade.load());
    // The daemon reads the bytes before the process ends and resets the socket.
    shutdown((SOCKET)got[0], SD_SEND);
    char c;
    recv((SOCKET)got[0], &c, 1, 0);
    return 0;
}

std::atomic<int> sAttempts;
std::atomic<ULONGLONG> sFirstAttempt;
HANDLE sFirstAttemptMade;

// Socket creation that always fails, as when the socket library is not started.
SOCKET WSAAPI failingSocket(int, int, int)
{
    if (sAttempts.fetch_add(1) == 0) {
        sFirstAttempt = GetTickCount64();
        SetEvent(sFirstAttemptMade);
    }
    WSASetLastError(WSANOTINITIALISED);
    return INVALID_SOCKET;
}

// Asks for the log-daemon connection while socket creation keeps failing, and
// prints "attempts N in T ms" to standard error after about three seconds
// counted from the first attempt. The connecting thread never returns: the
// test ends the process. Standard output keeps the C runtime's own buffering,
// which holds back what puts writes to a pipe.
KT_ROLE(failing_guest)
{
    sFirstAttemptMade = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    kestle::logconn::setSocket(failingSocket);
    std::thread([] { osal_connectLogServer(); }).detach();
    if (WaitForSingleObject(sFirstAttemptMade, INFINITE) != WAIT_OBJECT_0)
        return 2;
    Sleep(3000);
    int attempts = sAttempts.load();
    ULONGLONG elapsed = GetTickCount64() - sFirstAttempt.load();
    fprintf(stderr, "attempts %d in %llu ms\n", attempts, elapsed);
    for (;;)
        Sleep(INFINITE);
}

// osal_connectServer(argument 0; "(null)" for NULL), then sends "ping".
// Argument 1 "noresolve": the loopback name does not resolve. Standard output
// keeps the C runtime's own buffering.
KT_ROLE(connect_guest)
{
    if (osal_winsockInit() != 0)
        return 2;
    if (args.size() > 1 && args[1] == "noresolve")
        kestle::logconn::setResolve(unresolvable);
    const char *name = args.at(0) == "(null)" ? nullptr : args[0].c_str();
    WSASetLastError(0);
    int s = osal_connectServer(name);
    if (s < 0) {
        printf("result %d error %d\n", s, WSAGetLastError());
        fflush(stdout);
        return 0;
    }
    printf("connected\n");
    fflush(stdout);
    send((SOCKET)s, "ping", 4, 0);
    shutdown((SOCKET)s, SD_SEND);
    char c;
    recv((SOCKET)s, &c, 1, 0);
    return 0;
}

// ---- the test side ----

// The line of one refused attempt, up to the error code. Under Wine a retry
// on the same socket alternates WSAECONNREFUSED (10061) with
// WSAECONNABORTED (10053), so the code is checked as a number of its own.
std::string refusedPrefix(int port)
{
    return "failed to connect to log server: scrived(" + std::to_string(port) + "), WSAGetLastError=";
}

// How many whole lines the text holds.
size_t lines(const std::string &text) { return std::count(text.begin(), text.end(), '\n'); }

// Every line but the last `tail` ones is a refused attempt on `port`, the
// first one with WSAECONNREFUSED.
::testing::AssertionResult refusals(const std::string &out, int port, size_t tail)
{
    size_t n = lines(out);
    if (n < tail)
        return ::testing::AssertionFailure() << "too few lines: " << out;
    const std::string prefix = refusedPrefix(port);
    size_t at = 0;
    for (size_t i = 0; i + tail < n; ++i) {
        size_t nl = out.find('\n', at);
        std::string line = out.substr(at, nl + 1 - at);
        std::string code = line.compare(0, prefix.size(), prefix) == 0
                               ? line.substr(prefix.size(), line.size() - prefix.size() - 1)
                               : std::string();
        bool number = !code.empty() && code.find_first_not_of("0123456789") == std::string::npos;
        bool ok = number && (i > 0 || code == "10061") && (code == "10061" || code == "10053");
        if (!ok)
            return ::testing::AssertionFailure() << "line " << i + 1 << ": expected \"" << prefix
                                                 << "<10061 or 10053>\\n\", got \"" << line << "\" in:\n"
                                                 << out;
        at = nl + 1;
    }
    return ::testing::AssertionSuccess();
}

// Takes the one connection a guest makes to `server` and reads what it sends
// until it closes.
::testing::AssertionResult receiveAll(kt::Listener &server, std::string *got)
{
    kt::Conn conn(server.accept(kLong));
    if (!conn.valid())
        return ::testing::AssertionFailure() << "no connection came";
    if (!conn.recvToEnd(got))
        return ::testing::AssertionFailure() << "the connection did not end; received \"" << *got << "\"";
    return ::testing::AssertionSuccess();
}

class LogServerSocket : public testing::Test {
protected:
    void SetUp() override
    {
        kt::startWinsock();
        ASSERT_TRUE(mHolder.start());
    }
    void TearDown() override { mHolder.quit(); }
    kt::SockMapHolder mHolder;
};

TEST_F(LogServerSocket, ConcurrentCallersShareOneConnectionToTheDaemon)
{
    kt::TestRoot root("logconn-daemon");
    ASSERT_TRUE(root.makeDir("/dev/log"));
    kt::EnvChanges env;
    env.set.push_back({"VANTRELL_ROOT", root.envValue()});
    kt::Child daemon;
    ASSERT_TRUE(daemon.start(kt::binPath("scrived.exe"), {}, &env));
    ASSERT_TRUE(daemon.waitOut("to sockmap ok\n", kLong)) << daemon.out() << daemon.err();

    const std::string text = "one line from the guest\n";
    kt::Finished guest = kt::runRoleToEnd("log_guest", {text}, &env, kLong);
    ASSERT_TRUE(guest.ended);
    EXPECT_EQ(guest.code, 0u);
    // A refusal line first is possible only if scrived had not listened yet.
    EXPECT_TRUE(refusals(guest.out, osal_sockmap_get("scrived"), 1));
    EXPECT_EQ(guest.out.substr(guest.out.rfind("same")), "same 1 made 1\n");
    ASSERT_TRUE(kt::waitFileSize(root.path("/dev/log/main"), text.size()));
    EXPECT_EQ(kt::readFile(root.path("/dev/log/main")), text);
    daemon.kill();
}

// Before the daemon listens the guest keeps trying the port it first looked
// up, once a second, even after the daemon has registered another one.
TEST_F(LogServerSocket, BeforeTheDaemonListensItRetriesTheFirstPortItLookedUp)
{
    kt::Listener late(kt::Listener::Start::BoundOnly);
    ASSERT_GT(late.port(), 0);
    ASSERT_EQ(mHolder.command("add scrived " + std::to_string(late.port()) + " 1"), 0);

    kt::TestRoot root("logconn-late");
    ASSERT_TRUE(root.makeDir("/dev/log"));
    kt::EnvChanges env;
    env.set.push_back({"VANTRELL_ROOT", root.envValue()});
    kt::Child guest;
    ASSERT_TRUE(guest.startRole("log_guest", {"to the first port\n"}, &env));
    ASSERT_TRUE(guest.waitOut(refusedPrefix(late.port()), kLong)) << guest.out();

    kt::Child daemon;
    ASSERT_TRUE(daemon.start(kt::binPath("scrived.exe"), {}, &env));
    ASSERT_TRUE(daemon.waitOut("to sockmap ok\n", kLong)) << daemon.out() << daemon.err();
    ASSERT_NE(osal_sockmap_get("scrived"), late.port());
    size_t seen = lines(guest.out());
    ASSERT_TRUE(kt::waitUntil([&] { return lines(guest.out()) > seen; }, kLong)) << guest.out();
    EXPECT_TRUE(refusals(guest.out(), late.port(), 0)) << "every attempt goes to the first port";

    ASSERT_TRUE(late.listen());
    std::string got;
    ASSERT_TRUE(receiveAll(late, &got));
    EXPECT_EQ(got, "to the first port\n");
    DWORD code = 99;
    ASSERT_TRUE(guest.finish(kLong, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(refusals(guest.out(), late.port(), 1));
    EXPECT_EQ(guest.out().substr(guest.out().rfind("same")), "same 1 made 1\n");
    EXPECT_FALSE(late.pending()) << "one connection for all eight threads";
    daemon.kill();
}

// When socket creation fails, the state goes back to none and the connection
// is tried again; no caller may be handed the failure, even when another
// thread claims the next attempt before the failing one has let go. Many
// failures without a pause make that race all but certain.
TEST_F(LogServerSocket, FailedSocketCreationIsRetriedAndNeverHandedOut)
{
    kt::Listener server;
    ASSERT_TRUE(server.valid());
    ASSERT_EQ(mHolder.command("add scrived " + std::to_string(server.port()) + " 1"), 0);
    constexpr int kFailures = 1000;
    kt::Child guest;
    ASSERT_TRUE(guest.startRole("log_guest", {"after the failures\n", std::to_string(kFailures), "0"}));
    // The verdict comes before the guest waits for this side to close.
    ASSERT_TRUE(kt::waitUntil(
        [&] {
            std::string out = guest.out();
            size_t at = out.rfind("same ");
            return at != std::string::npos && out.find('\n', at) != std::string::npos;
        },
        kLong));
    EXPECT_EQ(guest.out().substr(guest.out().rfind("same")), "same 1 made 1\n");
    std::string got;
    ASSERT_TRUE(receiveAll(server, &got));
    EXPECT_EQ(got, "after the failures\n");
    DWORD code = 99;
    ASSERT_TRUE(guest.finish(kLong, &code));
    EXPECT_EQ(code, 0u);
    std::string expected;
    for (int i = 0; i < kFailures; ++i)
        expected += "scrived socket error\n";
    EXPECT_EQ(guest.out(), expected + "same 1 made 1\n");
    EXPECT_FALSE(server.pending());
}

// A failure that lasts is retried at the connect loop's pace, one message per
// attempt, instead of spinning and flooding the output.
TEST(LogServerSocketFailure, SocketCreationThatKeepsFailingIsRetriedOncePerSecond)
{
    kt::Child guest;
    ASSERT_TRUE(guest.startRole("failing_guest", {}));
    // Shown at once, not when the buffer fills.
    ASSERT_TRUE(guest.waitOut("scrived socket error\n", kLong)) << guest.out();
    ASSERT_TRUE(guest.waitErr(" ms\n", kLong)) << guest.err();
    std::string out = guest.out();
    guest.kill();
    int attempts = -1;
    unsigned long long elapsed = 0;
    ASSERT_EQ(sscanf(guest.err().c_str(), "attempts %d in %llu ms", &attempts, &elapsed), 2) << guest.err();
    // Sleep may end a tick early; a machine under load only makes fewer attempts.
    const unsigned long long most = elapsed / (kestle::logconn::kSocketRetryPauseMs - 100) + 2;
    EXPECT_GE(attempts, 1);
    EXPECT_LE(static_cast<unsigned long long>(attempts), most) << "in " << elapsed << " ms";
    // Each attempt says so once, whole lines only (the next may be under way).
    std::string line = "scrived socket error\n";
    size_t whole = lines(out);
    EXPECT_LE(whole, most + 1) << out.substr(0, 200);
    for (size_t i = 0; i < whole; ++i)
        EXPECT_EQ(out.substr(i * line.size(), line.size()), line) << "line " << i + 1;
}

// Any key's port is used, and the messages still name the log daemon.
TEST_F(LogServerSocket, ConnectServerReachesAnyKeyAndRetriesUntilItListens)
{
    kt::Listener late(kt::Listener::Start::BoundOnly);
    ASSERT_GT(late.port(), 0);
    ASSERT_EQ(mHolder.command("add interrogator " + std::to_string(late.port()) + " 1"), 0);
    kt::Child guest;
    ASSERT_TRUE(guest.startRole("connect_guest", {"interrogator"}));
    ASSERT_TRUE(kt::waitUntil([&] { return lines(guest.out()) >= 2; }, kLong)) << guest.out();
    ASSERT_TRUE(late.listen());
    std::string got;
    ASSERT_TRUE(receiveAll(late, &got));
    EXPECT_EQ(got, "ping");
    DWORD code = 99;
    ASSERT_TRUE(guest.finish(kLong, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(refusals(guest.out(), late.port(), 1));
    EXPECT_EQ(guest.out().substr(guest.out().size() - 10), "connected\n");
}

// The lines show while the retry goes on, before the process is ended.
TEST_F(LogServerSocket, AnAbsentKeyGoesToPort65535AndIsRetried)
{
    kt::Child guest;
    ASSERT_TRUE(guest.startRole("connect_guest", {"nosuchservice"}));
    ASSERT_TRUE(kt::waitUntil([&] { return lines(guest.out()) >= 2; }, kLong)) << guest.out();
    guest.kill();
    std::string out = guest.out();
    EXPECT_TRUE(refusals(out.substr(0, out.find('\n', out.find('\n') + 1) + 1), -1, 0));
}

TEST_F(LogServerSocket, ANullNameIsRefusedWithoutAConnection)
{
    kt::Finished guest = kt::runRoleToEnd("connect_guest", {"(null)"}, nullptr, kLong);
    ASSERT_TRUE(guest.ended);
    EXPECT_EQ(guest.code, 0u);
    EXPECT_EQ(guest.out, "result -1 error 10014\n");
}

TEST_F(LogServerSocket, AnUnresolvableLoopbackNameEndsTheProcess)
{
    kt::Finished guest = kt::runRoleToEnd("connect_guest", {"scrived", "noresolve"}, nullptr, kLong);
    ASSERT_TRUE(guest.ended);
    EXPECT_EQ(guest.code, 1u);
    EXPECT_EQ(guest.out, "osal_connectServer: resolving the loopback host name \"localhost\" failed\n");
}

} // namespace
