// Named pipes between real processes: the server end here, the client in a
// second process (or the other way round), driven line by line over its stdin.
// Pipes have buffer sizes 0, so a write waits for the reader: the two ends are
// always on different threads or processes.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "kestle.h"
#include "roles.h"

namespace {

constexpr int kLong = 30000; // generous: the machine may be loaded

using Bytes = std::vector<unsigned char>;

std::string hex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }
std::string hex(const std::string &s) { return hex(reinterpret_cast<const unsigned char *>(s.data()), s.size()); }

Bytes unhex(const std::string &s)
{
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return b;
}

std::string pipeName(const std::string &what)
{
    return "\\\\.\\pipe\\kestle_test_" + what + "_" + std::to_string(GetCurrentProcessId());
}

// The other end of a pipe in a second process. Its first argument says which
// end it takes; then each stdin line is one command, answered by one line
// "[n] result" where n counts the commands from 1.
//   client NAME: osal_connectServerPipe, answers "connect ok|-1|null"
//   server NAME: osal_createPipe, prints "listening", osal_waitPipeClient,
//                answers "client <BOOL> <last error>"
// Commands: write HEX, read N, drain (read byte by byte until -1), peek, close.
KT_ROLE(pipe_peer)
{
    const std::string &name = args.at(1);
    HANDLE h = nullptr;
    if (args.at(0) == "client") {
        h = osal_connectServerPipe(name.c_str());
        printf("connect %s\n", h == INVALID_HANDLE_VALUE ? "-1" : h ? "ok" : "null");
    } else {
        h = osal_createPipe(name.c_str());
        printf("listening %s\n", h ? "ok" : "null");
        fflush(stdout);
        BOOL ok = osal_waitPipeClient(h);
        printf("client %d %lu\n", ok, ok ? 0ul : GetLastError());
    }
    fflush(stdout);
    char line[4096];
    for (int n = 1; fgets(line, sizeof line, stdin); ++n) {
        std::string cmd(line);
        while (!cmd.empty() && (cmd.back() == '\n' || cmd.back() == '\r'))
            cmd.pop_back();
        std::string reply;
        if (cmd.rfind("write ", 0) == 0) {
            Bytes b = unhex(cmd.substr(6));
            reply = "write " + std::to_string(osal_writePipe(h, b.data(), static_cast<unsigned>(b.size())));
        } else if (cmd.rfind("read ", 0) == 0) {
            Bytes b(std::stoul(cmd.substr(5)));
            int r = osal_readPipe(h, b.data(), static_cast<unsigned>(b.size()));
            reply = "read " + std::to_string(r) + " " + (r > 0 ? hex(b) : "");
        } else if (cmd == "drain") {
            Bytes all;
            unsigned char c;
            while (osal_readPipe(h, &c, 1) == 1)
                all.push_back(c);
            reply = "drained " + hex(all);
        } else if (cmd == "peek") {
            reply = "peek " + std::to_string(osal_peekPipe(h));
        } else if (cmd == "close") {
            reply = "close " + std::to_string(osal_closePipe(h));
        } else {
            reply = "unknown " + cmd;
        }
        printf("[%d] %s\n", n, reply.c_str());
        fflush(stdout);
    }
    return 0;
}

class Peer {
public:
    bool startClient(const std::string &name)
    {
        return mChild.startRole("pipe_peer", {"client", name}) && mChild.waitOut("connect ", kLong) &&
               waitLineEnd(mChild.out().find("connect "));
    }
    bool startServer(const std::string &name)
    {
        return mChild.startRole("pipe_peer", {"server", name}) && mChild.waitOut("listening ok\n", kLong);
    }
    std::string firstLine()
    {
        std::string out = mChild.out();
        return out.substr(0, out.find('\n'));
    }
    bool waitClient() { return mChild.waitOut("client ", kLong); }
    // Sends a command; its answer comes with reply(seq).
    int send(const std::string &command)
    {
        mChild.send(command + "\n");
        return ++mSent;
    }
    std::string reply(int seq)
    {
        std::string needle = "[" + std::to_string(seq) + "] ";
        if (!mChild.waitOut(needle, kLong))
            return "<no answer to command " + std::to_string(seq) + ": " + mChild.out() + ">";
        size_t at = mChild.out().find(needle);
        if (!waitLineEnd(at))
            return "<unfinished line>";
        std::string out = mChild.out();
        return out.substr(at + needle.size(), out.find('\n', at) - at - needle.size());
    }
    std::string ask(const std::string &command) { return reply(send(command)); }
    bool finish()
    {
        mChild.closeStdin();
        DWORD code = 1;
        return mChild.finish(kLong, &code) && code == 0;
    }

private:
    bool waitLineEnd(size_t at)
    {
        for (int i = 0; i < kLong / 10; ++i) {
            if (mChild.out().find('\n', at) != std::string::npos)
                return true;
            Sleep(10);
        }
        return false;
    }
    kt::Child mChild;
    int mSent = 0;
};

