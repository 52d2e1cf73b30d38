// The idle loop of a guest thread and the system's one orderly end.
#include <cstdlib>

#include "audio/audio.h"
#include "display/surface.h"
#include "display/system.h"
#include "input/input.h"

namespace {

// Set by the first thread to reach shutdown: two loops that take WM_QUIT at
// the same time must not release the same objects twice.
long sShuttingDown;

// Releases what the object holds but keeps its memory: other threads (the
// audio pump, the host window's thread, guest threads inside an export) may
// still reach it until exit has ended them, and must find an object there.
template <class T>
void release(T *object)
{
    if (object)
        object->~T();
}

} // namespace

void OSALSystem::shutdown()
{
    if (__atomic_exchange_n(&sShuttingDown, 1, __ATOMIC_ACQ_REL)) {
        // The first caller is ending the process.
        for (;;)
            Sleep(INFINITE);
    }
    release(mInput.get());
    release(mAudio.get());
    release(mSurface.get());
    exit(0);
}

void OSALSystem::idleLoop(void(KESTLE_CALL *idle)(int), int arg)
{
    MSG message;
    for (;;) {
        if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            if (message.message == WM_QUIT)
                shutdown();
            DispatchMessageA(&message);
        } else if (idle) {
            idle(arg);
        } else {
            // No idle function: nothing to do until a message comes.
            WaitMessage();
        }
    }
}

extern "C" void KESTLE_CALL osal_init_done(void(KESTLE_CALL *idle)(int), int arg)
{
    // The loop needs the object for its end.
    OSALSystem::getInstanceWaiting().idleLoop(idle, arg);
}
