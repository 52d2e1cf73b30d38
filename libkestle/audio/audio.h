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


// Seam for the tests: the call that makes the sound device (DirectSound's
// own DirectSoundCreate8 unless a stand-in is set). nullptr restores it.
namespace kestle::audio {
using DirectSoundCreateFn = HRESULT(WINAPI *)(LPCGUID device, LPDIRECTSOUND8 *out, LPUNKNOWN outer);
void setDirectSoundCreate(DirectSoundCreateFn fn);
} // namespace kestle::audio

class OSALAudio {
public:
    // An idle pump (nothing playing) waits this long for a wake-up before it
    // looks at the ring again; the first write after idling wakes it at once.
    static constexpr int kPumpWaitMs = 300;
    // While the buffer plays, a cycle runs this often: new bytes go in, the
    // end of the sound is noticed, and silence follows the play cursor.
    static constexpr int kStreamPeriodMs = 5;
    // A cycle moves at most this much.
    static constexpr int32_t kMaxChunk = 0xA00000;
    // Lock attempts per cycle before the bytes are left for the next cycle.
    static constexpr int kLockAttempts = 64;
    // How long the destructor waits for the pump to end; a pump that is
    // held up longer is left running, and nothing it uses is freed.
    static constexpr int kPumpStopWaitMs = 2000;

    // Waits for the desktop window, sets up DirectSound and starts the pump.
    // A failed set-up leaves a device without output (no pump thread).
    OSALAudio();
    // Ends the pump thread (if one runs), stops the buffer and releases the
    // DirectSound objects. Safe under threads still inside a write, a
    // standby or a pump cycle: the ring keeps the storage they use, and the
    // DirectSound objects stay while anything may still call them.
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
    // Whether the pump has the buffer playing (it stops it once the play
    // cursor has passed the last byte written by a second, and the ring is
    // empty).
    bool streaming() const { return __atomic_load_n(&mStreaming, __ATOMIC_ACQUIRE) != 0; }

    // For ever: wait on mEvent, stop, reset, one pump cycle. Nothing starts it.
    void eventLoop();

    IDirectSound8 *mDirectSoundDevice = nullptr;
    uint8_t mReady = 0;
    WAVEFORMATEX mFormat;
    DSBUFFERDESC mBufferDesc;
    IDirectSoundBuffer *mSoundBuffer = nullptr;
    IDirectSoundBuffer *mInBuffer = nullptr;
    IDirectSoundNotify *mNotify = nullptr;
    DSBPOSITIONNOTIFY mNotifyPos;
    // Offset in the buffer of the end of the sound written so far: where the
    // next bytes from the ring go.
    int32_t mOutPos = 0;
    HANDLE mEvent = nullptr;
    HANDLE mEvent2 = nullptr;
    HWND mHwnd = nullptr;
    // The pump thread (null when none runs) and the flag that ends it. The
    // flags and counts that other threads read go through atomic builtins.
    HANDLE mPumpThread = nullptr;
    LONG mStopPump = 0;
    // The pump's view of the buffer since it last started it, in bytes
    // counted from that start (offset = count modulo the buffer size): how
    // far the play cursor has gone, where the written sound ends, and how
    // far silence has been laid behind it. Only the pump touches them.
    LONG mStreaming = 0;
    DWORD mPlayCursor = 0;
    // When the pump last read the play cursor (performance counter ticks),
    // if the counter could be read then.
    int64_t mCursorTick = 0;
    bool mCursorTimed = false;
    int64_t mPlayedTo = 0;
    int64_t mSoundEnd = 0;
    int64_t mSilenceEnd = 0;
    // Times new bytes came after the play cursor had reached the end of the
    // sound before them, so that silence played between the two (the buffer
    // still playing, or stopped because the sound had run out with no
    // standby since); times the pump stopped the buffer because all of the
    // sound had played. mRanDry: the buffer stopped so, and no standby has
    // said since that the stream ended on purpose.
    LONG mUnderruns = 0;
    LONG mSoundsEnded = 0;
    LONG mRanDry = 0;
    // Around the guest's calls into the DirectSound objects (standby): the
    // destructor releases them only when none is under way.
    UseGate mDevice;
    RingBuffer mRing;

private:
    void fillFormat();
    // Starts the stopped buffer at offset 0 with what the ring holds.
    void startPlaying(IDirectSoundBuffer *buffer);
    // Moves up to `bytes` from the ring to the end of the sound, then lays
    // silence over the rest of the room in front of the play cursor; false
    // when the buffer would not lock.
    bool fill(IDirectSoundBuffer *buffer, int32_t bytes);
    // How many whole laps the play cursor has gone round unseen since the
    // pump last read it, given how far it `moved` within its lap; notes the
    // time of this reading. 0 when the counter cannot tell.
    int64_t lapsSinceLastLook(int64_t moved);
};
// The pump thread: cycles of arg's pump until the device is destroyed.
unsigned __stdcall audioOutputThread(void *arg);
