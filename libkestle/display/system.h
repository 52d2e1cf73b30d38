// The system object: what the library keeps once per process for the guest
// (host window, thread handles, one device object per family, the guest
// display size and the ready flag). Made by the first call that needs it and
// kept until the process ends.
#pragma once

#include <cstdint>

#include "kestle.h"
#include "os/once.h"

class OSALInput;
class OSALAudio;
class OSALSurface;
class OSALNet;

// Size of the host window's client area as last seen: the guest display size
// until the window procedure records the first WM_SIZE.
extern int32_t gClientWidth;
extern int32_t gClientHeight;

struct GuestDisplaySize {
    int32_t width;
    int32_t height;
};

class OSALSystem {
public:
    // The process's system object, made on first use; null only when it
    // could not be allocated.
    static OSALSystem *getInstance();
    // The same for callers that have no failure to report: waits, trying
    // again every 50 ms, until the object could be allocated.
    static OSALSystem &getInstanceWaiting();

    // The guest display size for a primary screen of screenWidth x screenHeight.
    static GuestDisplaySize guestDisplaySize(int32_t screenWidth, int32_t screenHeight);

    OSALSystem();
    OSALSystem(const OSALSystem &) = delete;
    OSALSystem &operator=(const OSALSystem &) = delete;

    void initResolution();

    // Start-up thread: makes the host window, starts the event-service
    // thread, makes the display surface, sets mReady, then runs the message
    // loop for the rest of the process.
    [[noreturn]] void startUp();
    void createWindow();
    void startEventService();
    // The calling thread's message loop, translating the host window's
    // accelerators; WM_QUIT ends the process through shutdown().
    [[noreturn]] void messageLoop();
    // Dispatches the calling thread's messages and calls idle(arg) whenever
    // none is waiting; WM_QUIT ends the process through shutdown().
    [[noreturn]] void idleLoop(void(KESTLE_CALL *idle)(int), int arg);
    // Releases the input, audio and surface objects, then exit(0).
    [[noreturn]] void shutdown();

    HINSTANCE mInstance = nullptr;
    HWND mHwnd = nullptr;
    HACCEL mAccel = nullptr;
    HANDLE mEventThread = nullptr;
    HANDLE mStartThread = nullptr;
    // One device object per family, each made by its family's first export:
    // mInput.getOrCreate() and so on, wherever the class is complete.
    OnceSlot<OSALInput> mInput;
    OnceSlot<OSALAudio> mAudio;
    OnceSlot<OSALSurface> mSurface;
    OnceSlot<OSALNet> mNet;
    int32_t mWidth = 0;
    int32_t mHeight = 0;
    int32_t mSavedWidth = 0;
    int32_t mSavedHeight = 0;
    // Written once by the start-up thread, polled from other threads (both
    // atomically).
    uint8_t mReady = 0;
};
