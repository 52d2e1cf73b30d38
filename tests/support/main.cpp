// The entry of every test program: a helper role when asked for one, else the tests.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "roles.h"

namespace kt {

namespace {
std::map<std::string, RoleFn> &roles()
{
    static std::map<std::string, RoleFn> table;
    return table;
}

// The role this process runs, if any, for the crash report.
const char *gRole = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER gEarlierFilter = nullptr;

// Says which program crashed, with what, and in which test or role: Wine's
// own line names none of them. Then Wine ends the process (the prefixes have
// no crash debugger), its exit status the exception code. Written with no
// allocation: the crash may have left the heap broken.
LONG WINAPI reportCrash(EXCEPTION_POINTERS *info)
{
    char program[MAX_PATH] = "?";
    DWORD n = GetModuleFileNameA(nullptr, program, sizeof program);
    const char *name = program;
    for (DWORD i = 0; i < n; ++i) {
        if (program[i] == '\\' || program[i] == '/')
            name = program + i + 1;
    }
    char where[512];
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    if (gRole)
        snprintf(where, sizeof where, "in its helper role %s", gRole);
    else if (test)
        snprintf(where, sizeof where, "in the test %s.%s", test->test_suite_name(), test->name());
    else
        snprintf(where, sizeof where, "outside any test");
    DWORD code = info->ExceptionRecord->ExceptionCode;
    char line[1024];
    snprintf(line, sizeof line, "\n%s crashed %s: exception 0x%08lX%s at address %p\n", name, where,
             (unsigned long)code, crashName(code), info->ExceptionRecord->ExceptionAddress);
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, (DWORD)strlen(line), &put, nullptr);
    return gEarlierFilter ? gEarlierFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}
} // namespace

RoleRegistrar::RoleRegistrar(const char *name, RoleFn fn) { roles()[name] = fn; }

bool runRole(int argc, char **argv, int *exitCode)
{
    if (argc < 3 || std::string(argv[1]) != "--role")
        return false;
    auto it = roles().find(argv[2]);
    if (it == roles().end()) {
        fprintf(stderr, "no role %s\n", argv[2]);
        *exitCode = 99;
        return true;
    }
    gRole = argv[2];
    std::vector<std::string> args(argv + 3, argv + argc);
    *exitCode = it->second(args);
    return true;
}

} // namespace kt

int main(int argc, char **argv)
{
    kt::gEarlierFilter = SetUnhandledExceptionFilter(kt::reportCrash);
    int code = 0;
    if (kt::runRole(argc, argv, &code)) {
        fflush(stdout);
        return code;
    }
    // Test names must reach CTest's discovery without "\r".
    _setmode(_fileno(stdout), _O_BINARY);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
