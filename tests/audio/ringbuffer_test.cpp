// The audio byte ring at its real size: capacity, wrapping, wake-ups, bad
// arguments, and one writer against one reader on real threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "audio/ringbuffer.h"
#include "child.h"
#include "gate.h"
#include "guard_hold.h"
#include "roles.h"

namespace {

constexpr int S = RingBuffer::kSize;

// Bytes of a sequence that never repeats within the ring's size in step with
// any chunking: byte i of the stream is a hash of i.
unsigned char streamByte(uint64_t i)
{
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
    return static_cast<unsigned char>((x >> 24) ^ (i >> 32) ^ x);
}

void fillStream(std::vector<unsigned char> &buf, uint64_t from)
{
    for (size_t k = 0; k < buf.size(); ++k)
        buf[k] = streamByte(from + k);
}

// Wake-ups waiting on the ring, taken until none is left.
int drainWakeups(RingBuffer &ring)
{
    int n = 0;
    while (ring.wait(0) == 0)
        ++n;
    return n;
}

struct RingTest : ::testing::Test {
    std::unique_ptr<RingBuffer> ring = std::make_unique<RingBuffer>();
    void SetUp() override { ASSERT_TRUE(ring->isValid()); }
};

TEST_F(RingTest, ANewRingIsEmptyAndReadsNothing)
{
    EXPECT_EQ(ring->usedBytes(), 0);
    EXPECT_EQ(ring->freeBytes(), 0x1C00000);
    char buf[16];
    EXPECT_EQ(ring->read(buf, sizeof buf), 0);
    EXPECT_EQ(ring->read(buf, 0), 0);
    EXPECT_EQ(drainWakeups(*ring), 0);
}

TEST_F(RingTest, HoldsAtMostOneByteLessThanItsStorageAndWritesAllOrNothing)
{
    std::vector<unsigned char> big(S);
    fillStream(big, 0);
    EXPECT_EQ(ring->write(big.data(), S), 0) << "a write of the whole storage never fits";
    EXPECT_EQ(ring->usedBytes(), 0);
    EXPECT_EQ(ring->write(big.data(), S - 1), S - 1);
    EXPECT_EQ(ring->freeBytes(), 1);
    EXPECT_EQ(ring->write(big.data(), 1), 0) << "the last free byte is never written";
    EXPECT_EQ(ring->write(big.data(), 0), 0);
    EXPECT_EQ(ring->usedBytes(), S - 1);

    std::vector<unsigned char> back(S, 0);
    EXPECT_EQ(ring->read(back.data(), S), S - 1) << "a read takes what is pending";
    EXPECT_TRUE(memcmp(back.data(), big.data(), S - 1) == 0);
    EXPECT_EQ(ring->usedBytes(), 0);
    EXPECT_EQ(ring->freeBytes(), S);
}

TEST_F(RingTest, WritesAndReadsThatCrossTheEndKeepTheBytesInOrder)
{
    // Move both positions close to the end: S - 100.
    std::vector<unsigned char> lead(S - 100);
    ASSERT_EQ(ring->write(lead.data(), S - 100), S - 100);
    ASSERT_EQ(ring->read(lead.data(), S - 100), S - 100);

    // A write that ends exactly on the last byte, then one from the start.
    std::vector<unsigned char> a(100), b(50);
    fillStream(a, 1000);
    fillStream(b, 5000);
    ASSERT_EQ(ring->write(a.data(), 100), 100);
    EXPECT_EQ(ring->usedBytes(), 100);
    ASSERT_EQ(ring->write(b.data(), 50), 50);
    EXPECT_EQ(ring->usedBytes(), 150);
    std::vector<unsigned char> got(150);
    ASSERT_EQ(ring->read(got.data(), 150), 150);
    EXPECT_TRUE(memcmp(got.data(), a.data(), 100) == 0) << "bytes up to the end";
    EXPECT_TRUE(memcmp(got.data() + 100, b.data(), 50) == 0) << "bytes after the end";

    // One write that wraps, read back in pieces that wrap differently.
    std::vector<unsigned char> lead2(S - 200 - 150);
    ASSERT_EQ(ring->write(lead2.data(), static_cast<int>(lead2.size())), static_cast<int>(lead2.size()));
    ASSERT_EQ(ring->read(lead2.data(), static_cast<int>(lead2.size())), static_cast<int>(lead2.size()));
    std::vector<unsigned char> wrap(777), back(777);
    fillStream(wrap, 99999);
    ASSERT_EQ(ring->write(wrap.data(), 777), 777);
    ASSERT_EQ(ring->read(back.data(), 150), 150);
    ASSERT_EQ(ring->read(back.data() + 150, 100), 100);
    ASSERT_EQ(ring->read(back.data() + 250, 1000), 527);
    EXPECT_TRUE(back == wrap) << "a wrapped write read back in three pieces";
    EXPECT_EQ(ring->usedBytes(), 0);
}

TEST_F(RingTest, AWriteLeavingTenMebibytesPendingAddsOneWakeup)
{
    std::vector<unsigned char> block(0xA00000);
    struct Step {
        int len;
        int pendingAfter;
        int wakeups;
    };
    const Step steps[] = {
        {0x9FFFFF, 0x9FFFFF, 0}, // just under the backlog
        {1, 0xA00000, 1},        // exactly 10 MiB
        {0, 0xA00000, 1},        // nothing written, backlog still there
        {0x100000, 0xB00000, 1}, // each write counts once, whatever its size
        {0xA00000, 0x1500000, 1},
    };
    for (const Step &s : steps) {
        ASSERT_EQ(ring->write(block.data(), s.len), s.len);
        EXPECT_EQ(ring->usedBytes(), s.pendingAfter);
        EXPECT_EQ(drainWakeups(*ring), s.wakeups) << "after a write of " << s.len << " bytes leaving "
                                                  << s.pendingAfter << " pending";
    }
    // Two writes over the backlog before the reader looks: two wake-ups.
    ASSERT_EQ(ring->write(block.data(), 10), 10);
    ASSERT_EQ(ring->write(block.data(), 10), 10);
    EXPECT_EQ(drainWakeups(*ring), 2);
    // A read takes no wake-up, and a refused write adds none.
    ASSERT_EQ(ring->write(block.data(), 10), 10);
    ring->read(block.data(), 100);
    EXPECT_EQ(ring->write(block.data(), 0xA00000), 0);
    EXPECT_EQ(drainWakeups(*ring), 1);
    EXPECT_EQ(ring->wait(10), OSAL_WAIT_TIMED_OUT);
}

TEST_F(RingTest, BadLengthsAndBuffersMoveNothingAndSayZero)
{
    // A caller that adds the result to its offset must never go backwards.
    char bytes[64] = {};
    ASSERT_EQ(ring->write(bytes, 40), 40);
    struct Case {
        const char *what;
        int got;
    };
    const Case cases[] = {
        {"write of -1 bytes", ring->write(bytes, -1)},
        {"write of INT_MIN bytes", ring->write(bytes, INT_MIN)},
        {"write of INT_MAX bytes", ring->write(bytes, INT_MAX)},
        {"write of 8 bytes from NULL", ring->write(nullptr, 8)},
        {"read of -1 bytes", ring->read(bytes, -1)},
        {"read of INT_MIN bytes", ring->read(bytes, INT_MIN)},
        {"read of 8 bytes into NULL", ring->read(nullptr, 8)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.got, 0) << c.what;
    EXPECT_EQ(ring->usedBytes(), 40) << "pending bytes after the refused calls";
    EXPECT_EQ(ring->write(nullptr, 0), 0) << "nothing from nowhere is fine";
    EXPECT_EQ(ring->read(nullptr, 0), 0);
}

TEST_F(RingTest, OneWriterAndOneReaderMoveEveryByteInOrder)
{
    // Several times round the ring in chunks of changing sizes on both sides.
    constexpr uint64_t kTotal = uint64_t{S} * 4 + 12345;
    std::atomic<bool> failed{false};
    std::thread writer([&] {
        std::vector<unsigned char> chunk;
        uint64_t sent = 0;
        uint32_t seed = 1;
        while (sent < kTotal && !failed) {
            seed = seed * 1103515245u + 12345u;
            size_t len = std::min<uint64_t>(1 + (seed >> 8) % 3000000, kTotal - sent);
            chunk.resize(len);
            fillStream(chunk, sent);
            int r;
            while ((r = ring->write(chunk.data(), static_cast<int>(len))) == 0 && !failed)
                Sleep(1); // full: the reader makes room
            if (r != static_cast<int>(len)) {
                failed = true;
                break;
            }
            sent += len;
        }
    });
    std::vector<unsigned char> buf(2500000);
    uint64_t got = 0;
    uint64_t firstBad = UINT64_MAX;
    uint32_t seed = 7;
    DWORD start = GetTickCount();
    while (got < kTotal && !failed && GetTickCount() - start < 300000) {
        seed = seed * 1103515245u + 12345u;
        int want = 1 + static_cast<int>((seed >> 8) % buf.size());
        int n = ring->read(buf.data(), want);
        if (n == 0) {
            ring->wait(5);
            continue;
        }
        for (int k = 0; k < n && firstBad == UINT64_MAX; ++k)
            if (buf[k] != streamByte(got + k))
                firstBad = got + k;
        got += n;
        if (firstBad != UINT64_MAX)
            break;
    }
    failed = failed || got < kTotal;
    bool timedOut = got < kTotal;
    failed = true; // stop the writer if it is still trying
    writer.join();
    EXPECT_FALSE(timedOut) << "only " << got << " of " << kTotal << " bytes arrived";
    EXPECT_EQ(firstBad, UINT64_MAX) << "first wrong byte at stream offset " << firstBad;
    EXPECT_EQ(ring->usedBytes(), 0);
}

TEST_F(RingTest, WritersRacingForTheLastFreeBytesNeverOverwriteUnreadData)
{
    constexpr int kRoom = 1000, kWrite = 600, kThreads = 8, kRounds = 30;
    std::vector<unsigned char> lead(S - kRoom);
    fillStream(lead, 0);
    ASSERT_EQ(ring->write(lead.data(), S - kRoom), S - kRoom);
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(ring->freeBytes(), kRoom);
        std::atomic<int> accepted{0};
        // Each writer's bytes are ready before the gate, so nothing but the
        // write itself runs once the threads go.
        std::vector<std::vector<unsigned char>> mine;
        for (int t = 0; t < kThreads; ++t)
            mine.emplace_back(kWrite, static_cast<unsigned char>(0xA0 + t));
        kt::runAtOnce(kThreads, [&](int t) {
            if (ring->write(mine[t].data(), kWrite) == kWrite)
                accepted.fetch_add(1);
        });
        ASSERT_EQ(accepted.load(), 1) << "round " << round << ": writes that fit only one at a time";
        ASSERT_EQ(ring->usedBytes(), S - kRoom + kWrite) << "round " << round;
        // Read the old bytes (all but the newest 600) and put them back behind.
        std::vector<unsigned char> old(S - kRoom), fresh(kWrite);
        ASSERT_EQ(ring->read(old.data(), S - kRoom), S - kRoom);
        ASSERT_TRUE(old == lead) << "round " << round << ": unread bytes were overwritten";
        ASSERT_EQ(ring->read(fresh.data(), kWrite), kWrite);
        ASSERT_TRUE(std::all_of(fresh.begin(), fresh.end(), [&](unsigned char c) { return c == fresh[0]; }))
            << "round " << round << ": one write's bytes are mixed with another's";
        ASSERT_EQ(ring->write(lead.data(), S - kRoom), S - kRoom);
    }
}

TEST_F(RingTest, ReadersRacingTakeEachPendingByteExactlyOnce)
{
    // 4-byte counters, read by several threads in whole counters.
    constexpr int kCount = 1000000, kThreads = 4;
    std::vector<uint32_t> values(kCount);
    for (int i = 0; i < kCount; ++i)
        values[i] = static_cast<uint32_t>(i);
    ASSERT_EQ(ring->write(values.data(), kCount * 4), kCount * 4);
    std::vector<std::vector<uint32_t>> seen(kThreads);
    std::atomic<bool> oddRead{false};
    kt::runAtOnce(kThreads, [&](int t) {
        uint32_t chunk[257];
        for (;;) {
            int n = ring->read(chunk, sizeof chunk);
            if (n <= 0)
                break;
            if (n % 4)
                oddRead = true;
            seen[t].insert(seen[t].end(), chunk, chunk + n / 4);
        }
    });
    EXPECT_FALSE(oddRead.load()) << "a read split a counter (the ring only ever held whole ones)";
    std::vector<uint32_t> all;
    for (auto &s : seen)
        all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kCount)) << "bytes taken by all readers together";
    EXPECT_TRUE(all == values) << "some bytes were taken twice and others never";
    EXPECT_EQ(ring->usedBytes(), 0);
}

