// The process's connection to the pipe log server. The server is a program of
// the guest system; here a second process plays it (pipe_logd below). Each
// client is a fresh process, since the connection lives as long as it does.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "child.h"
#include "gate.h"
#include "kestle.h"
#include "os/logconn.h"
#include "roles.h"

namespace {

constexpr int kLong = 60000; // generous: the machine may be loaded
const std::string kOpenError = "tallowd pipe open error\n";

// Plays the pipe log server: one pipe instance at most (argument 1: "1") or
// any number ("many"), serving clients one after the other (argument 0: how
// many). Greets each client with "hi", then reads until the client goes and
// prints "client N: <bytes>".
KT_ROLE(pipe_logd)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    int clients = std::stoi(args.at(0));
    DWORD instances = args.at(1) == "1" ? 1 : PIPE_UNLIMITED_INSTANCES;
    HANDLE h = CreateNamedPipeA(kestle::logconn::kPipeName, PIPE_ACCESS_DUPLEX,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, instances, 0, 0, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        printf("create failed %lu\n", GetLastError());
        return 1;
    }
    printf("listening\n");
    for (int n = 1; n <= clients; ++n) {
        if (!ConnectNamedPipe(h, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            printf("connect failed %lu\n", GetLastError());
            return 1;
        }
        DWORD done = 0;
        WriteFile(h, "hi", 2, &done, nullptr);
        std::string got;
        char buf[256];
        while (ReadFile(h, buf, sizeof buf, &done, nullptr) && done > 0)
            got.append(buf, done);
        printf("client %d: %s\n", n, got.c_str());
        DisconnectNamedPipe(h);
    }
    return 0;
}

// Starts pipe_logd and waits until it listens.
testing::AssertionResult startPipeLogd(kt::Child &server, const std::string &clients, const std::string &instances)
{
    if (server.startRole("pipe_logd", {clients, instances}) && server.waitOut("listening\n", kLong))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "pipe_logd did not listen: " << server.out();
}

// Reads the server's greeting, then sends text: shows the handle reads and writes.
std::string talk(HANDLE h, const std::string &text)
{
    char greeting[3] = {};
    if (osal_readPipe(h, greeting, 2) != 2)
        return "no greeting";
    if (osal_writePipe(h, text.data(), (unsigned)text.size()) != (int)text.size())
        return "write failed";
    return std::string("read ") + greeting + ", wrote " + text;
}

// A guest process of the pipe log server. Argument 0 names what it does:
//   twice TEXT: connect twice, then talk
//   retry TEXT: connect (no server yet), wait for a stdin line, connect again, talk
//   hold TEXT:  connect, talk, then wait for a stdin line before ending
//   threads TEXT: eight threads connect at once, then talk
KT_ROLE(pipe_guest)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string &mode = args.at(0);
    const std::string &text = args.at(1);
    char line[64];
    if (mode == "retry") {
        HANDLE first = osal_connectLogServerPipe();
        printf("first %s\n", first ? "handle" : "null");
        if (!fgets(line, sizeof line, stdin))
            return 2;
    }
    HANDLE h = nullptr;
    if (mode == "threads") {
        std::vector<HANDLE> got(8);
        kt::runAtOnce(static_cast<int>(got.size()), [&](int i) { got[i] = osal_connectLogServerPipe(); });
        h = got[0];
        bool same = h != nullptr;
        for (HANDLE g : got)
            same = same && g == h;
        printf("same %d\n", same);
    } else {
        h = osal_connectLogServerPipe();
        if (!h)
            return 3;
        if (mode == "twice")
            printf("again same %d\n", osal_connectLogServerPipe() == h);
    }
    printf("%s\n", talk(h, text).c_str());
    if (mode == "hold" && !fgets(line, sizeof line, stdin))
        return 2;
    // A later call after the talk still hands out the same handle.
    printf("still same %d\n", osal_connectLogServerPipe() == h);
    return 0;
}


