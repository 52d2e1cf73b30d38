// A test program that needs a second process starts itself again with
// "--role NAME args...". Roles are registered with KT_ROLE and run instead of
// the tests.
#pragma once

#include <string>
#include <vector>

namespace kt {

using RoleFn = int (*)(const std::vector<std::string> &args);

struct RoleRegistrar {
    RoleRegistrar(const char *name, RoleFn fn);
};

// Runs the role named on the command line, if any; returns true and sets
// *exitCode when it did.
bool runRole(int argc, char **argv, int *exitCode);

} // namespace kt

#define KT_ROLE(name)                                                                                             \
    static int ktRole_##name(const std::vector<std::string> &args);                                              \
    static ::kt::RoleRegistrar ktRoleRegistrar_##name(#name, ktRole_##name);                                      \
    static int ktRole_##name([[maybe_unused]] const std::vector<std::string> &args)
