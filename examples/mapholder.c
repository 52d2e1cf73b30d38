/*
 * mapholder: makes the socket map and holds it.
 *
 * The socket map is the shared table in which scrived and interrogator
 * publish their loopback ports, and in which guest programs look them up.
 * None of the library's programs makes it: on a guest system the guest's
 * first process does, before the daemons start, and keeps it open, since the
 * table (and its lock) lives only while some process holds it. This program
 * is that process and nothing more: it makes the table, says so, and holds
 * it until it is ended.
 */
#include <stdio.h>

#include "kestle.h"

int main(void)
{
    if (osal_sockmap_init() != 0) {
        printf("mapholder: the socket map could not be made\n");
        return 1;
    }
    printf("mapholder: holding the socket map\n");
    fflush(stdout);
    for (;;)
        Sleep(INFINITE);
}
