// The audio device of a guest process: one DirectSound secondary buffer of
// 60 s of 44100 Hz stereo 16-bit PCM, the byte ring the guest writes into,
// and a pump thread that moves queued bytes from the ring into the buffer and
// keeps it playing. The format is fixed; nothing converts or mixes.
#pragma once

#include <cstdint>

#include "kestle.h"

#include <mmsystem.h>
#include <dsound.h>

#include "audio/ringbuffer.h"


class OSALAudio {
public:
    // Pump cycles wait this long for a wake-up before looking at the ring.
    static constexpr int kPumpWaitMs = 300;
    // A cycle moves at most this much and then plays looping.
    static constexpr int32_t kMaxChunk = 0xA00000;
    // Lock attempts per cycle before the bytes are left for the next cycle.
    static constexpr int kLockAttempts = 64;

    // Waits for the desktop window, sets up DirectSound and starts the pump.
    // A failed set-up leaves a device without output (no pump thread).
    OSALAudio();
    // Stops the pump thread (if one runs) before the ring's storage goes.
    ~OSALAudio();
    OSALAudio(const OSALAudio &) = delete;
    OSALAudio &operator=(const OSALAudio &) = delete;

    // The process's device, made by the first audio call; null only when it
    // could not be allocated.
    static OSALAudio *getInstance();

    bool createBuffer();
    // One pump cycle.
    void pump();

    int streamOutWrite(const void *data, int len);
    int standby();
    int playFile(const char *path);
    int streamInWrite(const void *data, int len);

    int channels() const { return mFormat.nChannels; }
    int sampleRate() const { return static_cast<int>(mFormat.nSamplesPerSec); }
    int formatTag() const { return mFormat.wFormatTag; }
    int bufferBytes() const { return static_cast<int>(mBufferDesc.dwBufferBytes); }

    // For ever: wait on mEvent, stop, reset, one pump cycle. Nothing starts it.
    void eventLoop();

    IDirectSound8 *mDirectSoundDevice = nullptr;
    volatile uint8_t mReady = 0;
    WAVEFORMATEX mFormat;
    DSBUFFERDESC mBufferDesc;
    IDirectSoundBuffer *mSoundBuffer = nullptr;
    IDirectSoundBuffer *mInBuffer = nullptr;
    IDirectSoundNotify *mNotify = nullptr;
    DSBPOSITIONNOTIFY mNotifyPos;
    int32_t mOutPos = 0;
    HANDLE mEvent = nullptr;
    HANDLE mEvent2 = nullptr;
    HWND mHwnd = nullptr;
    // The pump thread (null when none runs) and the flag that ends it.
    HANDLE mPumpThread = nullptr;
    volatile LONG mStopPump = 0;
    RingBuffer mRing;

private:
    void fillFormat();
};

// The pump thread: cycles of arg's pump until the device is destroyed.
unsigned __stdcall audioOutputThread(void *arg);
