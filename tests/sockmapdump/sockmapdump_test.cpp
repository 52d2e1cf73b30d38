// sockmapdump, the real program, against a table held by a second process.
#include <gtest/gtest.h>

#include <climits>
#include <regex>
#include <string>

#include "child.h"
#include "os/sockmap.h"
#include "sockmap_fixture.h"

namespace {

std::string dump(const std::vector<std::string> &args, DWORD *code)
{
    return kt::runToEnd(kt::binPath("sockmapdump.exe"), args, code);
}

class SockMapDump : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mHolder.start()); }
    void TearDown() override { EXPECT_TRUE(mHolder.quit()); }
    kt::SockMapHolder mHolder;
};

TEST_F(SockMapDump, EmptyTablePrintsTheHeaderAndAnEmptyLine)
{
    DWORD code = 1;
    EXPECT_EQ(dump({}, &code), "osal_sockmap [0 entries]:\n\n");
    EXPECT_EQ(code, 0u);
}

TEST_F(SockMapDump, ListsEveryEntryDeletedOnesIncluded)
{
    ASSERT_EQ(mHolder.command("add scrived 5000 11"), 0);
    ASSERT_EQ(mHolder.command("add gone 17 2"), 0);
    ASSERT_EQ(mHolder.command("add zero 0 3"), 0);
    ASSERT_EQ(mHolder.command("del gone"), 0);
    DWORD code = 1;
    EXPECT_EQ(dump({}, &code), "osal_sockmap [3 entries]:\n"
                               "\t11: scrived --> 5000\n"
                               "\t2:  --> 17\n"
                               "\t3: zero --> 0\n"
                               "\n");
    EXPECT_EQ(code, 0u);
}

TEST_F(SockMapDump, LooksUpEachKeyInTheOrderGiven)
{
    ASSERT_EQ(mHolder.command("add scrived 5000 11"), 0);
    ASSERT_EQ(mHolder.command("add zero 0 3"), 0);
    DWORD code = 1;
    EXPECT_EQ(dump({"scrived", "absent", "zero", "scrived"}, &code), "\tscrived --> 5000\n"
                                                                     "\tabsent --> UNKNOWN\n"
                                                                     "\tzero --> UNKNOWN\n"
                                                                     "\tscrived --> 5000\n");
    EXPECT_EQ(code, 0u);
}

// A 128-byte key has no terminator in the table; the port that follows it
// must not be printed as part of the name.
TEST_F(SockMapDump, PrintsAtMost128BytesOfAName)
{
    std::string key(130, 'k');
    ASSERT_EQ(mHolder.command("add " + key + " 1094795585 4"), 0); // port bytes read "AAAA"
    EXPECT_EQ(dump({}, nullptr), "osal_sockmap [1 entries]:\n\t4: " + std::string(128, 'k') + " --> 1094795585\n\n");
}

// Any process can write the count. Whatever it says, the dump looks at the
// table's 30 entries at most: the same lines, under a header with the count.
TEST_F(SockMapDump, ACountBeyondTheTableListsTheTableOnly)
{
    ASSERT_EQ(mHolder.command("add scrived 5000 11"), 0);
    ASSERT_EQ(mHolder.command("add interrogator 6000 12"), 0);
    SockMapTable *table = OSALSockMap::getMapAddress();
    ASSERT_NE(table, nullptr);
    std::string unused;
    for (int i = 2; i < SOCKMAP_MAX_ENTRIES; ++i)
        unused += "\t0:  --> 0\n";
    const std::string entries = "\t11: scrived --> 5000\n\t12: interrogator --> 6000\n";
    const struct {
        int count;
        std::string lines;
    } cases[] = {
        {31, entries + unused}, {1000, entries + unused}, {INT_MAX, entries + unused}, {-1, ""}, {INT_MIN, ""},
    };
    for (const auto &c : cases) {
        table->count = c.count;
        DWORD code = 1;
        EXPECT_EQ(dump({}, &code), "osal_sockmap [" + std::to_string(c.count) + " entries]:\n" + c.lines + "\n")
            << "count " << c.count;
        EXPECT_EQ(code, 0u);
    }
}

TEST(SockMapDumpWithoutTable, ReportsTheLibraryMessageAndExitsZero)
{
    const std::string message = "OSALSockMap::getMapAddress: OpenFileMapping failed, error=2\n";
    DWORD code = 1;
    EXPECT_EQ(dump({}, &code), message + "osal_sockmap [-1 entries]:\n\n");
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(dump({"a", "b"}, &code), message + "\ta --> UNKNOWN\n" + message + "\tb --> UNKNOWN\n");
    EXPECT_EQ(code, 0u);
}

} // namespace
