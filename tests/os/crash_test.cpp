// A crash ends a test program at once, its exit status the exception code,
// and the harness says which program crashed and where: the prefixes have no
// crash debugger (which would print a register dump and could hold the
// test's pipes until the suite's time limit), and every test program reports
// an unhandled exception itself. The crashing program is the helper crasher.
#include <gtest/gtest.h>

#include <string>

#include "child.h"

namespace {

// Far below the suite's limit, far above a crash's end (well under a second).
constexpr int kEndsWithinMs = 20000;

// Runs crasher with one of its tests; *tookMs: how long until it had ended
// (or the bound had passed).
kt::Finished runCrasher(const std::string &test, ULONGLONG *tookMs)
{
    kt::Child child;
    kt::Finished r;
    ULONGLONG started = GetTickCount64();
    if (child.start(kt::binPath("crasher.exe"), {"--gtest_filter=" + test})) {
        child.closeStdin();
        r.ended = child.finish(kEndsWithinMs, &r.code);
    }
    *tookMs = GetTickCount64() - started;
    r.startError = child.startError();
    r.out = child.out();
    r.err = child.err();
    return r;
}

TEST(CrashReport, ATestThatCrashesEndsAtOnceWithTheExceptionCodeAndIsNamed)
{
    ULONGLONG tookMs = 0;
    kt::Finished r = runCrasher("Crash.WritesThroughANullPointer", &tookMs);
    ASSERT_TRUE(r.ended) << "the crashed test program had not ended after " << tookMs << " ms:\n" << r.out << r.err;
    EXPECT_EQ(r.code, (DWORD)EXCEPTION_ACCESS_VIOLATION) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("Register dump:"), std::string::npos) << "a crash debugger ran:\n" << r.out << r.err;
    EXPECT_NE(r.out.find("[ RUN      ] Crash.WritesThroughANullPointer\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("crasher.exe crashed in the test Crash.WritesThroughANullPointer: exception 0xC0000005 "
                         "(access violation) at address "),
              std::string::npos)
        << r.err;
}

TEST(CrashReport, AHelperRoleThatCrashesIsNamedInTheFailureOfItsTest)
{
    ULONGLONG tookMs = 0;
    kt::Finished r = runCrasher("Crash.ItsHelperRoleWritesThroughANullPointer", &tookMs);
    ASSERT_TRUE(r.ended) << "the test program had not ended after " << tookMs << " ms:\n" << r.out << r.err;
    EXPECT_EQ(r.code, 1u) << "the test fails; its program does not crash\n" << r.out << r.err;
    EXPECT_EQ(r.out.find("Register dump:"), std::string::npos) << "a crash debugger ran:\n" << r.out;
    EXPECT_NE(r.out.find("role crash crashed: exception 0xC0000005 (access violation); it printed:"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("crasher.exe crashed in its helper role crash: exception 0xC0000005 (access violation) "
                         "at address "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[  FAILED  ] Crash.ItsHelperRoleWritesThroughANullPointer"), std::string::npos) << r.out;
}

} // namespace
