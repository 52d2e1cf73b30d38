/* A guest's idle loop written in C, built on i686 with stdcall as its default
 * convention, as some guest code is. The callback takes the convention that
 * the library's type states; a callee that popped its own argument would move
 * the stack by 4 bytes on every idle call. */
#include <stdio.h>

#include "kestle.h"

int KESTLE_CALL ktRunIdleCaller(int calls, int arg);
/* Posts the quit that ends the loop (the test's C++ side: this compiler,
 * under its stdcall default, names Win32 imports as the import libraries do
 * not). */
void KESTLE_CALL ktEndIdleLoop(void);

static int sWanted;
static int sCalls;
static int sFirstArg;
static char *sFirstFrame;
static int sMoved;
static int sArgChanged;

static void KESTLE_CALL idle(int arg)
{
    char *frame = __builtin_frame_address(0);
    if (sCalls == 0) {
        sFirstFrame = frame;
        sFirstArg = arg;
    } else {
        sMoved += frame != sFirstFrame;
        sArgChanged += arg != sFirstArg;
    }
    if (++sCalls == sWanted) {
        printf("idle calls=%d arg=%d stack moved=%d argument changed=%d\n", sCalls, sFirstArg, sMoved,
               sArgChanged);
        fflush(stdout);
        ktEndIdleLoop();
    }
}

/* Hands the thread to the idle loop until `calls` idle calls have run; the
 * loop then ends the process. */
int KESTLE_CALL ktRunIdleCaller(int calls, int arg)
{
    sWanted = calls;
    osal_init_done(idle, arg);
    return 5;
}
