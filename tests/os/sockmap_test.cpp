// The socket map: the table's semantics in one process, and what it promises
// across real processes (a second reader, the creator going away, racing writers).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "os/sockmap.h"
#include "roles.h"
#include "sockmap_fixture.h"

namespace {

const std::string kNoMapping = "OSALSockMap::getMapAddress: OpenFileMapping failed, error=2\n";

class SockMap : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(osal_sockmap_init(), 0); }
    SockMapTable *table() { return OSALSockMap::getMapAddress(); }
};

TEST_F(SockMap, InitWritesTheHeaderAtItsFixedOffsets)
{
    SockMapTable *t = table();
    ASSERT_NE(t, nullptr);
    memset(t->lockName, 'x', sizeof t->lockName);
    t->reserved0 = 7;
    t->reserved1 = 8;
    t->count = 3;
    ASSERT_EQ(osal_sockmap_init(), 0);
    t = table();
    const unsigned char *raw = reinterpret_cast<const unsigned char *>(t);
    char expectedName[32] = "Local\\VantrellSockMapLock";
    EXPECT_EQ(memcmp(raw, expectedName, 32), 0) << "lockName zero-filled to 32 bytes";
    int32_t words[3];
    memcpy(words, raw + 32, sizeof words);
    EXPECT_EQ(words[0], 0);
    EXPECT_EQ(words[1], 0);
    EXPECT_EQ(words[2], 0) << "count at offset 40";

    ASSERT_EQ(osal_sockmap_add("first", 700, 12), 0);
    ASSERT_EQ(osal_sockmap_add("second", 0x01020304, 0x0a0b0c0d), 0);
    const unsigned char *second = raw + 44 + 136;
    EXPECT_STREQ(reinterpret_cast<const char *>(second), "second");
    for (int i = 6; i < 128; ++i)
        ASSERT_EQ(second[i], 0) << "name field zero-filled at byte " << i;
    EXPECT_EQ(second[128], 0x04);
    EXPECT_EQ(second[131], 0x01);
    EXPECT_EQ(second[132], 0x0d);
    EXPECT_EQ(second[135], 0x0a);
}

TEST_F(SockMap, FreshTableIsEmpty)
{
    EXPECT_EQ(osal_sockmap_count(), 0);
    EXPECT_EQ(osal_sockmap_get("scrived"), -1);
    EXPECT_EQ(osal_sockmap_getPid("scrived"), -1);
    EXPECT_EQ(osal_sockmap_del("scrived"), -1);
    char *name = nullptr;
    int port = 0, pid = 0;
    EXPECT_EQ(osal_sockmap_enumrate(0, &name, &port, &pid), 0);
}

TEST_F(SockMap, AddOfAPresentKeyUpdatesItInPlace)
{
    ASSERT_EQ(osal_sockmap_add("scrived", 700, 12), 0);
    ASSERT_EQ(osal_sockmap_add("scrived", 701, 99), 0);
    EXPECT_EQ(osal_sockmap_count(), 1);
    EXPECT_EQ(osal_sockmap_get("scrived"), 701);
    EXPECT_EQ(osal_sockmap_getPid("scrived"), 99);
}

