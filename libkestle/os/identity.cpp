// POSIX-style identities with nothing behind them, and the guest's clocks.
#include "os/identity.h"

#include <cstdint>

namespace {

// Plain process-wide numbers that start at 0 (the superuser). Read and
// written atomically only so that threads racing on them are well defined;
// no ordering is promised.
int32_t uid;
int32_t euid;
int32_t gid;
int32_t egid;
int32_t pgid;

int32_t load(const int32_t &v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
int store(int32_t &v, int value)
{
    __atomic_store_n(&v, value, __ATOMIC_RELAXED);
    return 0;
}

kestle::clocks::CounterQueryFn sCounter;
kestle::clocks::CounterQueryFn sFrequency;

} // namespace

namespace kestle::clocks {

void setCounterQueries(CounterQueryFn counter, CounterQueryFn frequency)
{
    sCounter = counter;
    sFrequency = frequency;
}

bool readCounter(LARGE_INTEGER *count, LARGE_INTEGER *frequency)
{
    BOOL haveCount = sCounter ? sCounter(count) : QueryPerformanceCounter(count);
    BOOL haveFrequency = sFrequency ? sFrequency(frequency) : QueryPerformanceFrequency(frequency);
    return haveCount && haveFrequency && frequency->QuadPart > 0;
}

} // namespace kestle::clocks

using kestle::clocks::readCounter;

extern "C" {

int KESTLE_CALL osal_getuid(void) { return load(uid); }
int KESTLE_CALL osal_geteuid(void) { return load(euid); }
int KESTLE_CALL osal_getgid(void) { return load(gid); }
int KESTLE_CALL osal_getegid(void) { return load(egid); }
int KESTLE_CALL osal_getpgid(int) { return load(pgid); }

int KESTLE_CALL osal_setuid(int u) { return store(uid, u); }
int KESTLE_CALL osal_seteuid(int u) { return store(euid, u); }
int KESTLE_CALL osal_setgid(int g) { return store(gid, g); }
int KESTLE_CALL osal_setegid(int g) { return store(egid, g); }
int KESTLE_CALL osal_setpgid(int, int g) { return store(pgid, g); }
int KESTLE_CALL osal_setreuid(int, int e) { return store(euid, e); }
int KESTLE_CALL osal_setregid(int, int e) { return store(egid, e); }
int KESTLE_CALL osal_setresuid(int, int e, int) { return store(euid, e); }
int KESTLE_CALL osal_setresgid(int, int e, int) { return store(egid, e); }

int64_t KESTLE_CALL osal_systemTime(void) { return static_cast<int64_t>(GetTickCount64()) * 1000000; }

int64_t KESTLE_CALL osal_systemTimeNs(void)
{
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    if (!readCounter(&count, &frequency))
        return 0;
    double seconds = static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
    return static_cast<int64_t>(seconds * 1e9);
}

int32_t KESTLE_CALL osal_systemTimeSec(void)
{
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    if (!readCounter(&count, &frequency))
        return 0;
    return static_cast<int32_t>(static_cast<uint64_t>(count.QuadPart / frequency.QuadPart));
}

} // extern "C"