#ifdef _WIN64
// A 64-bit address space cannot be used up (Wine keeps a record of every
// reserved page): there the allocator itself refuses, once the role asks.
std::atomic<bool> gRefuseLargeBlocks{false};
} // namespace

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    if (gRefuseLargeBlocks.load() && size >= (1u << 20))
        return nullptr;
    // The library's own operator new takes its blocks from malloc too, so
    // its delete[] frees these.
    return std::malloc(size);
}

namespace {
#endif

// No 28 MiB block to be had, then a ring: in a 32-bit process the address
// space is used up for real; in a 64-bit one the allocator refuses.
KT_ROLE(ringWithoutMemory)
{
#ifdef _WIN64
    gRefuseLargeBlocks = true;
#else
    for (SIZE_T size = 256u << 20; size >= 64 * 1024; size /= 2)
        while (VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS))
            ;
#endif
    RingBuffer ring;
    char bytes[16] = {};
    printf("valid=%d write=%d zero=%d read=%d used=%d free=%d\n", ring.isValid() ? 1 : 0, ring.write(bytes, 10),
           ring.write(bytes, 0), ring.read(bytes, 10), ring.usedBytes(), ring.freeBytes());
    return 0;
}

// A ring destroyed while a writer is inside its copy (held there on a
// guarded page of its data) keeps the storage that writer uses, so the copy
// ends normally; calls after the destruction copy nothing. The ring lives in
// memory of the test's own, as the device's does at shutdown.
KT_ROLE(ringDestroyedUnderWriter)
{
    kt::holdOnGuardedPages();
    const DWORD page = kt::pageSize();
    auto *block = static_cast<unsigned char *>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    memset(block, 0x5A, 2 * page);
    kt::guardPages(block + page, page);
    alignas(RingBuffer) static unsigned char place[sizeof(RingBuffer)];
    auto *ring = new (place) RingBuffer();
    int written = -2;
    std::thread writer([&] { written = ring->write(block, static_cast<int>(2 * page)); });
    if (!kt::waitHeld(30000))
        return 3;
    ring->~RingBuffer();
    bool kept = ring->isValid();
    kt::letHeldGoOn();
    writer.join();
    char bytes[16] = {};
    int laterWrite = ring->write(bytes, 16);
    int laterRead = ring->read(bytes, 16);
    printf("kept=%d written=%d later write=%d read=%d\n", kept ? 1 : 0, written == static_cast<int>(2 * page) ? 1 : 0,
           laterWrite, laterRead);
    return 0;
}

// Each in a process of its own: one without memory to spare, one whose
// ring is destroyed under a writer.
TEST(RingBufferMemory, CopiesOnlyIntoStorageThatIsThere)
{
    struct Case {
        const char *role;
        const char *out;
    };
    const Case cases[] = {
        {"ringWithoutMemory", "valid=0 write=0 zero=0 read=0 used=0 free=0\n"},
        {"ringDestroyedUnderWriter", "kept=1 written=1 later write=0 read=0\n"},
    };
    for (const Case &c : cases) {
        kt::Finished run = kt::runRoleToEnd(c.role, {}, nullptr, 30000);
        EXPECT_TRUE(run.ended) << c.role << " did not end in time: " << run.out;
        EXPECT_EQ(run.code, 0u) << c.role << ": " << run.out << run.err;
        EXPECT_EQ(run.out, c.out) << c.role;
    }
}

} // namespace