// A server end with a client process connected to it.
class ServerWithClient : public testing::Test {
protected:
    void SetUp() override
    {
        mName = pipeName(testing::UnitTest::GetInstance()->current_test_info()->name());
        mServer = osal_createPipe(mName.c_str());
        ASSERT_NE(mServer, nullptr);
        ASSERT_TRUE(mPeer.startClient(mName));
        ASSERT_EQ(mPeer.firstLine(), "connect ok");
        // The client has opened the pipe already: connected, and said so.
        SetLastError(0);
        EXPECT_FALSE(osal_waitPipeClient(mServer));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
    }
    void TearDown() override
    {
        if (mServer)
            osal_closePipe(mServer);
        EXPECT_TRUE(mPeer.finish());
    }
    // Closes the server end once the peer has taken everything written.
    void closeServer()
    {
        FlushFileBuffers(mServer);
        EXPECT_TRUE(osal_closePipe(mServer));
        mServer = nullptr;
    }
    std::string mName;
    HANDLE mServer = nullptr;
    Peer mPeer;
};

TEST_F(ServerWithClient, BytesCrossBothWays)
{
    int seq = mPeer.send("write 70696e67");
    unsigned char got[4] = {};
    EXPECT_EQ(osal_readPipe(mServer, got, 4), 4);
    EXPECT_EQ(mPeer.reply(seq), "write 4");
    EXPECT_EQ(hex(got, 4), hex("ping"));

    seq = mPeer.send("read 4");
    EXPECT_EQ(osal_writePipe(mServer, "pong", 4), 4);
    EXPECT_EQ(mPeer.reply(seq), "read 4 " + hex("pong"));

    EXPECT_EQ(osal_readPipe(mServer, nullptr, 0), 0) << "nothing to read";
    EXPECT_EQ(osal_writePipe(mServer, nullptr, 0), 0) << "nothing to write";
    EXPECT_EQ(osal_readPipe(nullptr, got, 0), 0) << "len 0 makes no call";
}

TEST_F(ServerWithClient, ReadWaitsForBytesThatArriveInPieces)
{
    unsigned char got[12] = {};
    std::atomic<int> result{INT_MIN};
    std::thread reader([&] { result = osal_readPipe(mServer, got, sizeof got); });
    EXPECT_EQ(mPeer.ask("write 0102030405"), "write 5");
    EXPECT_EQ(result.load(), INT_MIN) << "returned before all 12 bytes came";
    EXPECT_EQ(mPeer.ask("write 060708090a0b0c"), "write 7");
    reader.join();
    EXPECT_EQ(result.load(), 12);
    EXPECT_EQ(hex(got, 12), "0102030405060708090a0b0c");
}

TEST_F(ServerWithClient, ReadFailsWhenTheWriterClosesEarly)
{
    unsigned char got[12] = {};
    std::atomic<int> result{INT_MIN};
    std::thread reader([&] { result = osal_readPipe(mServer, got, sizeof got); });
    EXPECT_EQ(mPeer.ask("write 0102030405"), "write 5");
    EXPECT_EQ(mPeer.ask("close"), "close 1");
    reader.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(osal_readPipe(mServer, got, 1), -1) << "the peer is gone";
    EXPECT_EQ(osal_writePipe(mServer, "x", 1), -1) << "the peer is gone";
}

TEST_F(ServerWithClient, WritevFramesEveryElementAndChecksThemAllFirst)
{
    int seq = mPeer.send("drain");
    char ab[] = "ab", cde[] = "cde", xy[] = "xy", dummy[] = "z";
    struct Case {
        std::vector<iovec> vec;
        int count; // -1: all of vec
        int expected;
        std::string bytes;
        const char *what;
    };
    std::vector<Case> cases{
        {{{ab, 2}, {cde, 3}}, -1, 5, "02000000616203000000636465", "two elements"},
        {{{ab, 0}}, -1, 0, "00000000", "a zero-length element"},
        {{{nullptr, 0}}, -1, 0, "00000000", "NULL with length 0"},
        {{{ab, 2}}, 0, 0, "", "count 0"},
        {{{ab, 2}}, -3, 0, "", "negative count"},
        {{{xy, 2}, {cde, -1}}, -1, -1, "", "a negative length after a good element"},
        {{{xy, 2}, {nullptr, 3}}, -1, -1, "", "NULL bytes with a length"},
        {{{dummy, INT_MAX}, {dummy, 1}}, -1, -1, "", "a total beyond an int"},
        {{}, 1, -1, "", "no array"},
        {{{xy, 2}}, -1, 2, "020000007879", "still usable after the refusals"},
    };
    std::string expectedStream;
    for (const Case &c : cases) {
        int count = c.count == -1 ? static_cast<int>(c.vec.size()) : c.count;
        const iovec *vec = c.vec.empty() ? nullptr : c.vec.data();
        EXPECT_EQ(osal_writevPipe(mServer, vec, count), c.expected) << c.what;
        expectedStream += c.bytes;
    }
    closeServer();
    EXPECT_EQ(mPeer.reply(seq), "drained " + expectedStream) << "refused calls must write nothing";
}

