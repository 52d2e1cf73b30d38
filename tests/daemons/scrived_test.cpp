// The log daemon: the real program under Wine with a second process holding
// the socket map, and the pieces of its accept loop and file writes alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "files.h"
#include "kestle.h"
#include "log_daemon.h"
#include "loopback.h"
#include "roles.h"
#include "sockmap_fixture.h"
#include "testdata.h"
#include "wait.h"

namespace {

const std::string kNoMapping = "OSALSockMap::getMapAddress: OpenFileMapping failed, error=2\n";
const char *kLog = "/dev/log/main";
constexpr DWORD kExitMinusOne = 0xFFFFFFFFu;

// A root with the log folder in place.
std::unique_ptr<kt::TestRoot> logRoot(const std::string &name, size_t padTo = 0)
{
    auto root = std::make_unique<kt::TestRoot>(name, padTo);
    EXPECT_TRUE(root->makeDir("/dev/log"));
    return root;
}

class Scrived {
public:
    bool start(const kt::TestRoot &root)
    {
        kt::EnvChanges env;
        env.set.push_back({"VANTRELL_ROOT", root.envValue()});
        return mChild.start(kt::binPath("scrived.exe"), {}, &env);
    }
    // Waits until the daemon has registered itself, then returns its port.
    int waitRegistered()
    {
        bool ok = kt::waitUntil([&] { return osal_sockmap_getPid("scrived") == (int)mChild.pid(); });
        return ok ? osal_sockmap_get("scrived") : -1;
    }
    // The daemon's port once it accepts connections (it registers before it listens).
    int waitListening()
    {
        int port = waitRegistered();
        if (port <= 0)
            return -1;
        kt::Conn probe;
        return probe.connect(port, 60000) ? port : -1;
    }
    kt::Child &child() { return mChild; }

private:
    kt::Child mChild;
};

// ---- the real program ----

class ScrivedProgram : public testing::Test {
protected:
    void SetUp() override { kt::startWinsock(); }
};

TEST_F(ScrivedProgram, WithoutASocketMapItFailsAndLeavesTheLogFileAlone)
{
    auto root = logRoot("nomap");
    ASSERT_TRUE(kt::writeFile(root->path(kLog), "earlier lines\n"));
    Scrived d;
    ASSERT_TRUE(d.start(*root));
    DWORD code = 0;
    ASSERT_TRUE(d.child().finish(30000, &code));
    EXPECT_EQ(code, kExitMinusOne);
    std::string out = d.child().out();
    size_t nl = out.find('\n');
    ASSERT_NE(nl, std::string::npos) << out;
    EXPECT_EQ(out.substr(0, 14), "serv.sin_port=") << out;
    EXPECT_EQ(out.substr(nl + 1), kNoMapping) << "after the port line only the library's message";
    EXPECT_EQ(d.child().err(), "Failed to add socket to sockmap\n");
    EXPECT_EQ(kt::readFile(root->path(kLog)), "earlier lines\n");
}

TEST_F(ScrivedProgram, ReplacesAStaleEntryAndPrintsThePortFieldAsStored)
{
    kt::SockMapHolder holder;
    ASSERT_TRUE(holder.start());
    ASSERT_EQ(holder.command("add other 7 7"), 0);
    ASSERT_EQ(holder.command("add scrived 1 1"), 0);
    auto root = logRoot("stale");
    Scrived d;
    ASSERT_TRUE(d.start(*root));
    int port = d.waitRegistered();
    ASSERT_GT(port, 0);
    EXPECT_NE(port, 1);
    EXPECT_EQ(holder.command("count"), 2) << "the entry is updated in place";
    EXPECT_EQ(holder.command("get other"), 7);

    int swapped = ((port & 0xFF) << 8) | (port >> 8);
    std::string expected = "serv.sin_port=" + std::to_string(swapped) + "\nadd (scrived, " + std::to_string(port) +
                           ") to sockmap ok\n";
    EXPECT_TRUE(d.child().waitOut(expected, 60000)) << "stdout: " << d.child().out();
    EXPECT_EQ(d.child().out(), expected);
    d.child().kill();
    holder.quit();
}

TEST_F(ScrivedProgram, EmptiesTheLogAndKeepsABurstByteForByte)
{
    kt::SockMapHolder holder;
    ASSERT_TRUE(holder.start());
    auto root = logRoot("burst");
    ASSERT_TRUE(kt::writeFile(root->path(kLog), std::string(10000, 'x')));
    Scrived d;
    ASSERT_TRUE(d.start(*root));
    int port = d.waitListening();
    ASSERT_GT(port, 0);
    EXPECT_EQ(kt::readFile(root->path(kLog)), "") << "every start empties the log";

    {
        kt::Conn silent;
        ASSERT_TRUE(silent.connect(port));
    } // closed without a byte

    const std::string burst = kt::randomBytes(1 << 20, 42);
    kt::Conn c;
    ASSERT_TRUE(c.connect(port));
    ASSERT_TRUE(c.sendAll(burst));
    c.close();
    ASSERT_TRUE(kt::waitFileSize(root->path(kLog), burst.size()));
    std::string got = kt::readFile(root->path(kLog));
    ASSERT_EQ(got.size(), burst.size());
    EXPECT_TRUE(got == burst) << "the file differs from what was sent";
    EXPECT_EQ(d.child().err(), "");
    d.child().kill();
    holder.quit();
}

// Each client sends bytes of its own class (the top three bits name the
// client), so the file can be split back into the eight streams.
TEST_F(ScrivedProgram, SeveralClientsAtOnceKeepEveryByteInEachClientsOrder)
{
    kt::SockMapHolder holder;
    ASSERT_TRUE(holder.start());
    auto root = logRoot("many");
    Scrived d;
    ASSERT_TRUE(d.start(*root));
    int port = d.waitListening();
    ASSERT_GT(port, 0);

    constexpr int kClients = 8;
    constexpr size_t kEach = 256 * 1024;
    std::vector<std::string> streams(kClients);
    std::vector<kt::Conn> conns(kClients);
    for (int i = 0; i < kClients; ++i) {
        streams[i] = kt::randomBytes(kEach, 100 + i);
        for (char &b : streams[i])
            b = (char)((i << 5) | (b & 0x1F));
        ASSERT_TRUE(conns[i].connect(port)) << i;
    }
    std::vector<std::thread> senders;
    std::vector<int> sent(kClients, 0);
    for (int i = 0; i < kClients; ++i)
        senders.emplace_back([&, i] {
            sent[i] = conns[i].sendAll(streams[i]);
            conns[i].close();
        });
    for (auto &t : senders)
        t.join();
    for (int i = 0; i < kClients; ++i)
        ASSERT_TRUE(sent[i]) << "client " << i;

    ASSERT_TRUE(kt::waitFileSize(root->path(kLog), kClients * kEach));
    std::string got = kt::readFile(root->path(kLog));
    ASSERT_EQ(got.size(), kClients * kEach);
    std::vector<std::string> split(kClients);
    for (char b : got)
        split[((unsigned char)b) >> 5] += b;
    for (int i = 0; i < kClients; ++i)
        EXPECT_TRUE(split[i] == streams[i]) << "client " << i << ": " << split[i].size() << " bytes of " << kEach
                                            << " or out of order";
    d.child().kill();
    holder.quit();
}

// The path buffer holds 259 characters: root + "/dev/log/main". One more and
// a cut-off path would name another file ("/dev/log/mai").
TEST_F(ScrivedProgram, ARootTooLongForThePathIsAFailedOpen)
{
    struct Case {
        size_t hostLen; // the root's host path, without the '/' the library adds
        bool opens;
    };
    const Case cases[] = {{245, true}, {246, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE("root of " + std::to_string(c.hostLen + 1) + " characters");
        kt::SockMapHolder holder;
        ASSERT_TRUE(holder.start());
        auto root = logRoot("long" + std::to_string(c.hostLen), c.hostLen);
        ASSERT_EQ(root->hostPath().size(), c.hostLen);
        ASSERT_TRUE(kt::fileExists(root->path("/dev/log")));
        Scrived d;
        ASSERT_TRUE(d.start(*root));
        if (c.opens) {
            ASSERT_GT(d.waitListening(), 0);
            EXPECT_TRUE(kt::fileExists(root->path(kLog)));
            d.child().kill();
        } else {
            DWORD code = 0;
            ASSERT_TRUE(d.child().finish(30000, &code));
            EXPECT_EQ(code, kExitMinusOne);
            EXPECT_EQ(d.child().err(), "file open failed");
            EXPECT_FALSE(kt::fileExists(root->path("/dev/log/mai"))) << "a cut-off path was opened";
            EXPECT_FALSE(kt::fileExists(root->path(kLog)));
            EXPECT_EQ(osal_sockmap_getPid("scrived"), (int)d.child().pid()) << "registered before the open";
        }
        holder.quit();
    }
}

// ---- the accept loop and the file writes ----

KT_ROLE(scrived_accept_fails)
{
    kt::startWinsock();
    LogDaemon daemon;
    daemon.mListenSock = (int32_t)INVALID_SOCKET;
    daemon.acceptOne();
    return 0;
}

TEST(ScrivedAcceptLoop, AFailedAcceptSaysSoInFull)
{
    kt::Finished c = kt::runRoleToEnd("scrived_accept_fails", {}, nullptr, 30000);
    ASSERT_TRUE(c.ended);
    EXPECT_EQ(c.code, 0u);
    EXPECT_EQ(c.err, "scrived accept failed");
}

int failToStart(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; }

TEST(ScrivedAcceptLoop, AConnectionWithoutAThreadIsClosedAndTheNextOneServed)
{
    kt::startWinsock();
    kt::TestRoot root("nothread");
    LogDaemon daemon;
    kt::Listener listener;
    int port = listener.port();
    daemon.mListenSock = static_cast<int32_t>(listener.sock());
    ASSERT_GE(daemon.mListenSock, 0);
    daemon.mLogFd = _open(root.path("/log").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0666);
    ASSERT_GE(daemon.mLogFd, 0);

    daemon.mStartThread = failToStart;
    kt::Conn first;
    ASSERT_TRUE(first.connect(port));
    daemon.acceptOne();
    EXPECT_TRUE(first.waitClosed()) << "the client must not be left waiting";

    daemon.mStartThread = pthread_create;
    kt::Conn second;
    ASSERT_TRUE(second.connect(port));
    daemon.acceptOne();
    ASSERT_TRUE(second.sendAll("served"));
    ASSERT_TRUE(second.shutdownSend());
    // The thread closes its side last: after that it no longer touches the
    // daemon, which lives on this stack.
    EXPECT_TRUE(second.waitClosed());
    EXPECT_TRUE(kt::waitFileSize(root.path("/log"), 6));
    EXPECT_EQ(kt::readFile(root.path("/log")), "served");
    _close(daemon.mLogFd);
}

// A stand-in for _write that takes at most gPiece bytes a call and, once the
// file holds gRefuseAfter bytes, refuses with gRefusal (-1 an error, 0 nothing taken).
std::string gWritten;
int gPiece;
int gRefuseAfter;
int gRefusal;
int gCalls;

int takePieces(int, const void *data, unsigned int len)
{
    ++gCalls;
    int room = gRefuseAfter - (int)gWritten.size();
    if (room <= 0)
        return gRefusal;
    int n = (int)len < gPiece ? (int)len : gPiece;
    n = n < room ? n : room;
    gWritten.append(static_cast<const char *>(data), (size_t)n);
    return n;
}

TEST(ScrivedFileWrites, ShortWritesAreContinuedUntilAllIsWrittenOrRefused)
{
    const std::string chunk = kt::randomBytes(4096, 7);
    struct Case {
        const char *what;
        int piece;
        int refuseAfter;
        int refusal;
        int expected;
        int calls;
    };
    const Case cases[] = {
        {"whole at once", 4096, INT_MAX, -1, 4096, 1},
        {"in pieces of 1000", 1000, INT_MAX, -1, 4096, 5},
        {"a byte at a time", 1, INT_MAX, -1, 4096, 4096},
        {"an error after 2500", 1000, 2500, -1, 2500, 4},
        {"nothing taken after 1", 1, 1, 0, 1, 2},
        {"an error at once", 1000, 0, -1, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        gWritten.clear();
        gCalls = 0;
        gPiece = c.piece;
        gRefuseAfter = c.refuseAfter;
        gRefusal = c.refusal;
        EXPECT_EQ(writeFully(3, chunk.data(), (int)chunk.size(), takePieces), c.expected);
        EXPECT_TRUE(gWritten == chunk.substr(0, (size_t)c.expected)) << "bytes lost or out of order";
        EXPECT_EQ(gCalls, c.calls) << "one call per piece, none after a refusal";
    }
}

TEST(ScrivedFileWrites, AppendWritesEachChunkWholeIntoTheFile)
{
    kt::TestRoot root("append");
    LogDaemon daemon;
    daemon.mLogFd = _open(root.path("/log").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0666);
    ASSERT_GE(daemon.mLogFd, 0);
    const std::string a = kt::randomBytes(4096, 1), b = "\r\n\n\x1a" + std::string(1, '\0') + "tail";
    daemon.append(a.data(), (int)a.size());
    daemon.append(b.data(), (int)b.size());
    _close(daemon.mLogFd);
    EXPECT_TRUE(kt::readFile(root.path("/log")) == a + b) << "bytes changed on their way into the file";
}

} // namespace
