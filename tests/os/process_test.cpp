// Processes: starting, running through the command interpreter, stopping by
// name, and the stop command - all with real child processes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "kestle.h"
#include "roles.h"
#include "tempdir.h"

namespace {

// The test's own folder, named as before.
struct TempDir : kt::TempDir {
    TempDir() : kt::TempDir("kt_process_") {}
};

bool writeFile(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    fwrite(text.data(), 1, text.size(), f);
    return fclose(f) == 0;
}

std::string hexUnits(const wchar_t *text)
{
    std::string out;
    char unit[8];
    for (; *text; ++text) {
        snprintf(unit, sizeof unit, "%04x ", static_cast<unsigned>(*text));
        out += unit;
    }
    return out;
}

KT_ROLE(newProcess)
{
    std::string cmd = args.at(0);
    int rc = osal_newProcess(cmd.data(), nullptr);
    printf("rc=%d\n", rc);
    return 0;
}

TEST(NewProcess, AMissingProgramGivesTheNegatedErrorAndItsLine)
{
    DWORD code = 1;
    std::string out = kt::runToEnd(kt::selfPath(), {"--role", "newProcess", "kt_no_such_program_4711.exe"}, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(out, "osal_newProcess cmdline=kt_no_such_program_4711.exe error=2\nrc=-2\n");
}

KT_ROLE(printEnv)
{
    const char *names[] = {"VANTRELL_ROOT", "ROOT_VANTRELL_ROOT"};
    for (const char *name : names) {
        const char *value = getenv(name);
        printf("%s=%s\n", name, value ? value : "(unset)");
    }
    return 0;
}

// Lets the library compute its root (which sets the two root variables),
// then starts printEnv with no environment block.
KT_ROLE(spawnWithOwnEnv)
{
    if (!osal_getRootDir()) {
        printf("no root\n");
        return 1;
    }
    std::string cmd = kt::quoteArg(kt::selfPath()) + " --role printEnv";
    int pid = osal_newProcess(cmd.data(), nullptr);
    if (pid <= 0) {
        printf("rc=%d\n", pid);
        return 1;
    }
    fflush(stdout);
    return 0;
}

TEST(NewProcess, ANullEnvironmentPassesOnTheCallersOwn)
{
    kt::EnvChanges env;
    env.set = {{"VANTRELL_ROOT", "Z:\\kt\\guest\\"}};
    env.unset = {"ROOT_VANTRELL_ROOT"};
    // The grandchild writes to the inherited output pipe: the stream ends when both are done.
    kt::Finished child = kt::runRoleToEnd("spawnWithOwnEnv", {}, &env, 30000);
    ASSERT_TRUE(child.ended) << child.out;
    EXPECT_EQ(child.code, 0u) << child.out;
    EXPECT_EQ(child.out, "VANTRELL_ROOT=Z:\\kt\\guest\\\nROOT_VANTRELL_ROOT=/kt/guest\n");
}

KT_ROLE(exitAtOnce) { return 7; }

// Open handles of this process, found by probing handle values (the count
// query of the platform reports 0 under Wine).
int countOpenHandles()
{
    int n = 0;
    DWORD flags;
    for (uintptr_t v = 4; v < 0x10000; v += 4)
        n += GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags) ? 1 : 0;
    return n;
}

KT_ROLE(countHandlesAroundNewProcess)
{
    std::string cmd = kt::quoteArg(kt::selfPath()) + " --role exitAtOnce";
    std::vector<int> pids;
    // The first start may make lasting objects of the runtime's own.
    std::string first = cmd;
    pids.push_back(osal_newProcess(first.data(), nullptr));
    int before = countOpenHandles();
    for (int i = 0; i < 10; ++i) {
        std::string c = cmd;
        pids.push_back(osal_newProcess(c.data(), nullptr));
    }
    int after = countOpenHandles();
    int failed = 0;
    for (int pid : pids)
        failed += pid <= 0;
    printf("failed=%d leaked=%d\n", failed, after - before);
    return 0;
}

TEST(NewProcess, LeavesNoHandleOfTheNewProcessBehind)
{
    DWORD code = 1;
    std::string out = kt::runToEnd(kt::selfPath(), {"--role", "countHandlesAroundNewProcess"}, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(out, "failed=0 leaked=0\n") << "ten starts";
}

KT_ROLE(printCommandLine)
{
    // What follows the role name, as UTF-16 code units.
    const wchar_t *line = GetCommandLineW();
    const wchar_t *rest = wcsstr(line, L"printCommandLine ");
    printf("units=%s\n", rest ? hexUnits(rest + wcslen(L"printCommandLine ")).c_str() : "(none)");
    return 0;
}

// The argument texts of systemUtf8, by index.
const char *const kSystemTexts[] = {
    // e acute, euro sign, a CJK ideograph and one character beyond the BMP.
    "\xC3\xA9\xE2\x82\xAC\xE6\xBC\xA2\xF0\x9F\x98\x80",
    // A stray byte and a sequence cut short: not UTF-8, yet the command runs.
    "x\xFFy\xC3",
};

KT_ROLE(systemUtf8)
{
    std::string cmd = kt::quoteArg(kt::selfPath()) + " --role printCommandLine " + kSystemTexts[std::stoi(args.at(0))];
    printf("rc=%d\n", osal_system(cmd.c_str()));
    return 0;
}

TEST(System, PassesUtf8ToTheChildAsTheSameCharacters)
{
    const char *expected[] = {
        "units=00e9 20ac 6f22 d83d de00 \nrc=0\n",
        "units=0078 fffd 0079 fffd \nrc=0\n",
    };
    for (int i = 0; i < 2; ++i) {
        DWORD code = 1;
        std::string out = kt::runToEnd(kt::selfPath(), {"--role", "systemUtf8", std::to_string(i)}, &code);
        EXPECT_EQ(code, 0u) << "text " << i;
        EXPECT_EQ(out, expected[i]) << "text " << i;
    }
}

TEST(System, ResultsOfTheInterpreterAndTheNullQuery)
{
    EXPECT_NE(osal_system(nullptr), 0) << "a command interpreter is there";
    EXPECT_EQ(osal_system("exit 3"), 3);
    EXPECT_EQ(osal_system("exit 0"), 0);
}

KT_ROLE(sleepForever)
{
    printf("ready\n");
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

TEST(KillProcessByName, EndsEveryProcessOfExactlyThatNameAndCountsThem)
{
    // A copy of this program under a name no other test runs.
    TempDir dir;
    std::string base = "kt_Sleeper_" + std::to_string(GetCurrentProcessId());
    std::string exe = dir.file(base + ".exe");
    ASSERT_TRUE(CopyFileA(kt::selfPath().c_str(), exe.c_str(), FALSE)) << GetLastError();

    kt::Child first, second;
    ASSERT_TRUE(first.start(exe, {"--role", "sleepForever"}));
    ASSERT_TRUE(second.start(exe, {"--role", "sleepForever"}));
    ASSERT_TRUE(first.waitOut("ready"));
    ASSERT_TRUE(second.waitOut("ready"));

    struct Case {
        std::string name;
        int expected;
    };
    const Case misses[] = {
        {"kt_sleeper_" + std::to_string(GetCurrentProcessId()), 0}, // case differs
        {base + ".exe", 0},                                          // looks for .exe.exe
        {base.substr(0, base.size() - 1), 0},                        // a prefix only
        {"kt_nothing_runs_by_this_name", 0},
    };
    for (const Case &c : misses)
        EXPECT_EQ(osal_killProcessByName(c.name.c_str()), c.expected) << "name " << c.name;
    EXPECT_FALSE(first.wait(0)) << "a miss ended a process";
    EXPECT_FALSE(second.wait(0)) << "a miss ended a process";

    EXPECT_EQ(osal_killProcessByName(base.c_str()), 2);
    DWORD code1 = 99, code2 = 99;
    ASSERT_TRUE(first.wait(30000, &code1));
    ASSERT_TRUE(second.wait(30000, &code2));
    EXPECT_EQ(code1, 0u);
    EXPECT_EQ(code2, 0u);
    EXPECT_EQ(osal_killProcessByName(base.c_str()), 0) << "nothing left to end";
    EXPECT_EQ(osal_killProcessByName(nullptr), 0);
}

KT_ROLE(dieHard)
{
    osal_dieHard();
    printf("returned\n");
    return 0;
}

TEST(DieHard, RunsTheStopCommandThenSleeps)
{
    // A stand-in stop command on the search path that announces itself.
    TempDir dir;
    ASSERT_TRUE(writeFile(dir.file("gueststop.bat"), "@echo gueststop ran\r\n"));
    char path[32768];
    DWORD n = GetEnvironmentVariableA("PATH", path, sizeof path);
    kt::EnvChanges env;
    env.set = {{"PATH", dir.path() + (n ? ";" + std::string(path) : std::string())}};

    kt::Child child;
    ASSERT_TRUE(child.startRole("dieHard", {}, &env));
    ASSERT_TRUE(child.waitOut("gueststop ran", 30000)) << child.out();
    // Asleep after the command: still running a while later, nothing more printed.
    EXPECT_FALSE(child.wait(2000)) << "osal_dieHard returned early: " << child.out();
    EXPECT_EQ(child.out(), "gueststop ran\n");
    child.kill();
}

} // namespace