TEST_F(SockMap, DeletedSlotsStayCountedAndAreNeverReused)
{
    ASSERT_EQ(osal_sockmap_add("a", 1, 10), 0);
    ASSERT_EQ(osal_sockmap_add("b", 2, 20), 0);
    ASSERT_EQ(osal_sockmap_del("a"), 0);
    EXPECT_EQ(osal_sockmap_get("a"), -1);
    EXPECT_EQ(osal_sockmap_count(), 2);

    ASSERT_EQ(osal_sockmap_add("a", 3, 30), 0);
    EXPECT_EQ(osal_sockmap_count(), 3) << "a re-added key is appended";
    char *name = nullptr;
    int port = 0, pid = 0;
    ASSERT_EQ(osal_sockmap_enumrate(0, &name, &port, &pid), 1);
    EXPECT_STREQ(name, "") << "the deleted entry keeps its slot";
    EXPECT_EQ(port, 1);
    EXPECT_EQ(pid, 10);
    ASSERT_EQ(osal_sockmap_enumrate(2, &name, &port, &pid), 1);
    EXPECT_STREQ(name, "a");
    EXPECT_EQ(port, 3);

    // index == count: nothing written to the outputs
    char *untouchedName = reinterpret_cast<char *>(0x1234);
    int untouchedPort = -77, untouchedPid = -88;
    EXPECT_EQ(osal_sockmap_enumrate(3, &untouchedName, &untouchedPort, &untouchedPid), 0);
    EXPECT_EQ(untouchedName, reinterpret_cast<char *>(0x1234));
    EXPECT_EQ(untouchedPort, -77);
    EXPECT_EQ(untouchedPid, -88);
}

TEST_F(SockMap, FullTableRefusesNewKeysButUpdatesPresentOnes)
{
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(osal_sockmap_add(("k" + std::to_string(i)).c_str(), i, i), 0) << i;
    ASSERT_EQ(osal_sockmap_del("k5"), 0);
    EXPECT_EQ(osal_sockmap_add("new", 1, 1), -1);
    EXPECT_EQ(osal_sockmap_add("k5", 1, 1), -1) << "a deleted key is new again and the table is full";
    EXPECT_EQ(osal_sockmap_add("k29", 555, 1), 0);
    EXPECT_EQ(osal_sockmap_get("k29"), 555);
    EXPECT_EQ(osal_sockmap_count(), 30);
}

TEST_F(SockMap, EmptyKeyMatchesTheFirstDeletedEntry)
{
    EXPECT_EQ(osal_sockmap_get(""), -1) << "no deleted entry yet";
    ASSERT_EQ(osal_sockmap_add("a", 11, 1), 0);
    ASSERT_EQ(osal_sockmap_add("b", 22, 2), 0);
    ASSERT_EQ(osal_sockmap_del("b"), 0);
    EXPECT_EQ(osal_sockmap_get(""), 22);
    EXPECT_EQ(osal_sockmap_del(""), 0);
    EXPECT_EQ(osal_sockmap_add("", 33, 3), 0);
    EXPECT_EQ(osal_sockmap_count(), 2);
    EXPECT_EQ(osal_sockmap_getPid(""), 3);
}

TEST_F(SockMap, EmptyKeyIsAppendedWhenNothingIsDeleted)
{
    ASSERT_EQ(osal_sockmap_add("", 5, 6), 0);
    EXPECT_EQ(osal_sockmap_count(), 1);
    EXPECT_EQ(osal_sockmap_get(""), 5);
}

TEST_F(SockMap, KeysThatAgreeInTheirFirst128BytesAreOneKey)
{
    std::string a(128, 'q');
    a += "tail-a";
    std::string b(128, 'q');
    b += "tail-b";
    ASSERT_EQ(osal_sockmap_add(a.c_str(), 1, 1), 0);
    ASSERT_EQ(osal_sockmap_add(b.c_str(), 2, 2), 0);
    EXPECT_EQ(osal_sockmap_count(), 1);
    EXPECT_EQ(osal_sockmap_get(std::string(128, 'q').c_str()), 2);
    EXPECT_EQ(osal_sockmap_get(std::string(127, 'q').c_str()), -1);
    EXPECT_EQ(memcmp(table()->entries[0].name, a.data(), 128), 0) << "stored as its first 128 bytes";
}

TEST_F(SockMap, SecondInitForgetsEveryKey)
{
    ASSERT_EQ(osal_sockmap_add("a", 1, 1), 0);
    ASSERT_EQ(osal_sockmap_add("b", 2, 2), 0);
    ASSERT_EQ(osal_sockmap_init(), 0);
    EXPECT_EQ(osal_sockmap_count(), 0);
    EXPECT_EQ(osal_sockmap_get("a"), -1);
    ASSERT_EQ(osal_sockmap_add("c", 3, 3), 0);
    EXPECT_STREQ(table()->entries[0].name, "c");
}