TEST_F(ServerWithClient, PeekCountsUnreadBytesAndLeavesThem)
{
    std::string bytes = hex(std::string("0123456789abcdefghijklmn"));
    int seq = mPeer.send("write " + bytes);
    unsigned seen = 0;
    for (int i = 0; i < kLong / 10 && (seen = osal_peekPipe(mServer)) < 24; ++i)
        Sleep(10);
    EXPECT_EQ(seen, 24u);
    EXPECT_EQ(osal_peekPipe(mServer), 24u) << "peeking takes nothing";
    unsigned char got[24];
    EXPECT_EQ(osal_readPipe(mServer, got, 24), 24);
    EXPECT_EQ(hex(got, 24), bytes);
    EXPECT_EQ(mPeer.reply(seq), "write 24");
    EXPECT_EQ(osal_peekPipe(mServer), 0u);
    EXPECT_EQ(osal_peekPipe(nullptr), 0u) << "a failed peek";
}

TEST_F(ServerWithClient, TransactFailsOnAByteModePipe)
{
    char out[8];
    EXPECT_EQ(osal_transactPipe(mServer, "q", 1, out, sizeof out), -1);
    EXPECT_EQ(osal_transactPipe(mServer, "q", -1, out, sizeof out), -1);
}

// The client side here, against a server in another process.
TEST(PipeClient, ConnectsToAServerInAnotherProcess)
{
    std::string name = pipeName("client_side");
    Peer server;
    ASSERT_TRUE(server.startServer(name));
    HANDLE h = osal_connectServerPipe(name.c_str());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(server.waitClient());
    int seq = server.send("read 3");
    EXPECT_EQ(osal_writePipe(h, "abc", 3), 3);
    EXPECT_EQ(server.reply(seq), "read 3 " + hex("abc"));
    // The server's end is taken: a second client finds no free instance.
    EXPECT_EQ(osal_connectPipe(name.c_str()), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(osal_closePipe(h));
    EXPECT_TRUE(server.finish());
}

TEST(PipeClient, BothFailureValuesOfConnect)
{
    std::string missing = pipeName("missing");
    EXPECT_FALSE(osal_waitPipeServer(missing.c_str())) << "no waiting for a pipe that does not exist";
    EXPECT_EQ(osal_connectPipe(missing.c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(osal_connectServerPipe(missing.c_str()), INVALID_HANDLE_VALUE);

    // A name that opens but is no pipe: opened, then byte read mode fails.
    char dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof dir, dir), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "kpt", 0, path), 0u);
    EXPECT_EQ(osal_connectPipe(path), nullptr);
    // No handle stays open behind the NULL: the file can be opened exclusively.
    HANDLE exclusive = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    if (exclusive != INVALID_HANDLE_VALUE)
        CloseHandle(exclusive);
    DeleteFileA(path);
}

// Runs a transfer on its own thread so one that spins for ever fails the test
// instead of hanging it; INT_MIN when it did not end.
template <typename Fn>
int boundedTransfer(Fn fn)
{
    struct Job {
        Fn fn;
        int result;
    } job{fn, INT_MIN};
    HANDLE t = reinterpret_cast<HANDLE>(osal_CreateThread(
        nullptr, 0,
        [](void *arg) -> unsigned __stdcall {
            auto *j = static_cast<Job *>(arg);
            j->result = j->fn();
            return 0;
        },
        &job, 0, nullptr));
    if (!t)
        return INT_MIN;
    if (WaitForSingleObject(t, kLong) != WAIT_OBJECT_0) {
        TerminateThread(t, 1);
        CloseHandle(t);
        return INT_MIN;
    }
    CloseHandle(t);
    return job.result;
}

// A handle at end of file reads 0 bytes "successfully" for ever: that must
// end the read, not spin on it.
TEST(PipeTransfers, ACallThatMovesNothingEndsTheTransfer)
{
    char dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof dir, dir), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "kpt", 0, path), 0u);
    HANDLE f = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(f, "abc", 3, &put, nullptr));
    SetFilePointer(f, 0, nullptr, FILE_BEGIN);
    char got[10];
    EXPECT_EQ(boundedTransfer([&] { return osal_readPipe(f, got, sizeof got); }), -1) << "3 bytes, then end of file";
    EXPECT_EQ(boundedTransfer([&] { return osal_readPipe(f, got, 1); }), -1) << "at end of file";
    CloseHandle(f);
    DeleteFileA(path);

    // The non-blocking end of a pipe with no room takes 0 bytes and says it
    // succeeded.
    std::string name = pipeName("nowait");
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 64, 64, 0,
                                     nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    std::string big(1 << 20, 'w');
    EXPECT_EQ(boundedTransfer([&] { return osal_writePipe(server, big.data(), static_cast<unsigned>(big.size())); }),
              -1);
    CloseHandle(client);
    CloseHandle(server);
}

TEST(PipeTransfers, RefusesBuffersItCannotReportOn)
{
    char buf[4];
    EXPECT_EQ(osal_readPipe(GetCurrentProcess(), nullptr, 4), -1);
    EXPECT_EQ(osal_writePipe(GetCurrentProcess(), nullptr, 4), -1);
    EXPECT_EQ(osal_readPipe(GetCurrentProcess(), buf, 0x80000000u), -1) << "a length an int cannot return";
}

} // namespace
