// Identity stubs and clocks. The initial values need a process of their own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "child.h"
#include "os/identity.h"
#include "report.h"
#include "roles.h"

namespace {

KT_ROLE(identity_fresh)
{
    printf("uid=%d euid=%d gid=%d egid=%d pgid=%d\n", osal_getuid(), osal_geteuid(), osal_getgid(), osal_getegid(),
           osal_getpgid(0));
    printf("end\n");
    return 0;
}

TEST(Identity, AFreshProcessStartsAtZero)
{
    std::string out;
    ASSERT_TRUE(kt::runReport("identity_fresh", {}, nullptr, &out));
    EXPECT_EQ(out, "uid=0 euid=0 gid=0 egid=0 pgid=0\nend\n");
}

struct Ids {
    int uid, euid, gid, egid, pgid;
};

Ids readIds() { return {osal_getuid(), osal_geteuid(), osal_getgid(), osal_getegid(), osal_getpgid(456)}; }

std::string show(const Ids &v)
{
    char buf[128];
    snprintf(buf, sizeof buf, "uid=%d euid=%d gid=%d egid=%d pgid=%d", v.uid, v.euid, v.gid, v.egid, v.pgid);
    return buf;
}

// Each setter changes exactly its one variable, to exactly its argument
// (-1 and other odd values included), and returns 0.
TEST(Identity, EachSetterStoresOnlyItsOwnVariable)
{
    struct Case {
        const char *call;
        int (*set)();
        int Ids::*field;
        int expected;
    };
    const Case cases[] = {
        {"setuid(1000)", [] { return osal_setuid(1000); }, &Ids::uid, 1000},
        {"seteuid(42)", [] { return osal_seteuid(42); }, &Ids::euid, 42},
        {"setgid(77)", [] { return osal_setgid(77); }, &Ids::gid, 77},
        {"setegid(78)", [] { return osal_setegid(78); }, &Ids::egid, 78},
        {"setpgid(123, 9)", [] { return osal_setpgid(123, 9); }, &Ids::pgid, 9},
        {"setreuid(5, 7)", [] { return osal_setreuid(5, 7); }, &Ids::euid, 7},
        {"setregid(5, 8)", [] { return osal_setregid(5, 8); }, &Ids::egid, 8},
        {"setresuid(1, 2, 3)", [] { return osal_setresuid(1, 2, 3); }, &Ids::euid, 2},
        {"setresgid(1, 2, 3)", [] { return osal_setresgid(1, 2, 3); }, &Ids::egid, 2},
        {"setuid(-1)", [] { return osal_setuid(-1); }, &Ids::uid, -1},
        {"setegid(-1)", [] { return osal_setegid(-1); }, &Ids::egid, -1},
        {"setpgid(0, INT_MIN)", [] { return osal_setpgid(0, INT32_MIN); }, &Ids::pgid, INT32_MIN},
        {"setuid(0)", [] { return osal_setuid(0); }, &Ids::uid, 0},
    };
    for (const Case &c : cases) {
        Ids expected = readIds();
        expected.*c.field = c.expected;
        EXPECT_EQ(c.set(), 0) << c.call;
        EXPECT_EQ(show(readIds()), show(expected)) << "after " << c.call;
    }
}

TEST(Clocks, TickClockIsWholeMillisecondsInNanoseconds)
{
    int64_t last = 0;
    for (int i = 0; i < 50; ++i) {
        int64_t t = osal_systemTime();
        EXPECT_EQ(t % 1000000, 0) << t;
        EXPECT_GE(t, last);
        last = t;
        Sleep(1);
    }
    int64_t ticks = static_cast<int64_t>(GetTickCount64());
    EXPECT_LE(last / 1000000, ticks);
    EXPECT_GE(last / 1000000, ticks - 60000) << "the host's tick count, in ms";
}

TEST(Clocks, CounterClocksAgreeAndNeverGoBack)
{
    int64_t last = osal_systemTimeNs();
    EXPECT_GT(last, 0);
    for (int i = 0; i < 10000; ++i) {
        int64_t t = osal_systemTimeNs();
        ASSERT_GE(t, last) << "call " << i;
        last = t;
    }
    // Seconds are the whole seconds of the nanosecond clock, give or take a
    // second boundary passed between the two calls.
    int64_t before = osal_systemTimeNs();
    int32_t sec = osal_systemTimeSec();
    int64_t after = osal_systemTimeNs();
    EXPECT_GE(sec, static_cast<int32_t>(before / 1000000000)) << before;
    EXPECT_LE(sec, static_cast<int32_t>(after / 1000000000)) << after;
}

BOOL WINAPI failingQuery(LARGE_INTEGER *v)
{
    v->QuadPart = 12345;
    return FALSE;
}
BOOL WINAPI goodCounter(LARGE_INTEGER *v)
{
    v->QuadPart = 7500000000LL;
    return TRUE;
}
BOOL WINAPI goodFrequency(LARGE_INTEGER *v)
{
    v->QuadPart = 1000000;
    return TRUE;
}
BOOL WINAPI pastFourGigaseconds(LARGE_INTEGER *v)
{
    v->QuadPart = (1LL << 32) + 5;
    return TRUE;
}
BOOL WINAPI unitFrequency(LARGE_INTEGER *v)
{
    v->QuadPart = 1;
    return TRUE;
}
BOOL WINAPI zeroFrequency(LARGE_INTEGER *v)
{
    v->QuadPart = 0;
    return TRUE;
}

TEST(Clocks, CounterResultsAndFailures)
{
    struct Case {
        const char *what;
        kestle::clocks::CounterQueryFn counter, frequency;
        int64_t ns;
        int32_t sec;
    };
    const Case cases[] = {
        {"7500 s at 1 MHz", goodCounter, goodFrequency, 7500000000000LL, 7500},
        // Seconds are the low 32 bits of the 64-bit quotient.
        {"2^32 + 5 s at 1 Hz", pastFourGigaseconds, unitFrequency, static_cast<int64_t>(4294967301.0 * 1e9), 5},
        {"counter query fails", failingQuery, goodFrequency, 0, 0},
        {"frequency query fails", goodCounter, failingQuery, 0, 0},
        // A zero frequency must not divide by zero.
        {"frequency 0", goodCounter, zeroFrequency, 0, 0},
    };
    for (const Case &c : cases) {
        kestle::clocks::setCounterQueries(c.counter, c.frequency);
        EXPECT_EQ(osal_systemTimeNs(), c.ns) << c.what;
        EXPECT_EQ(osal_systemTimeSec(), c.sec) << c.what;
    }
    kestle::clocks::setCounterQueries(nullptr, nullptr);
    EXPECT_GT(osal_systemTimeNs(), 0);
}

} // namespace
