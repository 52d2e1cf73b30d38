// Threads and synchronisation objects: every export's result convention, with
// a second thread where ownership or a waking wait needs one, and a second
// process for the named objects.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "kestle.h"
#include "roles.h"

// Lets a test make the next allocation fail, as an exhausted heap would.
static std::atomic<int> gFailNextAllocation{0};

void *operator new(std::size_t size)
{
    if (gFailNextAllocation.exchange(0))
        throw std::bad_alloc();
    void *p = malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

namespace {

constexpr int kLong = 30000; // generous: the machine may be loaded

std::string uniqueName(const std::string &what)
{
    return "kestle_test_" + what + "_" + std::to_string(GetCurrentProcessId());
}

struct ThreadProbe {
    DWORD seenId = 0;
    unsigned result = 0;
};

unsigned __stdcall recordIdAndReturn(void *arg)
{
    auto *probe = static_cast<ThreadProbe *>(arg);
    probe->seenId = osal_GetCurrentThreadId();
    return probe->result;
}

TEST(Thread, RunsStartWithItsArgumentAndEndsWithItsResult)
{
    ThreadProbe probe;
    probe.result = 1234;
    unsigned id = 0;
    uintptr_t t = osal_CreateThread(nullptr, 0, recordIdAndReturn, &probe, 0, &id);
    ASSERT_NE(t, 0u);
    HANDLE h = reinterpret_cast<HANDLE>(t);
    ASSERT_EQ(osal_WaitForSingleObject(h, kLong), 0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 1234u);
    EXPECT_EQ(probe.seenId, id) << "the id reported to the creator is the thread's own";
    EXPECT_NE(probe.seenId, osal_GetCurrentThreadId());
    EXPECT_TRUE(osal_CloseHandle(h));
}

TEST(Thread, StartsSuspendedWhenAsked)
{
    ThreadProbe probe;
    uintptr_t t = osal_CreateThread(nullptr, 0, recordIdAndReturn, &probe, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, 0u);
    HANDLE h = reinterpret_cast<HANDLE>(t);
    EXPECT_EQ(osal_WaitForSingleObject(h, 50), OSAL_WAIT_TIMED_OUT);
    EXPECT_EQ(probe.seenId, 0u);
    ASSERT_EQ(ResumeThread(h), 1u);
    EXPECT_EQ(osal_WaitForSingleObject(h, kLong), 0);
    EXPECT_NE(probe.seenId, 0u);
    osal_CloseHandle(h);
}

TEST(Thread, FailureGivesZeroAndSetsErrno)
{
    struct Case {
        unsigned stackSize;
        unsigned(__stdcall *start)(void *);
        const char *what;
    };
    std::vector<Case> cases{{0, nullptr, "no start routine"}};
#ifndef _WIN64
    // The stack size is 32 bits wide: only a 32-bit process cannot reserve
    // the largest ones.
    cases.push_back({0xFFF00000u, recordIdAndReturn, "a stack no 32-bit process can reserve"});
#endif
    for (const Case &c : cases) {
        ThreadProbe probe;
        errno = 0;
        uintptr_t t = osal_CreateThread(nullptr, c.stackSize, c.start, &probe, 0, nullptr);
        EXPECT_EQ(t, 0u) << c.what;
        EXPECT_NE(errno, 0) << c.what;
        if (t)
            osal_CloseHandle(reinterpret_cast<HANDLE>(t));
    }
}

TEST(Wait, GivesZeroOnlyForASignalledObject)
{
    HANDLE set = osal_CreateEvent(nullptr, TRUE, TRUE, nullptr);
    HANDLE unset = osal_CreateEvent(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = osal_CreateEvent(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(set && unset && closed);
    ASSERT_TRUE(osal_CloseHandle(closed));
    struct Case {
        HANDLE h;
        unsigned ms;
        int expected;
        const char *what;
    };
    std::vector<Case> cases{
        {set, 0, 0, "signalled event"},
        {set, INFINITE, 0, "signalled event, no limit"},
        {unset, 0, OSAL_WAIT_TIMED_OUT, "unsignalled event, 0 ms"},
        {unset, 30, OSAL_WAIT_TIMED_OUT, "unsignalled event, 30 ms"},
        {closed, 0, -6, "closed handle"},
        {reinterpret_cast<HANDLE>(0x7ff0), 0, -6, "made-up handle"},
        {nullptr, 0, -6, "NULL"},
    };
    for (const Case &c : cases) {
        // A time-out sets no error: a clean last error must not read as success.
        SetLastError(0);
        EXPECT_EQ(osal_WaitForSingleObject(c.h, c.ms), c.expected) << c.what;
    }
    osal_CloseHandle(set);
    osal_CloseHandle(unset);
}

TEST(Wait, AReleaseOnAnotherThreadEndsIt)
{
    HANDLE sem = osal_CreateSemaphore(nullptr, 0, 1, nullptr);
    ASSERT_NE(sem, nullptr);
    std::atomic<int> result{1};
    std::thread waiter([&] { result = osal_WaitForSingleObject(sem, INFINITE); });
    EXPECT_TRUE(osal_ReleaseSemaphore(sem, 1, nullptr));
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    osal_CloseHandle(sem);
}

TEST(Wait, AnAbandonedMutexIsTakenAndMustBeReleased)
{
    HANDLE m = osal_CreateMutex(nullptr, FALSE, nullptr);
    ASSERT_NE(m, nullptr);
    std::thread owner([&] { ASSERT_EQ(osal_WaitForSingleObject(m, 0), 0); }); // ends holding it
    owner.join();
    // The wait sets no error: a stale one from an earlier call must not show.
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(osal_WaitForSingleObject(m, kLong), 0) << "the waiter owns the abandoned mutex";
    EXPECT_EQ(osal_ReleaseMutex(m), 0);
    EXPECT_EQ(osal_ReleaseMutex(m), -288) << "released once only";
    osal_CloseHandle(m);
}

// Holds a mutex on its own thread until told to let go.
class MutexHolder {
public:
    explicit MutexHolder(HANDLE m)
        : mMutex(m), mHeld(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          mLetGo(CreateEventA(nullptr, TRUE, FALSE, nullptr)), mThread([this] { run(); })
    {
    }
    ~MutexHolder()
    {
        letGo();
        CloseHandle(mHeld);
        CloseHandle(mLetGo);
    }
    bool waitHeld() { return WaitForSingleObject(mHeld, kLong) == WAIT_OBJECT_0; }
    void letGo()
    {
        SetEvent(mLetGo);
        if (mThread.joinable())
            mThread.join();
    }
    int releaseResult() const { return mRelease; }

private:
    void run()
    {
        if (osal_WaitForSingleObject(mMutex, kLong) != 0)
            return;
        SetEvent(mHeld);
        WaitForSingleObject(mLetGo, INFINITE);
        mRelease = osal_ReleaseMutex(mMutex);
    }
    HANDLE mMutex;
    HANDLE mHeld;
    HANDLE mLetGo;
    int mRelease = 1;
    std::thread mThread;
};

TEST(Mutex, OnlyTheOwnerCanReleaseIt)
{
    HANDLE m = osal_CreateMutex(nullptr, FALSE, nullptr);
    ASSERT_NE(m, nullptr);
    MutexHolder holder(m);
    ASSERT_TRUE(holder.waitHeld());
    EXPECT_EQ(osal_ReleaseMutex(m), -288) << "ERROR_NOT_OWNER, negated";
    EXPECT_EQ(osal_WaitForSingleObject(m, 0), OSAL_WAIT_TIMED_OUT) << "still held by the other thread";
    holder.letGo();
    EXPECT_EQ(holder.releaseResult(), 0);
    EXPECT_EQ(osal_WaitForSingleObject(m, 0), 0);
    EXPECT_EQ(osal_ReleaseMutex(m), 0);
    EXPECT_EQ(osal_ReleaseMutex(nullptr), -6);
    osal_CloseHandle(m);
}

TEST(Mutex, CreatingAnExistingNameOpensItWithoutTakingIt)
{
    std::string name = uniqueName("mutex");
    HANDLE first = osal_CreateMutex(nullptr, FALSE, name.c_str());
    ASSERT_NE(first, nullptr);
    HANDLE second = nullptr;
    DWORD secondError = 0;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The second create runs on a thread that stays alive, so an ownership it
    // wrongly took would not be abandoned and would show.
    std::thread other([&] {
        second = osal_CreateMutex(nullptr, TRUE, name.c_str());
        secondError = GetLastError();
        SetEvent(created);
        WaitForSingleObject(done, INFINITE);
    });
    ASSERT_EQ(WaitForSingleObject(created, kLong), WAIT_OBJECT_0);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(secondError, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(osal_WaitForSingleObject(first, 0), 0) << "initialOwner had no effect on the existing mutex";
    EXPECT_EQ(osal_ReleaseMutex(first), 0);

    HANDLE opened = osal_OpenMutex(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    EXPECT_NE(opened, nullptr);
    SetLastError(0);
    EXPECT_EQ(osal_OpenMutex(SYNCHRONIZE, FALSE, uniqueName("no_such_mutex").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetEvent(done);
    other.join();
    for (HANDLE h : {first, second, opened, done, created})
        if (h)
            osal_CloseHandle(h);
}

TEST(Semaphore, ReleaseBeyondTheMaximumFailsAndLeavesTheCount)
{
    HANDLE sem = osal_CreateSemaphore(nullptr, 0, 2, nullptr);
    ASSERT_NE(sem, nullptr);
    long previous = -1;
    EXPECT_FALSE(osal_ReleaseSemaphore(sem, 3, &previous));
    EXPECT_TRUE(osal_ReleaseSemaphore(sem, 1, &previous));
    EXPECT_EQ(previous, 0) << "the failed release added nothing";
    EXPECT_TRUE(osal_ReleaseSemaphore(sem, 1, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_FALSE(osal_ReleaseSemaphore(sem, 1, &previous));
    EXPECT_EQ(osal_WaitForSingleObject(sem, 0), 0);
    EXPECT_EQ(osal_WaitForSingleObject(sem, 0), 0);
    EXPECT_EQ(osal_WaitForSingleObject(sem, 0), OSAL_WAIT_TIMED_OUT);
    EXPECT_EQ(osal_CreateSemaphore(nullptr, 3, 2, nullptr), nullptr) << "initial count above the maximum";
    osal_CloseHandle(sem);
}

TEST(SignalObjectAndWait, GivesThePlatformResultUnchanged)
{
    HANDLE request = osal_CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HANDLE reply = osal_CreateEvent(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(request && reply);
    std::thread peer([&] {
        if (osal_WaitForSingleObject(request, kLong) == 0)
            SetEvent(reply);
    });
    EXPECT_EQ(osal_SignalObjectAndWait(request, reply, kLong, FALSE), static_cast<DWORD>(WAIT_OBJECT_0));
    peer.join();
    EXPECT_EQ(osal_SignalObjectAndWait(request, reply, 0, FALSE), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(osal_WaitForSingleObject(request, 0), 0) << "signalled even though the wait timed out";
    EXPECT_EQ(osal_SignalObjectAndWait(nullptr, reply, 0, FALSE), WAIT_FAILED);
    osal_CloseHandle(request);
    osal_CloseHandle(reply);
}

TEST(CloseHandle, GivesThePlatformResult)
{
    HANDLE e = osal_CreateEvent(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(osal_CloseHandle(e));
    EXPECT_FALSE(osal_CloseHandle(e));
}

TEST(CriticalSection, IsRecursiveAndFreeAfterAsManyLeavesAsEnters)
{
    CRITICAL_SECTION *cs = osal_allocCriticalSection();
    ASSERT_NE(cs, nullptr);
    auto enteredElsewhere = [cs] {
        bool entered = false;
        std::thread other([&] {
            entered = TryEnterCriticalSection(cs);
            if (entered)
                osal_LeaveCriticalSection(cs);
        });
        other.join();
        return entered;
    };
    osal_EnterCriticalSection(cs);
    osal_EnterCriticalSection(cs);
    osal_LeaveCriticalSection(cs);
    EXPECT_FALSE(enteredElsewhere()) << "still held once";
    osal_LeaveCriticalSection(cs);
    EXPECT_TRUE(enteredElsewhere()) << "free after two leaves";

    // And a blocking entry from another thread ends once the owner leaves.
    osal_EnterCriticalSection(cs);
    std::atomic<bool> entered{false};
    std::thread blocked([&] {
        osal_EnterCriticalSection(cs);
        entered = true;
        osal_LeaveCriticalSection(cs);
    });
    osal_LeaveCriticalSection(cs);
    blocked.join();
    EXPECT_TRUE(entered.load());
    osal_deleteCriticalSection(cs);
    osal_deleteCriticalSection(nullptr);
}

TEST(CriticalSection, OutOfMemoryGivesNull)
{
    gFailNextAllocation = 1;
    CRITICAL_SECTION *cs = osal_allocCriticalSection();
    gFailNextAllocation = 0;
    EXPECT_EQ(cs, nullptr);
    osal_deleteCriticalSection(cs);
}

// ---- named objects across processes ----

KT_ROLE(take_mutex_and_exit)
{
    HANDLE m = osal_OpenMutex(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, args.at(0).c_str());
    if (!m)
        return 2;
    printf("wait %d\n", osal_WaitForSingleObject(m, kLong));
    fflush(stdout);
    return 0; // ends holding it
}

TEST(NamedObjects, AMutexAbandonedByAnotherProcessIsTaken)
{
    std::string name = uniqueName("abandoned");
    HANDLE m = osal_CreateMutex(nullptr, FALSE, name.c_str());
    ASSERT_NE(m, nullptr);
    kt::Finished child = kt::runRoleToEnd("take_mutex_and_exit", {name}, nullptr, kLong);
    ASSERT_TRUE(child.ended);
    EXPECT_EQ(child.code, 0u);
    EXPECT_EQ(child.out, "wait 0\n");
    SetLastError(ERROR_ACCESS_DENIED); // stale, as above
    EXPECT_EQ(osal_WaitForSingleObject(m, kLong), 0);
    EXPECT_EQ(osal_ReleaseMutex(m), 0) << "the waiter owns it";
    osal_CloseHandle(m);
}

KT_ROLE(release_semaphore)
{
    HANDLE s = osal_OpenSemaphore(SEMAPHORE_MODIFY_STATE, FALSE, args.at(0).c_str());
    if (!s)
        return 2;
    long previous = -1;
    BOOL released = osal_ReleaseSemaphore(s, 1, &previous);
    printf("release %d %ld\n", released, previous);
    fflush(stdout);
    osal_CloseHandle(s);
    return 0;
}

TEST(NamedObjects, AnotherProcessReleasesASemaphoreByName)
{
    std::string name = uniqueName("semaphore");
    HANDLE s = osal_CreateSemaphore(nullptr, 0, 5, name.c_str());
    ASSERT_NE(s, nullptr);
    std::atomic<int> result{1};
    std::thread waiter([&] { result = osal_WaitForSingleObject(s, INFINITE); });
    kt::Finished child = kt::runRoleToEnd("release_semaphore", {name}, nullptr, kLong);
    ASSERT_TRUE(child.ended);
    EXPECT_EQ(child.code, 0u);
    EXPECT_EQ(child.out, "release 1 0\n");
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    osal_CloseHandle(s);
}

} // namespace
