// The log call: what one call puts on standard error, seen from another process.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "liblog.h"
#include "roles.h"

namespace {

KT_ROLE(log_lines)
{
    for (int p : {2, 3, 4, 5, 6, 7, 0, 1, 8, -1, 100})
        __android_log_print(p, "Tag", "prio %d", p);
    __android_log_print(4, "Interrogator", "ends in a newline\n");
    __android_log_print(4, "Interrogator", "%s", "");
    __android_log_print(6, "T", "two\nlines");
    __android_log_print(5, "", "empty tag %s=%d", "x", 42);
    __android_log_print(4, nullptr, "no tag");
    std::string big(5000, 'b');
    __android_log_print(4, "Big", "%s|", big.c_str());
    return 0;
}

TEST(LibLog, OneCallGivesOneLineWithThePrioritysLetter)
{
    kt::Finished c = kt::runRoleToEnd("log_lines", {}, nullptr, 30000);
    ASSERT_TRUE(c.ended);
    EXPECT_EQ(c.code, 0u);
    std::string expected = "V/Tag: prio 2\n"
                           "D/Tag: prio 3\n"
                           "I/Tag: prio 4\n"
                           "W/Tag: prio 5\n"
                           "E/Tag: prio 6\n"
                           "F/Tag: prio 7\n"
                           "?/Tag: prio 0\n"
                           "?/Tag: prio 1\n"
                           "?/Tag: prio 8\n"
                           "?/Tag: prio -1\n"
                           "?/Tag: prio 100\n"
                           "I/Interrogator: ends in a newline\n"
                           "I/Interrogator: \n"
                           "E/T: two\nlines\n"
                           "W/: empty tag x=42\n"
                           "I/: no tag\n"
                           "I/Big: " +
                           std::string(5000, 'b') + "|\n";
    EXPECT_EQ(c.err, expected);
    EXPECT_EQ(c.out, "") << "nothing on standard output";
}

KT_ROLE(log_from_threads)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            // Long enough that a line written in pieces would show.
            std::string body(300 + t * 50, (char)('a' + t));
            for (int i = 0; i < 200; ++i)
                __android_log_print(4, "Mix", "%d %d %s", t, i, body.c_str());
        });
    for (auto &th : threads)
        th.join();
    return 0;
}

TEST(LibLog, LinesFromSeveralThreadsNeverMix)
{
    kt::Finished c = kt::runRoleToEnd("log_from_threads");
    ASSERT_TRUE(c.ended);
    std::istringstream in(c.err);
    std::string line;
    std::vector<int> next(8, 0);
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        int t = -1, i = -1;
        char body[1024] = {};
        ASSERT_EQ(sscanf(line.c_str(), "I/Mix: %d %d %1023s", &t, &i, body), 3) << "mixed line: " << line;
        ASSERT_TRUE(t >= 0 && t < 8) << line;
        EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";
        next[t] = i + 1;
        EXPECT_EQ(std::string(body), std::string(300 + t * 50, (char)('a' + t))) << "mixed line: " << line;
    }
    EXPECT_EQ(lines, 8 * 200);
}

} // namespace
