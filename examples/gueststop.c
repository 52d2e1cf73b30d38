/*
 * gueststop: the stop command of the example guest session.
 *
 * When the host window is closed (or on Alt+F4) the library runs "gueststop"
 * through the command interpreter, which finds it in the current folder (the
 * root folder) or on the search path; what stopping means is the guest
 * system's business. Here it sets the session's stop event, on which the
 * example guest ends itself through the library's orderly shutdown.
 */
#include <stdio.h>

#include "example.h"

int main(void)
{
    HANDLE stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, EXAMPLE_STOP_EVENT);
    if (!stop) {
        printf("gueststop: there is no guest session to stop\n");
        return 1;
    }
    /* Said first: the session may be gone a moment after the event is set. */
    printf("gueststop: the guest session is told to stop\n");
    fflush(stdout);
    SetEvent(stop);
    CloseHandle(stop);
    return 0;
}
