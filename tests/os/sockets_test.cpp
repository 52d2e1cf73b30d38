// Sockets and socket sets, against real loopback sockets. Start-up rules that
// depend on a fresh process run in a child.
#include <gtest/gtest.h>

#include <ws2tcpip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "child.h"
#include "loopback.h"
#include "os/rootdir.h"
#include "os/sockets.h"
#include "report.h"
#include "roles.h"

namespace {

constexpr int kTimeoutMs = 60000;

// Two starts, one clean-up: if the library started once, it is down again.
KT_ROLE(winsock_once)
{
    int first = osal_winsockInit();
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    printf("usable_after_init=%d\n", probe != INVALID_SOCKET);
    if (probe != INVALID_SOCKET)
        closesocket(probe);
    int second = osal_winsockInit();
    int cleanup = osal_winsockExit();
    SOCKET after = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int error = WSAGetLastError();
    printf("init=%d,%d cleanup=%d\n", first, second, cleanup);
    printf("down_after_one_cleanup=%d error=%d\n", after == INVALID_SOCKET, error);
    char *published = osal_getEnvVariable("ROOT_VANTRELL_ROOT");
    printf("root_computed=%d published=%s\n", kestle::rootdir::computations(), published ? published : "(null)");
    free(published);
    printf("end\n");
    return 0;
}

int WSAAPI failingStartup(WORD, LPWSADATA) { return WSASYSNOTREADY; }

KT_ROLE(winsock_failing)
{
    kestle::sockets::setStartup(failingStartup);
    int failed = osal_winsockInit();
    printf("failed=%d started=%d root_computed=%d\n", failed, kestle::sockets::started(),
           kestle::rootdir::computations());
    kestle::sockets::setStartup(nullptr);
    int retried = osal_winsockInit();
    printf("retried=%d started=%d root_computed=%d\n", retried, kestle::sockets::started(),
           kestle::rootdir::computations());
    printf("end\n");
    return 0;
}

std::string runRole(const std::string &role)
{
    kt::EnvChanges env;
    env.set.emplace_back("VANTRELL_ROOT", "c:/sockroot");
    std::string out;
    EXPECT_TRUE(kt::runReport(role, {}, &env, &out));
    return out;
}

TEST(WinsockInit, StartsTheSocketLibraryOncePerProcess)
{
    std::string out = runRole("winsock_once");
    EXPECT_NE(out.find("usable_after_init=1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("init=0,0 cleanup=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("down_after_one_cleanup=1 error=10093\n"), std::string::npos)
        << "one clean-up must undo every start-up; got:\n"
        << out;
    EXPECT_NE(out.find("root_computed=1 published=/sockroot\n"), std::string::npos) << out;
}

TEST(WinsockInit, FailedStartupChangesNothingAndIsRetried)
{
    std::string out = runRole("winsock_failing");
    EXPECT_NE(out.find("failed=-1 started=0 root_computed=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("retried=0 started=1 root_computed=1\n"), std::string::npos) << out;
}

TEST(WinsockInit, SockStartupAddsAStartEachCall)
{
    ASSERT_EQ(osal_sock_startup(), 0);
    ASSERT_EQ(osal_sock_startup(), 0);
    EXPECT_EQ(osal_winsockExit(), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET) << "one start-up must still be in force";
    closesocket(s);
    EXPECT_EQ(osal_winsockExit(), 0);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

// ---- the wrappers, against real loopback sockets ----

class Sockets : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(osal_sock_startup(), 0); }
    void TearDown() override
    {
        mPairs.clear();
        for (SOCKET s : mOpen)
            closesocket(s);
        if (mEvent)
            CloseHandle(mEvent);
        osal_winsockExit();
    }

    SOCKET keep(SOCKET s)
    {
        if (s != INVALID_SOCKET)
            mOpen.push_back(s);
        return s;
    }

    // A connected pair: client first, server end second.
    std::pair<SOCKET, SOCKET> pair()
    {
        kt::SocketPair &p = mPairs.emplace_back();
        EXPECT_TRUE(p.make());
        return {p.mClient, p.mServer};
    }

    // A value that is no socket: an event's handle. (A closed socket's value
    // would not do: the next socket created takes it again at once.)
    SOCKET notASocket()
    {
        if (!mEvent)
            mEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return reinterpret_cast<SOCKET>(mEvent);
    }

    std::deque<kt::SocketPair> mPairs;
    std::vector<SOCKET> mOpen;
    HANDLE mEvent = nullptr;
};

TEST_F(Sockets, FailuresLeaveTheWinsockCodeInErrno)
{
    sockaddr_in refused{};
    {
        // A port that was just free: nothing listens there.
        kt::Listener l;
        ASSERT_TRUE(l.valid());
        refused = l.address();
    }
    auto [client, server] = pair();
    (void)client;
    ASSERT_EQ(osal_sock_setNBlock(server, 1), 0);
    SOCKET dead = notASocket();
    SOCKET fresh = keep(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    char buf[8];
    int one = 1;

    struct Case {
        const char *call;
        int (*run)(void *ctx);
        int result;
        int error;
    };
    struct Ctx {
        SOCKET dead, fresh, server;
        sockaddr_in refused;
        char *buf;
        int *one;
    } ctx{dead, fresh, server, refused, buf, &one};
    const Case cases[] = {
        {"socket(bad family)",
         [](void *) { return static_cast<int>(osal_sock_socket(12345, SOCK_STREAM, 0)); }, -1, WSAEAFNOSUPPORT},
        {"connect(nothing listening)",
         [](void *p) {
             auto *c = static_cast<Ctx *>(p);
             return osal_sock_connect(c->fresh, reinterpret_cast<sockaddr *>(&c->refused), sizeof c->refused);
         },
         -1, WSAECONNREFUSED},
        {"recv(non-blocking, nothing there)",
         [](void *p) {
             auto *c = static_cast<Ctx *>(p);
             return osal_sock_recv(c->server, c->buf, 8, 0);
         },
         -1, WSAEWOULDBLOCK},
        {"bind(no socket)",
         [](void *p) {
             auto *c = static_cast<Ctx *>(p);
             return osal_sock_bind(c->dead, reinterpret_cast<sockaddr *>(&c->refused), sizeof c->refused);
         },
         -1, WSAENOTSOCK},
        {"listen(no socket)", [](void *p) { return osal_sock_listen(static_cast<Ctx *>(p)->dead, 1); }, -1,
         WSAENOTSOCK},
        {"send(no socket)", [](void *p) { return osal_sock_send(static_cast<Ctx *>(p)->dead, "x", 1, 0); }, -1,
         WSAENOTSOCK},
        {"shutdown(no socket)", [](void *p) { return osal_sock_shutdown(static_cast<Ctx *>(p)->dead, SD_BOTH); },
         -1, WSAENOTSOCK},
        {"close(no socket)", [](void *p) { return osal_sock_close(static_cast<Ctx *>(p)->dead); }, -1, WSAENOTSOCK},
        {"setsockopt(no socket)",
         [](void *p) {
             auto *c = static_cast<Ctx *>(p);
             return osal_sock_setsockopt(c->dead, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(c->one), 4);
         },
         -1, WSAENOTSOCK},
        {"peekRead(no socket)",
         [](void *p) {
             unsigned long n = 0;
             return osal_sock_peekRead(static_cast<Ctx *>(p)->dead, &n);
         },
         -1, WSAENOTSOCK},
        {"setNBlock(no socket)", [](void *p) { return osal_sock_setNBlock(static_cast<Ctx *>(p)->dead, 1); }, -1,
         WSAENOTSOCK},
    };
    for (const Case &c : cases) {
        errno = 0;
        int result = c.run(&ctx);
        EXPECT_EQ(result, c.result) << c.call << ": result";
        EXPECT_EQ(errno, c.error) << c.call << ": errno should hold the Winsock code";
    }
}

TEST_F(Sockets, SuccessfulCallsStoreTheCodeToo)
{
    // errno after a success is whatever Winsock reports then, never left stale.
    WSASetLastError(4242);
    errno = -5;
    SOCKET s = keep(osal_sock_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    ASSERT_NE(s, INVALID_SOCKET);
    int afterSocket = WSAGetLastError();
    EXPECT_EQ(errno, afterSocket);

    WSASetLastError(4343);
    errno = -5;
    int one = 1;
    ASSERT_EQ(osal_sock_setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char *>(&one), sizeof one), 0);
    EXPECT_EQ(errno, WSAGetLastError());
    EXPECT_NE(errno, -5);
}

TEST_F(Sockets, TcpAndUdpThroughTheWrappers)
{
    SOCKET l = keep(osal_sock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_NE(l, INVALID_SOCKET);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(osal_sock_bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(osal_sock_listen(l, 2), 0);
    sockaddr_in at{};
    int len = sizeof at;
    ASSERT_EQ(osal_sock_getsockname(l, reinterpret_cast<sockaddr *>(&at), &len), 0);
    EXPECT_NE(at.sin_port, 0) << "the system chose a port";

    SOCKET c = keep(osal_sock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_EQ(osal_sock_connect(c, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    sockaddr_in peer{};
    int peerLen = sizeof peer;
    SOCKET s = keep(osal_sock_accept(l, reinterpret_cast<sockaddr *>(&peer), &peerLen));
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    ASSERT_EQ(osal_sock_send(c, "hello", 5, 0), 5);
    ASSERT_EQ(osal_sock_selectWait(s, 30000000, 0), 1);
    unsigned long waiting = 0;
    ASSERT_EQ(osal_sock_peekRead(s, &waiting), 0);
    EXPECT_EQ(waiting, 5u);
    char buf[16] = {};
    ASSERT_EQ(osal_sock_recv(s, buf, sizeof buf, 0), 5);
    EXPECT_STREQ(buf, "hello");
    ASSERT_EQ(osal_sock_shutdown(c, SD_SEND), 0);
    EXPECT_EQ(osal_sock_recv(s, buf, sizeof buf, 0), 0) << "the peer's shutdown reads as end of stream";

    int rcv = 32768, got = 0, gotLen = sizeof got;
    ASSERT_EQ(osal_sock_setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&rcv), sizeof rcv), 0);
    ASSERT_EQ(osal_sock_getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&got), &gotLen), 0);
    EXPECT_GE(got, rcv);

    char host[64], serv[16];
    ASSERT_EQ(osal_sock_getnameinfo(reinterpret_cast<sockaddr *>(&at), sizeof at, host, sizeof host, serv,
                                    sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV),
              0);
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(std::string(serv), std::to_string(ntohs(at.sin_port)));

    SOCKET u1 = keep(osal_sock_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    SOCKET u2 = keep(osal_sock_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    ASSERT_EQ(osal_sock_bind(u2, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    sockaddr_in u2at{};
    int u2len = sizeof u2at;
    ASSERT_EQ(osal_sock_getsockname(u2, reinterpret_cast<sockaddr *>(&u2at), &u2len), 0);
    ASSERT_EQ(osal_sock_sendto(u1, "dgram", 5, 0, reinterpret_cast<sockaddr *>(&u2at), sizeof u2at), 5);
    sockaddr_in from{};
    int fromLen = sizeof from;
    memset(buf, 0, sizeof buf);
    ASSERT_EQ(osal_sock_recvfrom(u2, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromLen), 5);
    EXPECT_STREQ(buf, "dgram");
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    ASSERT_EQ(osal_sock_close(c), 0);
    mOpen.erase(std::find(mOpen.begin(), mOpen.end(), c));
}

// The other end of a loopback connection, in a process of its own.
KT_ROLE(sock_peer)
{
    if (osal_winsockInit() != 0)
        return 2;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(static_cast<u_short>(std::stoi(args.at(0))));
    SOCKET s = osal_sock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (osal_sock_connect(s, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        printf("connect failed errno=%d\n", errno);
        return 3;
    }
    osal_sock_send(s, "ping", 4, 0);
    char buf[16] = {};
    int n = osal_sock_recv(s, buf, sizeof buf - 1, 0);
    printf("peer got %d: %s\n", n, buf);
    osal_sock_close(s);
    return 0;
}

TEST_F(Sockets, ConnectionToAnotherProcess)
{
    kt::Listener l;
    ASSERT_TRUE(l.valid());
    kt::Child peer;
    ASSERT_TRUE(peer.startRole("sock_peer", {std::to_string(l.port())}));
    ASSERT_EQ(osal_sock_selectWait(l.sock(), -1, 0), 1) << "an unlimited wait ends when the peer connects";
    SOCKET s = keep(osal_sock_accept(l.sock(), nullptr, nullptr));
    ASSERT_NE(s, INVALID_SOCKET);
    char buf[8] = {};
    int got = 0;
    while (got < 4) {
        int n = osal_sock_recv(s, buf + got, 4 - got, 0);
        ASSERT_GT(n, 0) << "errno " << errno;
        got += n;
    }
    EXPECT_STREQ(buf, "ping");
    ASSERT_EQ(osal_sock_send(s, "pong", 4, 0), 4);
    EXPECT_TRUE(peer.waitOut("peer got 4: pong\n", kTimeoutMs)) << peer.out();
    DWORD code = 1;
    EXPECT_TRUE(peer.finish(kTimeoutMs, &code));
    EXPECT_EQ(code, 0u) << peer.out();
}

// ---- select and its codes ----

TEST_F(Sockets, SockSelectCodes)
{
    auto [client, server] = pair();
    fd_set set;
    timeval zero{0, 0};

    FD_ZERO(&set);
    FD_SET(server, &set);
    errno = 777;
    EXPECT_EQ(osal_sock_sockselect(0, &set, nullptr, nullptr, &zero), -209);
    EXPECT_EQ(errno, 777) << "a time-out leaves errno alone";

    ASSERT_EQ(send(client, "x", 1, 0), 1);
    // The writable client alone would end the select: wait for the byte first,
    // so both sockets are ready when it runs, however late loopback delivers.
    FD_ZERO(&set);
    FD_SET(server, &set);
    timeval wait{30, 0};
    ASSERT_EQ(select(0, &set, nullptr, nullptr, &wait), 1) << "the byte never arrived";
    FD_ZERO(&set);
    FD_SET(server, &set);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(client, &writable);
    errno = 777;
    EXPECT_EQ(osal_sock_sockselect(0, &set, &writable, nullptr, &wait), 2) << "the number of ready sockets";
    EXPECT_EQ(errno, 777);

    FD_ZERO(&set);
    FD_SET(notASocket(), &set);
    EXPECT_EQ(osal_sock_sockselect(0, &set, nullptr, nullptr, &zero), -247);
    EXPECT_EQ(errno, WSAENOTSOCK);
}

int gFakeSelectError;
int WSAAPI failingSelect(int, fd_set *, fd_set *, fd_set *, const timeval *)
{
    WSASetLastError(gFakeSelectError);
    return SOCKET_ERROR;
}

TEST_F(Sockets, SockSelectSortsFailuresByCode)
{
    const struct {
        int error;
        int expected;
    } cases[] = {{WSAEINTR, -208}, {WSAEINVAL, -247}, {WSAENETDOWN, -247}};
    kestle::sockets::setSelect(failingSelect);
    for (const auto &c : cases) {
        gFakeSelectError = c.error;
        errno = 0;
        fd_set set;
        FD_ZERO(&set);
        EXPECT_EQ(osal_sock_sockselect(0, &set, nullptr, nullptr, nullptr), c.expected) << "Winsock error " << c.error;
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(osal_sock_selectWait(12, 0, 0), c.expected) << "Winsock error " << c.error;
    }
    kestle::sockets::setSelect(nullptr);
}

struct SeenSelect {
    int nfds;
    bool read, write, except;
    SOCKET member;
    u_int count;
    bool hasTimeout;
    timeval timeout;
} gSeen;

int WSAAPI recordingSelect(int nfds, fd_set *r, fd_set *w, fd_set *e, const timeval *t)
{
    fd_set *set = r ? r : w;
    gSeen = {nfds, r != nullptr, w != nullptr, e != nullptr, set ? set->fd_array[0] : 0, set ? set->fd_count : 0,
             t != nullptr, t ? *t : timeval{}};
    return 1;
}

TEST_F(Sockets, SelectWaitPassesTheWholeWaitInMicroseconds)
{
    const struct {
        int usec;
        int forWrite;
    } cases[] = {{0, 0}, {2500000, 0}, {999999, 1}, {-1, 0}, {-1, 1}};
    kestle::sockets::setSelect(recordingSelect);
    for (const auto &c : cases) {
        gSeen = {};
        EXPECT_EQ(osal_sock_selectWait(40, c.usec, c.forWrite), 1);
        SCOPED_TRACE("usec " + std::to_string(c.usec) + " forWrite " + std::to_string(c.forWrite));
        EXPECT_EQ(gSeen.nfds, 41);
        EXPECT_EQ(gSeen.read, !c.forWrite);
        EXPECT_EQ(gSeen.write, c.forWrite != 0);
        EXPECT_FALSE(gSeen.except);
        EXPECT_EQ(gSeen.count, 1u);
        EXPECT_EQ(gSeen.member, 40u);
        EXPECT_EQ(gSeen.hasTimeout, c.usec >= 0);
        if (c.usec >= 0) {
            EXPECT_EQ(gSeen.timeout.tv_sec, 0);
            EXPECT_EQ(gSeen.timeout.tv_usec, c.usec);
        }
    }
    kestle::sockets::setSelect(nullptr);
}

TEST_F(Sockets, SelectWaitOnRealSockets)
{
    auto [client, server] = pair();
    EXPECT_EQ(osal_sock_selectWait(server, 0, 0), -209) << "nothing to read yet: a poll times out";
    EXPECT_EQ(osal_sock_selectWait(client, 0, 1), 1) << "a fresh connection has room to send";

    // More than a second, all in tv_usec: the platform takes it as it is.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(osal_sock_selectWait(server, 1200000, 0), -209);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 1100);

    ASSERT_EQ(send(client, "y", 1, 0), 1);
    EXPECT_EQ(osal_sock_selectWait(server, 30000000, 0), 1);
    EXPECT_EQ(osal_sock_selectWait(notASocket(), 0, 0), -247);
    EXPECT_EQ(errno, WSAENOTSOCK);
}

// ---- message texts ----

TEST_F(Sockets, GaiStrerrorGivesTheSystemTextInUtf8)
{
    wchar_t *wide = nullptr;
    ASSERT_NE(FormatMessageW(0x1300, nullptr, WSAECONNREFUSED, 0, reinterpret_cast<wchar_t *>(&wide), 0, nullptr), 0u)
        << "this system has no text for WSAECONNREFUSED";
    char expected[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, expected, sizeof expected - 1, nullptr, nullptr);
    LocalFree(wide);

    char *text = osal_sock_gai_strerror(WSAECONNREFUSED);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, expected);
    size_t len = strlen(text);
    ASSERT_GT(len, 0u);
    EXPECT_EQ(text[len - 1], '\n') << "the system's line break stays";
    free(text);
}

TEST_F(Sockets, GaiStrerrorOfACodeWithNoTextNamesTheCode)
{
    for (int code : {0x7ffe1234, -424242}) {
        char *text = osal_sock_gai_strerror(code);
        ASSERT_NE(text, nullptr) << "code " << code;
        EXPECT_EQ(std::string(text), "Unknown error " + std::to_string(code));
        free(text);
    }
}

// ---- socket sets ----

TEST(SocketSets, AddTestAndZero)
{
    fd_set *set = osal_alloc_fd_set();
    ASSERT_NE(set, nullptr);
    osal_FD_ZERO(set);
    EXPECT_EQ(set->fd_count, 0u);
    EXPECT_EQ(osal_FD_ISSET(5, set), 0);

    osal_FD_SET(7, set);
    osal_FD_SET(5, set);
    osal_FD_SET(7, set);
    EXPECT_EQ(set->fd_count, 2u) << "a socket already there is not added again";
    EXPECT_EQ(set->fd_array[0], 7u);
    EXPECT_EQ(set->fd_array[1], 5u);
    EXPECT_NE(osal_FD_ISSET(5, set), 0);
    EXPECT_EQ(osal_FD_ISSET(6, set), 0);

    osal_FD_ZERO(set);
    for (SOCKET s : {7u, 5u})
        EXPECT_EQ(osal_FD_ISSET(s, set), 0) << "after zero, socket " << s;

    for (SOCKET s = 100; s < 100 + 64; ++s)
        osal_FD_SET(s, set);
    EXPECT_EQ(set->fd_count, 64u);
    osal_FD_SET(999, set);
    EXPECT_EQ(set->fd_count, 64u) << "a full set drops the 65th socket";
    EXPECT_EQ(osal_FD_ISSET(999, set), 0);
    EXPECT_NE(osal_FD_ISSET(163, set), 0);
    osal_free_fd_set(set);
}

// A set whose last byte is the last readable byte before a guard page: any
// look past its 64 entries faults.
class GuardedSet {
public:
    GuardedSet()
    {
        mBase = static_cast<char *>(VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(mBase + 4096, 4096, PAGE_NOACCESS, &old);
        mSet = reinterpret_cast<fd_set *>(mBase + 4096 - sizeof(fd_set));
    }
    ~GuardedSet() { VirtualFree(mBase, 0, MEM_RELEASE); }
    fd_set *get() { return mSet; }

private:
    char *mBase;
    fd_set *mSet;
};

TEST(SocketSets, GarbageCountsNeverReachPastTheSet)
{
    GuardedSet guarded;
    fd_set *set = guarded.get();
    // The socket every entry holds after the fill: 0xabababab on i686, the
    // same bytes eight times on x86-64.
    SOCKET filled;
    memset(&filled, 0xab, sizeof filled);
    for (u_int count : {64u, 65u, 1000u, 0x7fffffffu, 0xffffffffu}) {
        memset(set, 0xab, sizeof *set);
        set->fd_count = count;
        osal_FD_SET(42, set);
        EXPECT_EQ(set->fd_count, count) << "a set that claims " << count << " members is full";
        EXPECT_EQ(osal_FD_ISSET(42, set), 0) << "count " << count;
        EXPECT_EQ(osal_FD_ISSET(filled, set), 1) << "count " << count;
    }

    // A never-zeroed block straight from the allocator.
    fd_set *raw = osal_alloc_fd_set();
    ASSERT_NE(raw, nullptr);
    memset(raw, 0xff, sizeof *raw);
    osal_FD_SET(3, raw);
    EXPECT_EQ(raw->fd_count, 0xffffffffu);
    osal_free_fd_set(raw);
}

} // namespace
