// The root directory and the environment calls under it. Everything that
// depends on the first call of a process runs in a fresh child process.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "files.h"
#include "gate.h"
#include "os/rootdir.h"
#include "report.h"
#include "roles.h"

namespace {

std::string envOrUnset(const char *name)
{
    char *v = osal_getEnvVariable(name);
    if (!v) {
        // Tell an empty value from a missing one.
        char probe[1];
        SetLastError(0);
        GetEnvironmentVariableA(name, probe, sizeof probe);
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? "(unset)" : "";
    }
    std::string s(v);
    free(v);
    return s;
}

std::string currentDirectory()
{
    char buf[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return std::string(buf, n);
}

// Directory names compared as Windows does: case and separators aside.
std::string foldDir(std::string s)
{
    for (char &c : s) {
        if (c == '\\')
            c = '/';
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

void printReport(const char *root)
{
    printf("returned=%s\n", root);
    printf("VANTRELL_ROOT=%s\n", envOrUnset("VANTRELL_ROOT").c_str());
    printf("ROOT_VANTRELL_ROOT=%s\n", envOrUnset("ROOT_VANTRELL_ROOT").c_str());
    printf("cwd=%s\n", currentDirectory().c_str());
    printf("computations=%d\n", kestle::rootdir::computations());
    printf("end\n");
}

// The first call of the process, and what it left behind.
KT_ROLE(rootdir_report)
{
    printf("cwd_before=%s\n", currentDirectory().c_str());
    printReport(osal_getRootDir());
    return 0;
}

char *neverReadable(const char *) { return nullptr; }

KT_ROLE(rootdir_unreadable)
{
    kestle::rootdir::setEnvReader(neverReadable);
    printReport(osal_getRootDir());
    return 0;
}

// A second call: same buffer, same text, no second computation, and the
// current directory left where the caller put it.
KT_ROLE(rootdir_second)
{
    const char *first = osal_getRootDir();
    std::string firstText = first;
    osal_setEnvVariable("VANTRELL_ROOT", "c:/elsewhere");
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    SetCurrentDirectoryA(temp);
    std::string before = currentDirectory();
    const char *second = osal_getRootDir();
    printf("same_pointer=%d\n", first == second);
    printf("first=%s\nsecond=%s\n", firstText.c_str(), second);
    printf("cwd_unchanged=%d\n", before == currentDirectory());
    printf("computations=%d\n", kestle::rootdir::computations());
    printf("end\n");
    return 0;
}

// Many threads make the first call at once.
KT_ROLE(rootdir_race)
{
    constexpr int kThreads = 16;
    std::vector<const char *> got(kThreads);
    kt::runAtOnce(kThreads, [&](int i) { got[i] = osal_getRootDir(); });
    int same = 0;
    for (const char *p : got)
        same += p == got[0];
    printf("same=%d of %d\nroot=%s\ncomputations=%d\nend\n", same, kThreads, got[0],
           kestle::rootdir::computations());
    return 0;
}

// Writes a file through a path formed from the root, the way the system's own
// programs form theirs.
KT_ROLE(rootdir_write)
{
    char *path = osal_pathTranslate(args.at(0).c_str());
    FILE *f = path ? fopen(path, "wb") : nullptr;
    printf("path=%s\n", path ? path : "(null)");
    if (!f) {
        printf("open failed\nend\n");
        return 1;
    }
    fputs("written", f);
    fclose(f);
    free(path);
    printf("end\n");
    return 0;
}

KT_ROLE(rootdir_translate)
{
    char *path = osal_pathTranslate(args.at(0).c_str());
    char *exe = osal_pathTranslateExe(args.at(0).c_str());
    printf("path=%s\nexe=%s\nend\n", path, exe);
    free(path);
    free(exe);
    return 0;
}

// Runs a role in a fresh process and returns its key=value report.
kt::Report runReport(const std::string &role, const kt::EnvChanges &env, const std::vector<std::string> &args = {})
{
    std::string out;
    EXPECT_TRUE(kt::runReport(role, args, &env, &out));
    return kt::parseReport(out);
}

kt::EnvChanges rootEnv(const char *value)
{
    kt::EnvChanges env;
    env.unset.push_back("ROOT_VANTRELL_ROOT");
    if (value)
        env.set.emplace_back("VANTRELL_ROOT", value);
    else
        env.unset.push_back("VANTRELL_ROOT");
    return env;
}

TEST(RootDir, FirstCallFollowsTheWorkedExamples)
{
    struct Case {
        const char *value; // nullptr: absent
        const char *environmentAfter;
        const char *published;
        const char *returned;
        const char *currentDirectory;
    };
    const Case cases[] = {
        {nullptr, "c:/vantrell", "/vantrell", "/vantrell/", "c:/"},
        {"", "c:/vantrell", "/vantrell", "/vantrell/", "c:/"},
        {"D:\\vt\\/data\\", "D:\\vt\\/data\\", "/vt/data", "/vt/data/", "D:/"},
        {"C:\\Program Files//vt", "C:\\Program Files//vt", "/Program Files/vt", "/Program Files/vt/", "C:/"},
        {"c:/", "c:/", "", "/", "c:"},
        {"c:\\/\\\\vt//x\\\\", "c:\\/\\\\vt//x\\\\", "/vt/x", "/vt/x/", "c:/"},
        // Shorter than a drive and colon: the root is "/", nothing is read past the end.
        {"/", "/", "", "/", nullptr},
        {"\\\\//", "\\\\//", "", "/", nullptr},
        {"c", "c", "", "/", nullptr},
    };
    for (const Case &c : cases) {
        std::string label = c.value ? "VANTRELL_ROOT=\"" + std::string(c.value) + "\"" : "VANTRELL_ROOT absent";
        SCOPED_TRACE(label);
        auto r = runReport("rootdir_report", rootEnv(c.value));
        EXPECT_EQ(r["returned"], c.returned);
        EXPECT_EQ(r["VANTRELL_ROOT"], c.environmentAfter);
        EXPECT_EQ(r["ROOT_VANTRELL_ROOT"], c.published);
        EXPECT_EQ(r["computations"], "1");
        if (!c.currentDirectory) {
            continue;
        }
        std::string drive = std::string(c.currentDirectory, 2) + "\\";
        if (GetDriveTypeA(drive.c_str()) == DRIVE_NO_ROOT_DIR) {
            // No such drive in this prefix: the change fails and is ignored.
            EXPECT_EQ(r["cwd"], r["cwd_before"]);
        } else {
            // "c:" is the drive's own current directory, its root in a fresh process.
            EXPECT_EQ(foldDir(r["cwd"]).substr(0, 3), foldDir(std::string(c.currentDirectory, 2)) + "/");
        }
    }
}

TEST(RootDir, RootLongerThanTheCacheIsKeptWhole)
{
    std::string value = "Z:/" + std::string(300, 'a') + "\\\\" + std::string(200, 'b');
    std::string expected = "/" + std::string(300, 'a') + "/" + std::string(200, 'b') + "/";
    auto r = runReport("rootdir_report", rootEnv(value.c_str()));
    EXPECT_EQ(r["returned"].size(), expected.size());
    EXPECT_EQ(r["returned"], expected);
    EXPECT_EQ(r["ROOT_VANTRELL_ROOT"] + "/", expected);
}

TEST(RootDir, UnreadableVariableFallsBackToTheDefaultText)
{
    auto r = runReport("rootdir_unreadable", rootEnv(nullptr));
    EXPECT_EQ(r["returned"], "/vantrell/");
    EXPECT_EQ(r["VANTRELL_ROOT"], "c:/vantrell");
    EXPECT_EQ(r["ROOT_VANTRELL_ROOT"], "/vantrell");
}

TEST(RootDir, LaterCallsReturnTheSameBufferWithNoSideEffects)
{
    auto r = runReport("rootdir_second", rootEnv("c:/first"));
    EXPECT_EQ(r["same_pointer"], "1");
    EXPECT_EQ(r["first"], "/first/");
    EXPECT_EQ(r["second"], "/first/");
    EXPECT_EQ(r["cwd_unchanged"], "1");
    EXPECT_EQ(r["computations"], "1");
}

TEST(RootDir, RacingFirstCallsComputeOnce)
{
    for (int round = 0; round < 5; ++round) {
        auto r = runReport("rootdir_race", rootEnv("c:/race"));
        EXPECT_EQ(r["same"], "16 of 16");
        EXPECT_EQ(r["root"], "/race/");
        EXPECT_EQ(r["computations"], "1");
    }
}

TEST(RootDir, PathsFormedFromTheRootNameFilesInsideIt)
{
    kt::TestRoot dir("rootdir-write");
    ASSERT_TRUE(dir.made()) << "could not make a temporary root";
    ASSERT_TRUE(dir.makeDir("/tmp"));
    auto env = rootEnv(dir.envValue().c_str());
    // "%s/tmp" of the root has a doubled slash; the file functions accept it.
    auto r = runReport("rootdir_write", env, {"/tmp/marker.txt"});
    EXPECT_EQ(r["path"], dir.hostPath() + "//tmp/marker.txt");
    std::string file = dir.path("/tmp/marker.txt");
    FILE *f = fopen(file.c_str(), "rb");
    ASSERT_NE(f, nullptr) << "expected the child to write " << file;
    char buf[16] = {};
    fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    EXPECT_STREQ(buf, "written");
}

TEST(Environment, GetReturnsAFreshHeapCopyOrNull)
{
    ASSERT_EQ(osal_setEnvVariable("KESTLE_T_THREE", "abc"), 0);
    char *a = osal_getEnvVariable("KESTLE_T_THREE");
    char *b = osal_getEnvVariable("KESTLE_T_THREE");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b) << "each call gives its own block";
    EXPECT_STREQ(a, "abc");
    EXPECT_EQ(_msize(a), 4u) << "the value and its terminator";
    free(a);
    free(b);

    ASSERT_EQ(osal_setEnvVariable("KESTLE_T_THREE", nullptr), 0) << "a NULL value deletes";
    EXPECT_EQ(osal_getEnvVariable("KESTLE_T_THREE"), nullptr);
    ASSERT_EQ(osal_setEnvVariable("KESTLE_T_EMPTY", ""), 0);
    EXPECT_EQ(osal_getEnvVariable("KESTLE_T_EMPTY"), nullptr) << "an empty value reads as missing";
}

TEST(Environment, ValuesOfAnyLengthComeBackWhole)
{
    for (size_t len : {4094u, 4095u, 4096u, 4097u, 10000u, 32000u}) {
        std::string value(len, 'v');
        for (size_t i = 0; i < len; i += 97)
            value[i] = static_cast<char>('a' + i % 26);
        ASSERT_EQ(osal_setEnvVariable("KESTLE_T_LONG", value.c_str()), 0);
        char *got = osal_getEnvVariable("KESTLE_T_LONG");
        ASSERT_NE(got, nullptr) << "length " << len;
        EXPECT_EQ(strlen(got), len) << "length " << len;
        EXPECT_EQ(got, value) << "length " << len;
        free(got);
    }
    osal_setEnvVariable("KESTLE_T_LONG", nullptr);
}

TEST(Environment, SetFailureIsTheNegatedWin32Error)
{
    SetLastError(0);
    BOOL ok = SetEnvironmentVariableA("", "x");
    DWORD expected = GetLastError();
    ASSERT_FALSE(ok) << "this platform accepts an empty name";
    EXPECT_EQ(osal_setEnvVariable("", "x"), -static_cast<int>(expected));
}

TEST(PathTranslate, ResultsOfEveryLengthComeBackWhole)
{
    const std::string root = osal_getRootDir();
    for (size_t total : {0u, 259u, 260u, 261u, 1000u}) {
        size_t pathLen = total > root.size() + 1 ? total - root.size() : 1;
        std::string path = "/" + std::string(pathLen - 1, 'p');
        for (bool exe : {false, true}) {
            char *got = exe ? osal_pathTranslateExe(path.c_str()) : osal_pathTranslate(path.c_str());
            std::string expected = root + path + (exe ? ".exe" : "");
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(std::string(got), expected) << "result of " << expected.size() << " characters";
            EXPECT_GE(_msize(got), 260u) << "callers may use the whole 260-byte block";
            EXPECT_GE(_msize(got), expected.size() + 1);
            free(got);
        }
    }
    EXPECT_EQ(osal_pathTranslate(nullptr), nullptr);
}

TEST(PathTranslate, DefaultRootKeepsBothSlashes)
{
    // The default root, read in a fresh process.
    auto r = runReport("rootdir_translate", rootEnv(nullptr), {"/system/bin/sh"});
    EXPECT_EQ(r["path"], "/vantrell//system/bin/sh");
    EXPECT_EQ(r["exe"], "/vantrell//system/bin/sh.exe");
}

} // namespace