// Any process can write `count`: a value outside 0..30 must never lead an
// operation outside the 30 entries.
TEST_F(SockMap, ACountOutsideTheTableKeepsEveryOperationInside)
{
    const int counts[] = {-1, -5, INT_MIN, 31, 1000, INT_MAX};
    for (int bad : counts) {
        SCOPED_TRACE("count = " + std::to_string(bad));
        ASSERT_EQ(osal_sockmap_init(), 0);
        for (int i = 0; i < 30; ++i)
            ASSERT_EQ(osal_sockmap_add(("k" + std::to_string(i)).c_str(), 100 + i, i), 0);
        table()->count = bad;
        EXPECT_EQ(osal_sockmap_add("new", 1, 1), -1);
        EXPECT_EQ(osal_sockmap_count(), bad);
        EXPECT_EQ(osal_sockmap_get("missing"), -1);
        EXPECT_EQ(osal_sockmap_del("missing"), -1);
        if (bad > 0)
            EXPECT_EQ(osal_sockmap_get("k29"), 129) << "the 30 entries are still searched";
        else
            EXPECT_EQ(osal_sockmap_get("k0"), -1) << "a negative count holds no entries";

        char *name = reinterpret_cast<char *>(0x1234);
        int port = -7, pid = -8;
        for (int index : {-1, INT_MIN, 30, 31, 999}) {
            EXPECT_EQ(osal_sockmap_enumrate(index, &name, &port, &pid), 0) << "index " << index;
            EXPECT_EQ(name, reinterpret_cast<char *>(0x1234));
            EXPECT_EQ(port, -7);
            EXPECT_EQ(pid, -8);
        }
    }
}

// ---- across processes ----

KT_ROLE(probe_without_table)
{
    char *name = nullptr;
    int port = 0, pid = 0;
    printf("add %d\n", osal_sockmap_add("a", 1, 1));
    printf("del %d\n", osal_sockmap_del("a"));
    printf("get %d\n", osal_sockmap_get("a"));
    printf("getPid %d\n", osal_sockmap_getPid("a"));
    printf("count %d\n", osal_sockmap_count());
    printf("enumrate %d\n", osal_sockmap_enumrate(0, &name, &port, &pid));
    return 0;
}

TEST(SockMapProcesses, WithoutATableEveryOperationSaysSoAndFails)
{
    kt::Finished c = kt::runRoleToEnd("probe_without_table", {}, nullptr, 30000);
    ASSERT_TRUE(c.ended);
    EXPECT_EQ(c.code, 0u);
    std::string expected;
    for (const char *op : {"add", "del", "get", "getPid", "count", "enumrate"})
        expected += kNoMapping + op + " -1\n";
    EXPECT_EQ(c.out, expected);
}

TEST(SockMapProcesses, ASecondProcessSeesWhatTheFirstAdded)
{
    kt::SockMapHolder holder;
    ASSERT_TRUE(holder.start());
    EXPECT_NE(holder.child().out().find("OSALSockMap::init: sock_map=0x"), std::string::npos) << holder.child().out();

    ASSERT_EQ(osal_sockmap_add("svc", 700, 42), 0);
    EXPECT_EQ(holder.command("get svc"), 700);
    EXPECT_EQ(holder.command("pid svc"), 42);
    ASSERT_EQ(holder.command("add other 4242 7"), 0);
    EXPECT_EQ(osal_sockmap_get("other"), 4242);
    EXPECT_EQ(osal_sockmap_count(), 2);
    ASSERT_EQ(holder.command("del svc"), 0);
    EXPECT_EQ(osal_sockmap_get("svc"), -1);
    EXPECT_TRUE(holder.quit());
}

