// sockmapdump: prints the socket map, or the port of each key given.
#include <cstdio>

#include "kestle.h"

namespace {

// Names in the table are at most 128 bytes and a 128-byte one has no
// terminator: never print past the field. Any process can write the count,
// so the entries looked at are never more than the table holds.
void dumpSockMap()
{
    int n = osal_sockmap_count();
    printf("osal_sockmap [%d entries]:\n", n);
    for (int i = 0; i < n && i < SOCKMAP_MAX_ENTRIES; ++i) {
        char *name = nullptr;
        int port = 0;
        int pid = 0;
        if (osal_sockmap_enumrate(i, &name, &port, &pid) > 0)
            printf("\t%d: %.*s --> %d\n", pid, SOCKMAP_NAME_SIZE, name, port);
    }
    printf("\n");
}

void lookUp(const char *key)
{
    int port = osal_sockmap_get(key);
    if (port > 0)
        printf("\t%s --> %d\n", key, port);
    else
        printf("\t%s --> UNKNOWN\n", key);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 1)
        dumpSockMap();
    for (int i = 1; i < argc; ++i)
        lookUp(argv[i]);
    return 0;
}
