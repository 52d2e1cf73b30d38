// Plays the guest process that creates the socket map: creates the table,
// keeps it open and changes it on command from standard input, one command a
// line, each answered with one line:
//   add NAME PORT PID | del NAME | get NAME | pid NAME | count | init | quit
// NAME "" stands for the empty key. The process id is printed once ready.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "kestle.h"

namespace {

std::string key(const std::string &token) { return token == "\"\"" ? std::string() : token; }

} // namespace

int main()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (osal_sockmap_init() != 0) {
        printf("init failed\n");
        return 1;
    }
    printf("ready %lu\n", GetCurrentProcessId());
    char line[1024];
    while (fgets(line, sizeof line, stdin)) {
        std::istringstream in(line);
        std::string cmd, name;
        in >> cmd;
        int result = 0;
        if (cmd == "add") {
            int port = 0, pid = 0;
            in >> name >> port >> pid;
            result = osal_sockmap_add(key(name).c_str(), port, pid);
        } else if (cmd == "del") {
            in >> name;
            result = osal_sockmap_del(key(name).c_str());
        } else if (cmd == "get") {
            in >> name;
            result = osal_sockmap_get(key(name).c_str());
        } else if (cmd == "pid") {
            in >> name;
            result = osal_sockmap_getPid(key(name).c_str());
        } else if (cmd == "count") {
            result = osal_sockmap_count();
        } else if (cmd == "init") {
            result = osal_sockmap_init();
        } else if (cmd == "quit") {
            printf("bye\n");
            return 0;
        } else {
            printf("unknown command\n");
            continue;
        }
        printf("= %d\n", result);
    }
    return 0;
}
