// The channel broker: the real program under Wine with a second process
// holding the socket map, driven through real server and client connections.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "interrogator.h"
#include "kestle.h"
#include "loopback.h"
#include "roles.h"
#include "sockmap_fixture.h"
#include "testdata.h"
#include "wait.h"

namespace {

const std::string kNoMapping = "OSALSockMap::getMapAddress: OpenFileMapping failed, error=2\n";
constexpr DWORD kExitMinusOne = 0xFFFFFFFFu;
constexpr int kServer = 1, kClient = 0;

std::string info(const std::string &text) { return "I/Interrogator: " + text; }
std::string warn(const std::string &text) { return "W/Interrogator: " + text; }
std::string error(const std::string &text) { return "E/Interrogator: " + text; }

size_t occurrences(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// One broker with its own socket map holder.
class Broker {
public:
    bool start()
    {
        kt::startWinsock();
        if (!mHolder.start())
            return false;
        if (!mChild.start(kt::binPath("interrogator.exe"), {}))
            return false;
        if (!mChild.waitErr(info("Interrogator started\n"), 60000))
            return false;
        mPort = osal_sockmap_get("interrogator");
        return mPort > 0;
    }
    ~Broker()
    {
        mChild.kill();
        mHolder.quit();
    }
    int port() const { return mPort; }
    std::string log() { return mChild.err(); }
    // The end of the log, for messages of tests that log a lot.
    std::string logTail()
    {
        std::string all = log();
        return all.substr(all.size() > 2000 ? all.size() - 2000 : 0);
    }
    // Waits until the log holds `needle` at least `count` times.
    bool waitLog(const std::string &needle, size_t count = 1, int timeoutMs = 60000)
    {
        return kt::waitUntil([&] { return occurrences(log(), needle) >= count; }, timeoutMs);
    }
    // Opens a connection and sends the request: role byte, length byte, name.
    kt::Conn peer(int role, const std::string &name)
    {
        kt::Conn c;
        if (!c.connect(mPort))
            return c;
        std::string request;
        request += (char)role;
        request += (char)name.size();
        request += name;
        c.sendAll(request);
        return c;
    }
    // A peer whose registration the broker has logged (the n-th time for that
    // name and slot).
    kt::Conn registered(int role, const std::string &name, int slot, size_t nth = 1)
    {
        kt::Conn c = peer(role, name);
        std::string line = info("channel " + name + " @ slot=" + std::to_string(slot) + "\n");
        EXPECT_TRUE(waitLog(line, nth)) << "no \"" << line << "\" in\n" << log();
        return c;
    }
    kt::Child &child() { return mChild; }

private:
    kt::SockMapHolder mHolder;
    kt::Child mChild;
    int mPort = -1;
};

// Sends text on `from` and expects exactly it on `to`.
void expectRelayed(kt::Conn &from, kt::Conn &to, const std::string &text)
{
    ASSERT_TRUE(from.sendAll(text));
    std::string got;
    EXPECT_TRUE(to.recvExactly(text.size(), &got)) << "got \"" << got << "\" of \"" << text << "\"";
    EXPECT_EQ(got, text);
}

struct Scenario {
    const char *name;
    std::function<void(Broker &)> run;
};

void clientFirst(Broker &b)
{
    kt::Conn c = b.registered(kClient, "early", 0);
    ASSERT_TRUE(c.sendAll("x"));
    EXPECT_TRUE(b.waitLog(warn("chnnel early (me:client): peer not ready\n")));
    EXPECT_TRUE(c.waitClosed()) << "the client is disconnected";
}

void serverOutlivesItsClient(Broker &b)
{
    kt::Conn s = b.registered(kServer, "svc", 0);
    kt::Conn c1 = b.registered(kClient, "svc", 0, 2);
    expectRelayed(c1, s, "ping");
    expectRelayed(s, c1, "pong");
    // The broker closes the client's side only after clearing its place, so
    // once the end comes back the server's next byte finds no peer.
    ASSERT_TRUE(c1.shutdownSend());
    ASSERT_TRUE(c1.waitClosed());
    ASSERT_TRUE(b.waitLog(info("channel svc (me:client) is broken, read fail, errno=")));
    ASSERT_TRUE(s.sendAll("d"));
    EXPECT_TRUE(b.waitLog(warn("chnnel svc (me:server): peer not ready\n")));

    kt::Conn c2 = b.registered(kClient, "svc", 0, 3);
    expectRelayed(c2, s, "again");
    expectRelayed(s, c2, "reply");
    EXPECT_FALSE(s.readable(0)) << "nothing else reached the server";
}

void serverLeaves(Broker &b)
{
    kt::Conn s = b.registered(kServer, "gone", 0);
    kt::Conn c = b.registered(kClient, "gone", 0, 2);
    expectRelayed(c, s, "a");
    // Its side is closed after the reset: the end coming back orders the two.
    ASSERT_TRUE(s.shutdownSend());
    ASSERT_TRUE(s.waitClosed());
    ASSERT_TRUE(b.waitLog(info("reset channel gone\n")));
    ASSERT_TRUE(c.sendAll("b"));
    EXPECT_TRUE(b.waitLog(warn("chnnel gone (me:client): peer not ready\n")));
    EXPECT_TRUE(c.waitClosed());
    // The slot is free again: a new channel claims it.
    kt::Conn other = b.registered(kClient, "next", 0);
}

void secondServerReplacesTheFirst(Broker &b)
{
    kt::Conn s1 = b.registered(kServer, "dup", 0);
    kt::Conn s2 = b.registered(kServer, "dup", 0, 2);
    kt::Conn c = b.registered(kClient, "dup", 0, 3);
    expectRelayed(c, s2, "to-second");
    EXPECT_FALSE(s1.readable(0)) << "the first server is no longer the channel's server";
    // The first server's worker still relays to the channel's client.
    expectRelayed(s1, c, "from-first");
    // It is no longer the channel's server: its leaving ends nothing else.
    ASSERT_TRUE(s1.shutdownSend());
    ASSERT_TRUE(s1.waitClosed());
    expectRelayed(c, s2, "still-second");
    expectRelayed(s2, c, "still-here");
    EXPECT_EQ(occurrences(b.log(), "reset channel dup"), 0u) << b.log();
}

// A connection left behind when its channel's server leaves keeps its
// connection but not its slot: the slot's next claim belongs to another
// channel, which it must not reach. Left behind: the channel's client, or a
// server that the leaving one had replaced.
void leftBehindReachesNoOtherChannel(Broker &b, int leftRole)
{
    const std::string me = leftRole == kClient ? "client" : "server";
    kt::Conn left = b.registered(leftRole, "alpha", 0);
    kt::Conn server = b.registered(kServer, "alpha", 0, 2);
    if (leftRole == kClient)
        expectRelayed(left, server, "a");
    ASSERT_TRUE(server.shutdownSend());
    ASSERT_TRUE(server.waitClosed());
    ASSERT_TRUE(b.waitLog(info("reset channel alpha\n")));

    // The other channel's peer that the one left behind would talk to.
    const int otherRole = leftRole == kClient ? kServer : kClient;
    kt::Conn other = b.registered(otherRole, "beta", 0);
    if (otherRole == kServer) {
        ASSERT_TRUE(other.sendAll("from beta"));
        ASSERT_TRUE(b.waitLog(warn("chnnel beta (me:server): peer not ready\n")));
    }
    ASSERT_TRUE(left.sendAll("twelve bytes"));
    std::string extra;
    EXPECT_TRUE(left.waitClosed(60000, &extra)) << "alpha's " << me << " is left connected";
    EXPECT_EQ(extra, "") << "alpha's " << me << " received beta's bytes";

    // Anything of alpha's would reach beta's peer before its own partner's bytes.
    kt::Conn partner = b.registered(leftRole, "beta", 0, 2);
    expectRelayed(partner, other, "beta only");
    expectRelayed(other, partner, "reply");
}

void negativeRoleRefused(Broker &b)
{
    kt::Conn c;
    ASSERT_TRUE(c.connect(b.port()));
    ASSERT_TRUE(c.sendAll(std::string("\x80\x01z", 3)));
    EXPECT_TRUE(c.waitClosed());
    EXPECT_TRUE(b.waitLog(info("get channel sucker role server\n") + error("cannot get connector role\n")))
        << b.log();
}

void emptyNameAccepted(Broker &b)
{
    kt::Conn s = b.registered(kServer, "", 0);
    EXPECT_TRUE(b.waitLog(info("channel name length is 0\n")));
    kt::Conn c = b.registered(kClient, "", 0, 2);
    expectRelayed(c, s, "hello");
    expectRelayed(s, c, "world");
}

void slot201Refused(Broker &b)
{
    std::vector<kt::Conn> held;
    for (int i = 0; i < Interrogator::kSlots; ++i) {
        held.push_back(b.registered(kClient, "ch" + std::to_string(i), i));
        ASSERT_FALSE(testing::Test::HasFailure()) << i;
    }
    kt::Conn c = b.peer(kClient, "overflow");
    EXPECT_TRUE(c.waitClosed());
    EXPECT_TRUE(b.waitLog(error("channel overflow couldn't get a slot\n") +
                          error("cannot allocate channel entry for overflow\n")))
        << b.logTail();
    // Known channels still work.
    kt::Conn s = b.registered(kServer, "ch7", 7, 2);
    kt::Conn c7 = b.registered(kClient, "ch7", 7, 3);
    expectRelayed(c7, s, "still served");
}

// A client of a channel without a server holds its slot only while it is
// connected, whether it just closes or first finds no peer.
void unmatchedClientsFreeTheirSlots(Broker &b)
{
    for (int i = 0; i < Interrogator::kSlots + 50; ++i) {
        const std::string name = "lone" + std::to_string(i);
        kt::Conn c = b.registered(kClient, name, 0);
        ASSERT_FALSE(testing::Test::HasFailure()) << i;
        if (i % 2) {
            ASSERT_TRUE(c.sendAll("x"));
            ASSERT_TRUE(c.waitClosed()) << i;
        }
        c.close();
        ASSERT_TRUE(b.waitLog(info("reset channel " + name + "\n")))
            << i << "\n"
            << b.logTail();
    }
    kt::Conn s = b.registered(kServer, "paired", 0);
    kt::Conn c = b.registered(kClient, "paired", 0, 2);
    expectRelayed(c, s, kt::randomBytes(1 << 16, 3));
    expectRelayed(s, c, kt::randomBytes(1 << 16, 4));
}

void longestName(Broker &b)
{
    const std::string name(127, 'n');
    kt::Conn s = b.registered(kServer, name, 0);
    EXPECT_TRUE(b.waitLog(info("channel name length is 127\n") + info("channel name: " + name + "\n")));
    kt::Conn c = b.registered(kClient, name, 0, 2);
    expectRelayed(c, s, "long");
}

void bothWaysAtOnce(Broker &b)
{
    kt::Conn s = b.registered(kServer, "bulk", 0);
    kt::Conn c = b.registered(kClient, "bulk", 0, 2);
    expectRelayed(c, s, "sync");
    const std::string up = kt::randomBytes(3 << 20, 1), down = kt::randomBytes(3 << 20, 2);
    std::string gotUp, gotDown;
    bool okUp = false, okDown = false;
    std::thread sendUp([&] { c.sendAll(up); });
    std::thread sendDown([&] { s.sendAll(down); });
    std::thread recvUp([&] { okUp = s.recvExactly(up.size(), &gotUp, 120000); });
    std::thread recvDown([&] { okDown = c.recvExactly(down.size(), &gotDown, 120000); });
    for (std::thread *t : {&sendUp, &sendDown, &recvUp, &recvDown})
        t->join();
    EXPECT_TRUE(okUp) << gotUp.size() << " of " << up.size() << " bytes reached the server";
    EXPECT_TRUE(okDown) << gotDown.size() << " of " << down.size() << " bytes reached the client";
    EXPECT_TRUE(gotUp == up) << "client to server bytes changed";
    EXPECT_TRUE(gotDown == down) << "server to client bytes changed";
}

// A reset connection's error is Winsock's own (WSAECONNRESET), read once,
// and ends that side as a failed read does. Under Wine a reset now and then
// reaches the broker as a plain end of stream (the pending error is taken
// before its receive asks): such a round shows nothing about the error, so
// it is played again on a fresh channel.
void resetPeersErrorIsWinsocks(Broker &b)
{
    std::vector<kt::Conn> earlier; // servers of rounds that showed nothing, keeping their slots
    for (int round = 0; round < 20; ++round) {
        const std::string name = "rst" + std::to_string(round);
        kt::Conn s = b.registered(kServer, name, round);
        kt::Conn c = b.registered(kClient, name, round, 2);
        expectRelayed(c, s, "x");
        c.abort();
        const std::string failed = info("channel " + name + " (me:client) read fail, errno=");
        const std::string ended = info("channel " + name + " (me:client) is broken, read fail, errno=");
        ASSERT_TRUE(kt::waitUntil([&] { return occurrences(b.log(), failed) + occurrences(b.log(), ended) > 0; }))
            << b.log();
        if (occurrences(b.log(), failed) == 0) {
            earlier.push_back(std::move(s));
            continue;
        }
        EXPECT_TRUE(b.waitLog(failed + "10054\n")) << b.log();

        // The client's place is cleared right after that line; a byte that
        // gets there first fails on the reset socket and clears it itself.
        const std::string noPeer = warn("chnnel " + name + " (me:server): peer not ready\n");
        const std::string writeFailed = info("channel " + name + " (me:server) write fail, errno=");
        ASSERT_TRUE(s.sendAll("y"));
        ASSERT_TRUE(kt::waitUntil(
            [&] { return occurrences(b.log(), noPeer) + occurrences(b.log(), writeFailed) > 0; }))
            << b.log();
        if (occurrences(b.log(), noPeer) == 0) {
            ASSERT_TRUE(s.sendAll("y"));
            EXPECT_TRUE(b.waitLog(noPeer)) << "the client's place was cleared\n" << b.log();
        }

        s.abort();
        EXPECT_TRUE(b.waitLog(info("reset channel " + name + "\n"))) << b.log();
        const std::string serverEnd = "channel " + name + " (me:server) ";
        EXPECT_TRUE(occurrences(b.log(), info(serverEnd + "read fail, errno=10054\n")) +
                        occurrences(b.log(), info(serverEnd + "is broken, read fail, errno=")) ==
                    1)
            << "the server's side ends with its failed read\n"
            << b.log();
        EXPECT_EQ(occurrences(b.log(), "channel " + name + " (me:client) "), 1u) << "no retry after a real error\n"
                                                                                 << b.log();
        return;
    }
    FAIL() << "in 20 rounds no reset reached the broker as an error\n" << b.log();
}

// A client that ended must not stay in its slot: its socket value goes to the
// next connection at once, which would then receive the server's bytes.
void endedWorkerLeavesNoSocket(Broker &b)
{
    kt::Conn early = b.registered(kClient, "reuse", 0);
    ASSERT_TRUE(early.sendAll("x"));
    ASSERT_TRUE(b.waitLog(warn("chnnel reuse (me:client): peer not ready\n")));
    ASSERT_TRUE(early.waitClosed());
    early.close();
    // Likely handed the ended client's socket value; it has not said anything yet.
    kt::Conn bystander;
    ASSERT_TRUE(bystander.connect(b.port()));
    ASSERT_TRUE(b.waitLog(info("new worker thread created\n"), 2));
    kt::Conn s = b.registered(kServer, "reuse", 0, 2);
    ASSERT_TRUE(s.sendAll("secret"));
    EXPECT_TRUE(b.waitLog(warn("chnnel reuse (me:server): peer not ready\n")));
    EXPECT_FALSE(bystander.readable(500)) << "the server's bytes went to an unrelated connection";
}

// The empty name is a channel of its own: it neither takes a named
// channel's slot nor shares one with it.
void emptyNameIsAChannelOfItsOwn(Broker &b)
{
    kt::Conn anonymous = b.registered(kServer, "", 0);
    kt::Conn c = b.registered(kClient, "fresh", 1);
    kt::Conn s = b.registered(kServer, "fresh", 1, 2);
    expectRelayed(c, s, "named");
    ASSERT_TRUE(anonymous.sendAll("anonymous"));
    ASSERT_TRUE(b.waitLog(warn("chnnel  (me:server): peer not ready\n"))) << b.log();
    // Anything of the anonymous server's would reach the client first.
    expectRelayed(s, c, "reply");

    kt::Conn anonymousClient = b.registered(kClient, "", 0, 2);
    expectRelayed(anonymousClient, anonymous, "just us");
    expectRelayed(anonymous, anonymousClient, "indeed");
    expectRelayed(c, s, "and us");
}

void negativeNameLengthRefused(Broker &b)
{
    for (unsigned char len : {0x80, 0xFF}) {
        kt::Conn c;
        ASSERT_TRUE(c.connect(b.port()));
        ASSERT_TRUE(c.sendAll(std::string("\x01", 1) + (char)len + "abc"));
        EXPECT_TRUE(c.waitClosed()) << (int)len;
    }
    EXPECT_TRUE(b.waitLog(info("channel name length is -128\n") + error("failed to get channel name\n") +
                          error("cannot get channel name\n")))
        << b.log();
    EXPECT_TRUE(b.waitLog(info("channel name length is -1\n") + error("failed to get channel name\n") +
                          error("cannot get channel name\n")))
        << b.log();
    EXPECT_EQ(occurrences(b.log(), "@ slot="), 0u);
    // The broker goes on serving.
    kt::Conn s = b.registered(kServer, "after", 0);
    kt::Conn c = b.registered(kClient, "after", 0, 2);
    expectRelayed(c, s, "fine");
}

void nameInPieces(Broker &b)
{
    kt::Conn s;
    ASSERT_TRUE(s.connect(b.port()));
    ASSERT_TRUE(s.sendAll(std::string("\x01\x06", 2) + "abc"));
    ASSERT_TRUE(b.waitLog(info("channel name length is 6\n")));
    Sleep(300); // lets the first piece be received on its own
    ASSERT_TRUE(s.sendAll("def"));
    EXPECT_TRUE(b.waitLog(info("channel name: abcdef\n") + info("channel abcdef @ slot=0\n"))) << b.log();
    kt::Conn c = b.registered(kClient, "abcdef", 0, 2);
    expectRelayed(c, s, "whole");

    // A name cut short by the peer's leaving still fails.
    kt::Conn cut;
    ASSERT_TRUE(cut.connect(b.port()));
    ASSERT_TRUE(cut.sendAll(std::string("\x00\x05", 2) + "ab"));
    cut.close();
    EXPECT_TRUE(b.waitLog(error("failed to get channel name\n") + error("cannot get channel name\n"))) << b.log();
}

// Streams far more than the sockets between a server and a client that reads
// nothing can hold, so the broker's relay of that server ends up blocked in a
// send to the client. Once it is over, the client goes with a reset, so the
// rest of the stream is dropped and the flood ends.
class Flood {
public:
    Flood(kt::Conn &server, kt::Conn &client, uint32_t seed) : mClient(client), mBytes(kt::randomBytes(64 << 20, seed))
    {
        mThread = std::thread([this, &server] {
            server.sendAll(mBytes);
            mDone = true;
        });
    }
    ~Flood()
    {
        mClient.abort();
        mThread.join();
    }
    // Whether the relay is stuck by now: the stream has not all gone.
    bool stuck()
    {
        Sleep(2000);
        return !mDone;
    }
    const std::string &bytes() const { return mBytes; }

private:
    kt::Conn &mClient;
    const std::string mBytes;
    std::atomic<bool> mDone{false};
    std::thread mThread;
};

// A relay blocked in a send holds up no other channel.
void blockedRelayHoldsUpNoOtherChannel(Broker &b)
{
    kt::Conn c = b.registered(kClient, "stuck", 0);
    kt::Conn s = b.registered(kServer, "stuck", 0, 2);
    Flood flood(s, c, 5);
    EXPECT_TRUE(flood.stuck()) << "the relay was never blocked";
    kt::Conn s2 = b.peer(kServer, "free");
    ASSERT_TRUE(b.waitLog(info("channel free @ slot=1\n"), 1, 10000)) << "the blocked relay holds up the broker";
    kt::Conn c2 = b.registered(kClient, "free", 1, 2);
    expectRelayed(c2, s2, "up");
    expectRelayed(s2, c2, "down");
}

// A client whose channel has gone ends while a replaced server's relay is
// still blocked sending to it. The client then gets what was under way and
// its end: the relay closes the connection once its send is done.
void endedClientIsClosedOnceTheSendToItEnds(Broker &b)
{
    kt::Conn c = b.registered(kClient, "drain", 0);
    kt::Conn replaced = b.registered(kServer, "drain", 0, 2);
    kt::Conn s = b.registered(kServer, "drain", 0, 3);
    Flood flood(replaced, c, 6);
    EXPECT_TRUE(flood.stuck()) << "the relay was never blocked";
    s.close();
    ASSERT_TRUE(b.waitLog(info("reset channel drain\n")));
    ASSERT_TRUE(c.sendAll("x"));
    ASSERT_TRUE(b.waitLog(warn("chnnel drain (me:client): peer not ready\n")));
    std::string got;
    EXPECT_TRUE(c.recvToEnd(&got)) << got.size() << " bytes came, and no end";
    EXPECT_TRUE(!got.empty() && flood.bytes().compare(0, got.size(), got) == 0)
        << got.size() << " bytes that are not the start of the replaced server's stream";
}

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

class BrokerScenario : public testing::TestWithParam<Scenario> {};

TEST_P(BrokerScenario, Runs)
{
    Broker b;
    ASSERT_TRUE(b.start()) << b.log();
    GetParam().run(b);
    EXPECT_EQ(occurrences(b.log(), "?/"), 0u);
}

const Scenario kScenarios[] = {
    {"ClientFirstFindsNoPeer", clientFirst},
    {"ServerOutlivesItsClient", serverOutlivesItsClient},
    {"ServerLeaves", serverLeaves},
    {"SecondServerReplacesTheFirst", secondServerReplacesTheFirst},
    {"NegativeRoleRefused", negativeRoleRefused},
    {"EmptyNameAccepted", emptyNameAccepted},
    {"Slot201Refused", slot201Refused},
    {"LongestNameAccepted", longestName},
    {"BothWaysAtOnce", bothWaysAtOnce},
    {"ResetPeersErrorIsWinsocks", resetPeersErrorIsWinsocks},
    {"EndedWorkerLeavesNoSocket", endedWorkerLeavesNoSocket},
    {"LeftClientReachesNoOtherChannel", [](Broker &b) { leftBehindReachesNoOtherChannel(b, kClient); }},
    {"ReplacedServerReachesNoOtherChannel", [](Broker &b) { leftBehindReachesNoOtherChannel(b, kServer); }},
    {"EmptyNameIsAChannelOfItsOwn", emptyNameIsAChannelOfItsOwn},
    {"UnmatchedClientsFreeTheirSlots", unmatchedClientsFreeTheirSlots},
    {"NegativeNameLengthRefused", negativeNameLengthRefused},
    {"NameInPieces", nameInPieces},
    {"BlockedRelayHoldsUpNoOtherChannel", blockedRelayHoldsUpNoOtherChannel},
    {"EndedClientIsClosedOnceTheSendToItEnds", endedClientIsClosedOnceTheSendToItEnds},
};

INSTANTIATE_TEST_SUITE_P(Channels, BrokerScenario, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario> &p) { return std::string(p.param.name); });

// Churn against streaming peers: a client (or a server) reads a little and
// goes, half of the time with a reset, and at once three connections come in
// that have sent only part of a request. Winsock hands them the value of the
// socket just closed; none of them may receive a byte of any channel. Each
// streamer's bytes carry its channel's tag, so a stray byte says whose it is.
struct ChurnShape {
    const char *name;
    // The role that comes and goes; the other one streams.
    int churned;
    // A newcomer's request: never finished, or whole for a channel of its own
    // that has no server.
    bool registered;
};

void PrintTo(const ChurnShape &s, std::ostream *os) { *os << s.name; }

class BrokerChurn : public testing::TestWithParam<ChurnShape> {};

TEST_P(BrokerChurn, NoNewcomerReceivesAByteOfAnotherChannel)
{
    constexpr int kChannels = 4;
    constexpr int64_t kRunMs = 20000;
    Broker b;
    ASSERT_TRUE(b.start()) << b.log();
    const bool registered = GetParam().registered;
    const int churned = GetParam().churned;
    const int streaming = churned == kClient ? kServer : kClient;

    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::mutex faultLock;
    std::string fault;
    auto report = [&](const std::string &what) {
        std::lock_guard<std::mutex> hold(faultLock);
        if (fault.empty())
            fault = what;
        stop = true;
    };

    std::vector<std::thread> threads;
    for (int k = 0; k < kChannels; ++k) {
        const std::string channel = "race" + std::to_string(k);
        const char tag = static_cast<char>('A' + k);
        threads.emplace_back([&, channel, tag] {
            const std::string chunk(1 << 16, tag);
            // A streaming client is ended with its channel's server: it comes back.
            while (!stop) {
                kt::Conn streamer = b.peer(streaming, channel);
                while (!stop && streamer.sendAll(chunk)) {
                }
                Sleep(1);
            }
        });
        threads.emplace_back([&, k, channel] {
            std::mt19937 rng(0x5EED0000u + k);
            const int64_t end = kt::nowMs() + kRunMs;
            while (!stop && kt::nowMs() < end) {
                kt::Conn leaving = b.peer(churned, channel);
                char buf[8192];
                // A byte of its own channel shows it is registered.
                if (!leaving.readable(5000))
                    continue;
                if (recv(leaving.sock(), buf, 1 + rng() % sizeof buf, 0) <= 0)
                    continue;
                if (rng() % 2)
                    leaving.abort();
                else
                    leaving.close();

                kt::Conn newcomers[3];
                for (int i = 0; i < 3; ++i) {
                    if (!newcomers[i].connect(b.port()))
                        continue;
                    std::string request;
                    request += static_cast<char>(rng() % 2);
                    if (registered) {
                        const std::string own = "own" + std::to_string(k) + "_" + std::to_string(i);
                        request += static_cast<char>(own.size());
                        request += own;
                    } else {
                        // 1 to 3 bytes: the role, then a length the name never fills.
                        int bytes = 1 + static_cast<int>(rng() % 3);
                        if (bytes >= 2)
                            request += static_cast<char>(2 + rng() % 100);
                        if (bytes == 3)
                            request += 'n';
                    }
                    newcomers[i].sendAll(request);
                }
                // The first wait gives a stray send time to land.
                for (int i = 0; i < 3; ++i) {
                    kt::Conn &c = newcomers[i];
                    if (!c.valid() || !c.readable(i == 0 ? 30 : 0))
                        continue;
                    int n = recv(c.sock(), buf, sizeof buf, 0);
                    if (n > 0)
                        report(std::to_string(n) + " bytes of channel race" + std::to_string(buf[0] - 'A') +
                               " reached a connection that never asked for it (round " +
                               std::to_string(rounds.load()) + ")");
                }
                ++rounds;
            }
        });
    }
    // The churners end on their own at the time bound; then the streamers.
    for (size_t t = 1; t < threads.size(); t += 2)
        threads[t].join();
    stop = true;
    b.child().kill();
    for (size_t t = 0; t < threads.size(); t += 2)
        threads[t].join();
    EXPECT_EQ(fault, "") << "after " << rounds.load() << " rounds";
    EXPECT_GT(rounds.load(), 100) << "the churn hardly ran\n" << b.logTail();
}

INSTANTIATE_TEST_SUITE_P(Newcomers, BrokerChurn,
                         testing::Values(ChurnShape{"UnfinishedRequest", kClient, false},
                                         ChurnShape{"OtherChannel", kClient, true},
                                         ChurnShape{"ServersComeAndGo", kServer, false}),
                         [](const testing::TestParamInfo<ChurnShape> &p) { return std::string(p.param.name); });

TEST(BrokerStartUp, WithoutASocketMapItSaysSoAndEnds)
{
    kt::Child c;
    ASSERT_TRUE(c.start(kt::binPath("interrogator.exe"), {}));
    DWORD code = 0;
    ASSERT_TRUE(c.finish(30000, &code));
    EXPECT_EQ(code, kExitMinusOne);
    std::string err = c.err();
    const std::string created = info("Created socket with port ");
    EXPECT_EQ(err.substr(0, created.size()), created) << err;
    size_t nl = err.find('\n');
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(err.substr(nl + 1), error("Failed to add socket to sockmap\n"));
    EXPECT_EQ(c.out(), kNoMapping);
}

int failToStart(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; }

TEST(BrokerAcceptLoop, AConnectionWithoutAWorkerIsClosed)
{
    kt::startWinsock();
    Interrogator broker;
    kt::Listener listener;
    ASSERT_TRUE(listener.valid());
    broker.mListenSock = static_cast<int32_t>(listener.sock());
    broker.mStartThread = failToStart;
    kt::Conn c;
    ASSERT_TRUE(c.connect(listener.port()));
    broker.acceptOne();
    EXPECT_TRUE(c.waitClosed()) << "the peer must not be left waiting";
}

} // namespace
