// The entry of every test program: a helper role when asked for one, else the tests.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "roles.h"

namespace kt {

namespace {
std::map<std::string, RoleFn> &roles()
{
    static std::map<std::string, RoleFn> table;
    return table;
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
    std::vector<std::string> args(argv + 3, argv + argc);
    *exitCode = it->second(args);
    return true;
}

} // namespace kt

int main(int argc, char **argv)
{
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