KT_ROLE(add_one)
{
    printf("add %d\n", osal_sockmap_add(args.at(0).c_str(), atoi(args.at(1).c_str()), 1));
    return 0;
}

// When the creator ends, its mutex dies with its last handle while the table
// lives on in its users' views. The users must keep excluding each other.
TEST(SockMapProcesses, TheTableAndItsLockOutliveTheCreator)
{
    {
        kt::SockMapHolder holder;
        ASSERT_TRUE(holder.start());
        ASSERT_EQ(holder.command("add kept 1234 5"), 0);
        ASSERT_EQ(osal_sockmap_get("kept"), 1234); // this process now maps the table
        ASSERT_TRUE(holder.quit());
    }
    HANDLE gone = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, SOCKMAP_LOCK_NAME);
    EXPECT_EQ(gone, nullptr) << "the creator's mutex died with it";
    if (gone)
        CloseHandle(gone);

    EXPECT_EQ(osal_sockmap_get("kept"), 1234);
    ASSERT_EQ(osal_sockmap_add("later", 4321, 6), 0);

    HANDLE lock = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, SOCKMAP_LOCK_NAME);
    ASSERT_NE(lock, nullptr) << "the lock was made again and is kept";
    ASSERT_EQ(WaitForSingleObject(lock, 5000), WAIT_OBJECT_0);
    kt::Child adder;
    ASSERT_TRUE(adder.startRole("add_one", {"blocked", "99"}));
    EXPECT_FALSE(adder.wait(1500)) << "another process's add waits for the lock we hold";
    ReleaseMutex(lock);
    CloseHandle(lock);
    ASSERT_TRUE(adder.finish(20000));
    EXPECT_EQ(adder.out(), "add 0\n");
    EXPECT_EQ(osal_sockmap_get("blocked"), 99);

    std::string dump = kt::runToEnd(kt::binPath("sockmapdump.exe"), {"later"});
    EXPECT_EQ(dump, "\tlater --> 4321\n");
}

KT_ROLE(add_many)
{
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, args.at(0).c_str());
    if (!go)
        return 2;
    printf("waiting\n");
    fflush(stdout);
    WaitForSingleObject(go, 30000);
    int failures = 0;
    int n = atoi(args.at(2).c_str());
    for (int i = 0; i < n; ++i) {
        std::string key = args.at(1) + "-" + std::to_string(i);
        if (osal_sockmap_add(key.c_str(), 1000 + i, (int)GetCurrentProcessId()) != 0)
            ++failures;
    }
    printf("failures %d\n", failures);
    return 0;
}

TEST(SockMapProcesses, WritersRacingFromSeveralProcessesLoseNothing)
{
    kt::SockMapHolder holder;
    ASSERT_TRUE(holder.start());
    const char *event = "Local\\kestle-test-sockmap-go";
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, event);
    ASSERT_NE(go, nullptr);
    constexpr int kWriters = 6, kKeysEach = 5;
    std::vector<std::unique_ptr<kt::Child>> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(std::make_unique<kt::Child>());
        ASSERT_TRUE(writers.back()->startRole("add_many", {event, "w" + std::to_string(w), std::to_string(kKeysEach)}));
    }
    for (auto &w : writers)
        ASSERT_TRUE(w->waitOut("waiting\n"));
    SetEvent(go);
    for (auto &w : writers) {
        ASSERT_TRUE(w->finish(30000));
        EXPECT_NE(w->out().find("failures 0\n"), std::string::npos) << w->out();
    }
    CloseHandle(go);

    EXPECT_EQ(osal_sockmap_count(), kWriters * kKeysEach);
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kKeysEach; ++i)
            EXPECT_EQ(osal_sockmap_get(("w" + std::to_string(w) + "-" + std::to_string(i)).c_str()), 1000 + i);
    EXPECT_TRUE(holder.quit());
}

} // namespace
