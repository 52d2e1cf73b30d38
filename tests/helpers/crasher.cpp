// Crashes on purpose, for crash_test: a test program of the suite's harness
// whose test crashes, and one whose helper role crashes. Its tests are not
// tests of the suite; crash_test runs them and reads what the harness said.
#include <gtest/gtest.h>

#include "report.h"
#include "roles.h"

namespace {

// Through a pointer the compiler cannot see is null: a real access violation,
// not a trap instruction put in its place.
void writeThroughNull()
{
    volatile int *volatile target = nullptr;
    *target = 1;
}

} // namespace

KT_ROLE(crash)
{
    writeThroughNull();
    return 0;
}

TEST(Crash, WritesThroughANullPointer)
{
    writeThroughNull();
}

TEST(Crash, ItsHelperRoleWritesThroughANullPointer)
{
    std::string out;
    EXPECT_TRUE(kt::runReport("crash", {}, nullptr, &out, 20000));
}
