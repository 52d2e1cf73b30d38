// The diagnostics routine and the logging exports: their results, and that no
// text however long is written past the buffer that holds it.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "kestle.h"
#include "os/diagnostics.h"

// Every allocation of this program comes filled with garbage, so a record
// that is not cleared on creation shows an unterminated name.
void *operator new(std::size_t size)
{
    void *p = malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    memset(p, 0xAA, size);
    return p;
}

namespace {

TEST(Logf, ReturnsTheFormattedLengthOrMinusOneForACutText)
{
    struct Case {
        size_t chars;
        int expected;
    };
    for (const Case &c : std::vector<Case>{{0, 0}, {4, 4}, {1023, 1023}, {1024, 1024}, {1025, -1}, {100000, -1}}) {
        std::string text(c.chars, 'x');
        EXPECT_EQ(osal_logf("%s", text.c_str()), c.expected) << "a text of " << c.chars << " characters";
    }
    EXPECT_EQ(osal_logf("%d-%s", 42, "ab"), 5);
}

TEST(Logs, ReturnsTheLengthWithoutReadingTheText)
{
    EXPECT_EQ(osal_logs("anything", 37), 37);
    EXPECT_EQ(osal_logs(nullptr, 37), 37);
    EXPECT_EQ(osal_logs(nullptr, -5), -5);
}

TEST(DebugPrint, ReturnsWhatLogfGivesForTheText)
{
    EXPECT_EQ(debugPrint("handle type is %s\n", "File"), 20);
    EXPECT_EQ(debugPrint("%s", std::string(1024, 'y').c_str()), 1024);
    EXPECT_EQ(debugPrint("%s", std::string(1025, 'y').c_str()), -1);
}

// A text far beyond the 1032-byte buffer would wreck the stack if it were
// written in full; it is cut to 1031 characters, which logf then reports as cut.
TEST(DebugPrint, CutsATextLongerThanItsBuffer)
{
    std::string huge(200000, 'z');
    EXPECT_EQ(debugPrint("%s%s", huge.c_str(), huge.c_str()), -1);
    EXPECT_EQ(debugPrint("%s", std::string(1031, 'z').c_str()), -1);
    EXPECT_EQ(debugPrint("after: %d", 7), 8) << "the routine still works after a cut text";
}

TEST(DebugPrint, CreatesTheLoggerRecord)
{
    debugPrint("x");
    FloggerRecord *record = floggerRecord();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(floggerRecord(), record) << "one record for the process";
}

TEST(Flogger, NamesAreCutTo63CharactersAndTerminated)
{
    struct Case {
        std::string name;
        std::string expected;
    };
    std::string longName(100, 'n');
    std::vector<Case> cases{{"tenletters", "tenletters"},
                            {std::string(62, 'a'), std::string(62, 'a')},
                            {std::string(63, 'b'), std::string(63, 'b')},
                            {std::string(64, 'c'), std::string(63, 'c')},
                            {longName, std::string(63, 'n')},
                            {"", ""}};
    for (const Case &c : cases) {
        // A longer name first, so a stale tail would show.
        osal_flogger_init(longName.c_str());
        char *name = osal_flogger_init(c.name.c_str());
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(name[63], '\0') << "the last byte of the name terminates it";
        EXPECT_EQ(std::string(name), c.expected) << "name of " << c.name.size() << " characters";
    }
    EXPECT_EQ(std::string(osal_flogger_init(nullptr)), "") << "a NULL name counts as empty";
}

TEST(Flogger, DoneEmptiesTheSameName)
{
    char *named = osal_flogger_init("osal_filename");
    char *done = osal_flogger_done();
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(done, named);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(done[i], '\0') << "byte " << i;
}

TEST(GatherPieces, NeverCopiesMoreThanTheCapacity)
{
    char a[] = "abcd", b[] = "efgh";
    struct Case {
        std::vector<iovec> pieces;
        size_t capacity;
        std::string expected;
    };
    std::vector<Case> cases{
        {{{a, 4}, {b, 4}}, 8, "abcdefgh"},
        {{{a, 4}, {b, 4}}, 6, "abcdef"},
        {{{a, 4}, {b, 4}}, 3, "abc"},
        {{{a, 4}, {b, 4}}, 0, ""},
        {{{a, 2}, {nullptr, 4}, {b, -3}, {b, 0}, {b, 1}}, 8, "abe"},
    };
    for (const Case &c : cases) {
        char dst[16];
        memset(dst, '#', sizeof dst);
        size_t n = gatherPieces(dst, c.capacity, c.pieces.data(), static_cast<int>(c.pieces.size()));
        EXPECT_EQ(std::string(dst, n), c.expected) << "capacity " << c.capacity;
        for (size_t i = n; i < sizeof dst; ++i)
            ASSERT_EQ(dst[i], '#') << "byte " << i << " beyond the copy, capacity " << c.capacity;
    }
    EXPECT_EQ(gatherPieces(nullptr, 8, nullptr, 3), 0u);
}

TEST(Logv, ReturnsTotalWhateverThePiecesHold)
{
    std::string big(300000, 'p');
    char small[] = "abc";
    std::vector<iovec> bigPieces{{big.data(), static_cast<int32_t>(big.size())}, {big.data(), 1000}};
    iovec one{small, 3};
    struct Case {
        const iovec *pieces;
        int count;
        unsigned total;
        const char *what;
    };
    std::vector<Case> cases{
        {&one, 1, 3, "pieces that fit"},
        {&one, 0, 99, "count 0"},
        {nullptr, 0, 0, "no pieces"},
        {&one, -1, 5, "negative count"},
        {&one, 1, 1023, "the largest stack total"},
        {&one, 1, 1024, "the smallest heap total"},
        // Pieces far longer than total: only total bytes may be copied.
        {bigPieces.data(), 2, 0, "total 0 with long pieces"},
        {bigPieces.data(), 2, 16, "stack buffer with long pieces"},
        {bigPieces.data(), 2, 2000, "heap block with long pieces"},
        // No heap block can be had for these: nothing is copied.
        {bigPieces.data(), 2, 0xFFFFFFF0u, "a block too large to allocate"},
        {bigPieces.data(), 2, UINT_MAX, "a total whose block size wraps"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(static_cast<unsigned>(osal_logv(c.pieces, c.count, c.total)), c.total) << c.what;
}

} // namespace
