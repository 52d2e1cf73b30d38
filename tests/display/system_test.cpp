// The system object: the guest display size rule, the export that reports it,
// and the once-step that gives every process exactly one of each object.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <vector>

#include "child.h"
#include "display/system.h"
#include "gate.h"
#include "os/once.h"
#include "roles.h"

namespace {

TEST(GuestDisplaySize, FollowsTheRuleForEveryWorkedExample)
{
    struct Row {
        int32_t screenW, screenH, guestW, guestH;
    };
    const Row rows[] = {
        {1920, 1080, 1280, 800}, {1440, 900, 1280, 800},  {1281, 801, 1280, 800},  {1440, 2560, 1280, 800},
        {1080, 1920, 800, 1280}, {801, 1281, 800, 1280},  {1280, 1281, 800, 1280}, {1280, 800, 853, 533},
        {1280, 1024, 853, 533},  {1281, 800, 854, 533},   {1366, 768, 910, 568},   {1024, 768, 682, 426},
        {800, 1281, 533, 854},   {768, 1024, 426, 682},   {900, 900, 375, 600},    {0, 0, 0, 0},
        {1600, 700, 1066, 666},  {2560, 720, 1706, 1066}, {600, 2000, 833, 1333},
    };
    for (const Row &r : rows) {
        GuestDisplaySize got = OSALSystem::guestDisplaySize(r.screenW, r.screenH);
        EXPECT_TRUE(got.width == r.guestW && got.height == r.guestH)
            << "screen " << r.screenW << "x" << r.screenH << ": expected " << r.guestW << "x" << r.guestH
            << ", got " << got.width << "x" << got.height;
    }
}

TEST(SystemObject, ResolutionIsTheRuleAppliedToThePrimaryScreen)
{
    int w = -1, h = -1;
    ASSERT_EQ(osal_getResolution(&w, &h), 0);
    int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
    GuestDisplaySize expected = OSALSystem::guestDisplaySize(screenW, screenH);
    EXPECT_EQ(w, expected.width) << "screen " << screenW << "x" << screenH;
    EXPECT_EQ(h, expected.height) << "screen " << screenW << "x" << screenH;

    OSALSystem *system = OSALSystem::getInstance();
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(system, OSALSystem::getInstance());
    EXPECT_EQ(system->mSavedWidth, w);
    EXPECT_EQ(system->mSavedHeight, h);
    EXPECT_EQ(gClientWidth, w);
    EXPECT_EQ(gClientHeight, h);
    EXPECT_EQ(system->mHwnd, nullptr);
    EXPECT_EQ(system->mEventThread, nullptr);
    EXPECT_EQ(system->mInput.get(), nullptr);
    EXPECT_EQ(system->mAudio.get(), nullptr);
    EXPECT_EQ(system->mSurface.get(), nullptr);
    EXPECT_EQ(system->mNet.get(), nullptr);
    EXPECT_EQ(system->mReady, 0);

    // The size is fixed at construction: the client area may move on, the
    // guest keeps what it was told.
    gClientWidth = 17;
    gClientHeight = 19;
    ASSERT_EQ(osal_getResolution(&w, &h), 0);
    EXPECT_EQ(w, expected.width);
    EXPECT_EQ(h, expected.height);
}

// A type whose construction is slow enough that racing first calls overlap.
struct Slow {
    static std::atomic<int> made;
    Slow()
    {
        made.fetch_add(1);
        Sleep(50);
        ready = 1;
    }
    int ready = 0;
};
std::atomic<int> Slow::made{0};

// Starts `n` threads that all call `fn` at once; the set of results.
template <class Fn>
std::set<void *> raceFirstCalls(int n, Fn fn)
{
    std::vector<void *> results(n);
    kt::runAtOnce(n, [&](int i) { results[i] = fn(); });
    return std::set<void *>(results.begin(), results.end());
}

TEST(OnceSlot, RacingFirstCallsMakeOneObjectAndSeeItComplete)
{
    static constinit OnceSlot<Slow> slot;
    std::atomic<int> incomplete{0};
    auto got = raceFirstCalls(16, [&]() -> void * {
        Slow *s = slot.getOrCreate();
        if (!s || !s->ready)
            incomplete.fetch_add(1);
        return s;
    });
    EXPECT_EQ(Slow::made.load(), 1) << "constructions";
    EXPECT_EQ(got.size(), 1u) << "distinct objects handed out";
    EXPECT_EQ(incomplete.load(), 0) << "callers that saw no object or a half-made one";
}

TEST(OnceSlot, AFailedMakeStoresNothingAndTheNextCallTriesAgain)
{
    static constinit OnceSlot<int> slot;
    int attempts = 0;
    auto failing = [&]() -> int * {
        ++attempts;
        return nullptr;
    };
    auto throwing = [&]() -> int * {
        ++attempts;
        throw std::bad_alloc();
    };
    EXPECT_EQ(slot.getOrCreate(failing), nullptr);
    EXPECT_EQ(slot.getOrCreate(throwing), nullptr);
    EXPECT_EQ(slot.get(), nullptr);
    int *made = slot.getOrCreate([&] {
        ++attempts;
        return new int(42);
    });
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(*made, 42);
    EXPECT_EQ(slot.getOrCreate(failing), made) << "once made, the object stays";
    EXPECT_EQ(attempts, 3);
}

KT_ROLE(raceSystem)
{
    auto got = raceFirstCalls(16, [] { return static_cast<void *>(OSALSystem::getInstance()); });
    printf("distinct=%u null=%d\n", static_cast<unsigned>(got.size()), got.count(nullptr) ? 1 : 0);
    return 0;
}

TEST(SystemObject, ThreadsRacingToTheFirstCallShareOneObject)
{
    // A fresh process, so the calls really are the first.
    DWORD code = 1;
    std::string out = kt::runToEnd(kt::selfPath(), {"--role", "raceSystem"}, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(out, "distinct=1 null=0\n");
}

} // namespace