TEST(LogServerPipe, ConnectsOnceAndHandsOutTheSameDuplexHandle)
{
    kt::Child server;
    ASSERT_TRUE(startPipeLogd(server, "1", "many"));
    kt::Finished guest = kt::runRoleToEnd("pipe_guest", {"twice", "hello pipe"}, nullptr, kLong);
    ASSERT_TRUE(guest.ended);
    EXPECT_EQ(guest.code, 0u);
    EXPECT_EQ(guest.out, "again same 1\nread hi, wrote hello pipe\nstill same 1\n");
    ASSERT_TRUE(server.finish(kLong));
    EXPECT_EQ(server.out(), "listening\nclient 1: hello pipe\n");
}

TEST(LogServerPipe, ConcurrentCallersShareOneConnection)
{
    kt::Child server;
    // One instance only: a second connection from the guest would never be served.
    ASSERT_TRUE(startPipeLogd(server, "1", "1"));
    kt::Finished guest = kt::runRoleToEnd("pipe_guest", {"threads", "from eight threads"}, nullptr, kLong);
    ASSERT_TRUE(guest.ended) << guest.out;
    EXPECT_EQ(guest.code, 0u);
    EXPECT_EQ(guest.out, "same 1\nread hi, wrote from eight threads\nstill same 1\n");
    ASSERT_TRUE(server.finish(kLong));
    EXPECT_EQ(server.out(), "listening\nclient 1: from eight threads\n");
}

TEST(LogServerPipe, WithoutAServerItSaysSoReturnsNullAndTheNextCallStartsOver)
{
    kt::Child guest;
    ASSERT_TRUE(guest.startRole("pipe_guest", {"retry", "late"}));
    ASSERT_TRUE(guest.waitOut("first null\n", kLong)) << guest.out();
    EXPECT_EQ(guest.out(), kOpenError + "first null\n");

    kt::Child server;
    ASSERT_TRUE(startPipeLogd(server, "1", "many"));
    ASSERT_TRUE(guest.send("go\n"));
    DWORD code = 99;
    ASSERT_TRUE(guest.finish(kLong, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(guest.out(), kOpenError + "first null\nread hi, wrote late\nstill same 1\n")
        << "one failure message, then a connection";
    ASSERT_TRUE(server.finish(kLong, &code));
    EXPECT_EQ(server.out(), "listening\nclient 1: late\n");
}

// While the one instance is busy, callers wait; when it comes free, only one
// of two waiting callers can have it, and the other must wait again rather
// than report a failure.
TEST(LogServerPipe, WhileEveryInstanceIsBusyCallersWaitInsteadOfFailing)
{
    kt::Child server;
    ASSERT_TRUE(startPipeLogd(server, "3", "1"));
    kt::Child holder;
    ASSERT_TRUE(holder.startRole("pipe_guest", {"hold", "A"}));
    ASSERT_TRUE(holder.waitOut("wrote A\n", kLong)) << holder.out();

    kt::Child b, c;
    ASSERT_TRUE(b.startRole("pipe_guest", {"twice", "B"}));
    ASSERT_TRUE(c.startRole("pipe_guest", {"twice", "C"}));
    // Not needed for the outcome: gives both time to reach their wait, so
    // they are both woken when the instance comes free.
    Sleep(1000);
    EXPECT_EQ(b.out(), "") << "B must wait while the instance is busy";
    EXPECT_EQ(c.out(), "") << "C must wait while the instance is busy";

    ASSERT_TRUE(holder.send("go\n"));
    DWORD code = 99;
    ASSERT_TRUE(holder.finish(kLong, &code));
    for (auto *guest : {&b, &c}) {
        ASSERT_TRUE(guest->finish(kLong, &code)) << guest->out();
        EXPECT_EQ(code, 0u) << guest->out();
    }
    EXPECT_EQ(b.out(), "again same 1\nread hi, wrote B\nstill same 1\n");
    EXPECT_EQ(c.out(), "again same 1\nread hi, wrote C\nstill same 1\n");
    ASSERT_TRUE(server.finish(kLong, &code));
    std::string out = server.out();
    EXPECT_TRUE(out == "listening\nclient 1: A\nclient 2: B\nclient 3: C\n" ||
                out == "listening\nclient 1: A\nclient 2: C\nclient 3: B\n")
        << out;
}

} // namespace
