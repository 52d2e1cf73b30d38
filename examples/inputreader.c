/*
 * inputreader: reads guest input as a guest's input service does. The host
 * window's process turns what reaches its window into 24-byte InputEvent
 * records (Linux input events) and writes them to the input pipe; this
 * program reads them through the osal_input_* exports. It must be a process
 * of its own: the host window's process holds the pipe's other end.
 *
 *   inputreader CODE
 *
 * Waits for the first key or button record; exit status 0 when it is a
 * press of CODE, 1 otherwise or when the host window's process has gone.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestle.h"

int main(int argc, char **argv)
{
    int want = argc > 1 ? atoi(argv[1]) : 0;

    setvbuf(stdout, NULL, _IONBF, 0);
    /* Synchronisation records end each group of records, and one opens the
     * stream: pass them over, up to a bound. */
    for (int i = 0; i < 64; ++i) {
        InputEvent event;
        memset(&event, 0, sizeof event);
        /* The first call waits for the host window's pipe and connects. */
        if (osal_input_getInputN(&event, 1) != 0) {
            printf("inputreader: the host window's process has gone\n");
            return 1;
        }
        if (event.type == 0)
            continue;
        printf("inputreader: record type %u, code %u, value %d, device %d (%s)\n", event.type, event.code,
               (int)event.value, (int)event.device, event.device == 0 ? "keyboard" : "mouse");
        return event.type == 1 && event.code == want && event.value == 1 ? 0 : 1;
    }
    printf("inputreader: no key record among the first 64\n");
    return 1;
}
