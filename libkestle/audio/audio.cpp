#include "audio/audio.h"

#include <cmath>
#include <cstring>
#include <new>

#include "display/system.h"
#include "os/diagnostics.h"
#include "os/identity.h"

namespace {

// Our own copy of the notify interface's id, so that no GUID library is needed.
constexpr GUID kIidDirectSoundNotify = {0xB0210783, 0x89CD, 0x11D0, {0xAF, 0x08, 0x00, 0xA0, 0xC9, 0x25, 0xCD, 0x16}};
constexpr GUID kGuidNull = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// A secondary buffer whose cursors are exact, that plays when the window is
// not in front, and that takes position notifications and rate, pan and
// volume changes.
constexpr DWORD kBufferFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS | DSBCAPS_CTRLPOSITIONNOTIFY |
                               DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY;
constexpr int kBufferSeconds = 60;
constexpr int kFrameBytes = 4;
// How long silence plays on behind a sound before the buffer stops: more
// than the sound device holds between the play cursor and the sound server.
constexpr int kDrainMs = 1000;
constexpr DWORD kDesktopRetryMs = 100;

kestle::audio::DirectSoundCreateFn sDirectSoundCreate = nullptr;

// The two parts that Lock gives, seen as one run of bytes: calls fn(at, n)
// for the pieces of [from, to) in it.
template <class Fn>
void forEachPiece(void *part1, DWORD len1, void *part2, DWORD len2, DWORD from, DWORD to, Fn &&fn)
{
    if (from < to && from < len1)
        fn(static_cast<unsigned char *>(part1) + from, (to < len1 ? to : len1) - from);
    if (part2 && to > len1) {
        DWORD begin = from > len1 ? from - len1 : 0;
        DWORD end = to - len1 < len2 ? to - len1 : len2;
        if (begin < end)
            fn(static_cast<unsigned char *>(part2) + begin, end - begin);
    }
}

OSALAudio *makeAudio()
{
    return new (std::nothrow) OSALAudio();
}

} // namespace

namespace kestle::audio {
void setDirectSoundCreate(DirectSoundCreateFn fn) { sDirectSoundCreate = fn; }
} // namespace kestle::audio

unsigned __stdcall audioOutputThread(void *arg)
{
    auto *audio = static_cast<OSALAudio *>(arg);
    while (!__atomic_load_n(&audio->mStopPump, __ATOMIC_ACQUIRE))
        audio->pump();
    return 0;
}

OSALAudio *OSALAudio::getInstance()
{
    OSALSystem *system = OSALSystem::getInstance();
    if (!system)
        return nullptr;
    return system->mAudio.getOrCreate(&makeAudio);
}

void OSALAudio::fillFormat()
{
    memset(&mFormat, 0, sizeof mFormat);
    mFormat.wFormatTag = WAVE_FORMAT_PCM;
    mFormat.nChannels = 2;
    mFormat.nSamplesPerSec = 44100;
    mFormat.nAvgBytesPerSec = 176400;
    mFormat.nBlockAlign = 4;
    mFormat.wBitsPerSample = 16;
    mFormat.cbSize = 0;

    memset(&mBufferDesc, 0, sizeof mBufferDesc);
    mBufferDesc.dwSize = sizeof mBufferDesc;
    mBufferDesc.dwFlags = kBufferFlags;
    mBufferDesc.dwBufferBytes = kBufferSeconds * mFormat.nAvgBytesPerSec;
    mBufferDesc.dwReserved = 0;
    mBufferDesc.lpwfxFormat = &mFormat;
    mBufferDesc.guid3DAlgorithm = kGuidNull;
}

OSALAudio::OSALAudio()
{
    mReady = 0;
    mHwnd = nullptr;
    memset(&mNotifyPos, 0, sizeof mNotifyPos);
    // The format is known before any set-up step can fail, so the format
    // queries answer the same on a device without output.
    fillFormat();

    while (!(mHwnd = GetDesktopWindow()))
        Sleep(kDesktopRetryMs);
    debugPrint("window found\n");

    mDirectSoundDevice = nullptr;
    mNotify = nullptr;
    (sDirectSoundCreate ? sDirectSoundCreate : DirectSoundCreate8)(nullptr, &mDirectSoundDevice, nullptr);
    if (!mDirectSoundDevice) {
        debugPrint("failed to create direct sound device\n");
        return;
    }
    HRESULT hr = mDirectSoundDevice->SetCooperativeLevel(mHwnd, DSSCL_NORMAL);
    if (FAILED(hr)) {
        debugPrint("SetCooperativeLevel()=%d\n", static_cast<int>(hr));
        return;
    }
    if (!createBuffer())
        return;

    mEvent = osal_CreateEvent(nullptr, TRUE, TRUE, nullptr);
    mEvent2 = osal_CreateEvent(nullptr, TRUE, FALSE, nullptr);
    mNotifyPos.hEventNotify = mEvent;

    // A ring without storage could never feed the pump.
    if (mRing.isValid())
        mPumpThread = reinterpret_cast<HANDLE>(osal_CreateThread(nullptr, 0, audioOutputThread, this, 0, nullptr));
    mReady = 1;
}

OSALAudio::~OSALAudio()
{
    // The pump uses the ring and the buffer: end it first. A cycle ends
    // within one wait plus a bounded number of Lock attempts; a pump held up
    // longer (or a guest thread inside a write) still finds everything in
    // place: the ring keeps storage that is in use, and the DirectSound
    // objects stay unless nothing can reach them any more.
    bool pumpEnded = true;
    if (mPumpThread) {
        __atomic_store_n(&mStopPump, 1, __ATOMIC_RELEASE);
        mRing.signal();
        pumpEnded = WaitForSingleObject(mPumpThread, kPumpStopWaitMs) == WAIT_OBJECT_0;
        if (pumpEnded) {
            CloseHandle(mPumpThread);
            mPumpThread = nullptr;
        }
    }
    // Nothing written is left to play, and a looping buffer must not go
    // round again on its own.
    if (mSoundBuffer)
        mSoundBuffer->Stop();
    // The sound driver's own threads must not outlive the objects that
    // drive them at the process's exit: released when nobody is using them.
    if (mDevice.close() && pumpEnded) {
        if (mNotify)
            mNotify->Release();
        if (mSoundBuffer)
            mSoundBuffer->Release();
        if (mDirectSoundDevice)
            mDirectSoundDevice->Release();
        mNotify = nullptr;
        mSoundBuffer = nullptr;
        mDirectSoundDevice = nullptr;
    }
}

bool OSALAudio::createBuffer()
{
    fillFormat();
    mSoundBuffer = nullptr;
    HRESULT hr = mDirectSoundDevice->CreateSoundBuffer(&mBufferDesc, &mSoundBuffer, nullptr);
    if (FAILED(hr) || !mSoundBuffer) {
        mSoundBuffer = nullptr;
        debugPrint("mDirectSoundDevice->CreateSoundBuffer failed\n");
        return false;
    }
    mOutPos = 0;
    mSoundBuffer->Stop();
    mSoundBuffer->SetCurrentPosition(0);
    hr = mSoundBuffer->QueryInterface(kIidDirectSoundNotify, reinterpret_cast<void **>(&mNotify));
    if (FAILED(hr)) {
        mNotify = nullptr;
        debugPrint("QueryInterface(IID_IDirectSoundNotify) failed, hr=%d\n", static_cast<int>(hr));
        return false;
    }
    debugPrint("QueryInterface(IID_IDirectSoundNotify) ok\n");
    debugPrint("mDirectSoundDevice->CreateSoundBuffer ok\n");
    return true;
}

void OSALAudio::pump()
{
    IDirectSoundBuffer *buffer = mSoundBuffer;
    if (!buffer) {
        // Nothing to feed: just pace the caller.
        mRing.wait(kPumpWaitMs);
        return;
    }
    // While the buffer plays, cycles follow the play cursor; a wake-up from a
    // writer only cuts one wait short, so writers cannot make the pump spin.
    mRing.wait(streaming() ? kStreamPeriodMs : kPumpWaitMs);

    DWORD status = 0;
    if (FAILED(buffer->GetStatus(&status)))
        status = 0;
    if (streaming() && !(status & DSBSTATUS_PLAYING)) {
        // Stopped from outside (standby) or lost: play restarts where the
        // next bytes are written.
        __atomic_store_n(&mStreaming, 0, __ATOMIC_RELEASE);
    }
    if (!streaming()) {
        if (mRing.usedBytes() > 0)
            startPlaying(buffer);
        return;
    }

    DWORD playCsr = 0, writeCsr = 0;
    if (FAILED(buffer->GetCurrentPosition(&playCsr, &writeCsr)))
        return;
    const int64_t size = bufferBytes();
    const int64_t moved = (static_cast<int64_t>(playCsr) + size - mPlayCursor) % size;
    // A pump held up for longer than the buffer lasts (a suspended process)
    // would lose whole laps here. Counted in full, they show that all it had
    // written has played, and that the buffer has been going round replaying
    // it since: the replay is dropped as after any underrun (new bytes go at
    // the write cursor, silence over the rest of the buffer), and the
    // hold-up is one underrun, counted below when bytes are waiting, or when
    // the stream goes on after it ran dry.
    mPlayedTo += moved + lapsSinceLastLook(moved) * size;
    mPlayCursor = playCsr;
    int32_t used = mRing.usedBytes();
    if (used == 0) {
        if (mPlayedTo >= mSoundEnd + int64_t{mFormat.nAvgBytesPerSec} * kDrainMs / 1000) {
            // The last byte has played, and the sound device has had the
            // time to pass it on: only now may the buffer stop. DirectSound's
            // play cursor runs ahead of what has reached the sound server,
            // and a stop drops what is still on its way.
            buffer->Stop();
            __atomic_store_n(&mRanDry, 1, __ATOMIC_RELEASE);
            __atomic_store_n(&mStreaming, 0, __ATOMIC_RELEASE);
            __atomic_add_fetch(&mSoundsEnded, 1, __ATOMIC_RELEASE);
            return;
        }
        // Keep silence in front of the play cursor as it moves on.
        fill(buffer, 0);
        return;
    }
    // DirectSound may already have taken what lies before its write cursor:
    // new bytes go no earlier than that, and the gap stays silent.
    int64_t writeAt = mPlayedTo + (static_cast<int64_t>(writeCsr) + size - playCsr) % size;
    if (mSoundEnd < writeAt) {
        int64_t gap = (writeAt - mSoundEnd + kFrameBytes - 1) / kFrameBytes * kFrameBytes;
        mSoundEnd += gap;
        mOutPos = static_cast<int32_t>(mSoundEnd % size);
        __atomic_add_fetch(&mUnderruns, 1, __ATOMIC_RELAXED);
    }
    debugPrint("playCsr=%d, writeCsr=%d, mOutPos=%d\n", static_cast<int>(playCsr), static_cast<int>(writeCsr),
               static_cast<int>(mOutPos));
    fill(buffer, used);
}

void OSALAudio::startPlaying(IDirectSoundBuffer *buffer)
{
    // Wherever a stop left the play position, play starts where the new
    // bytes go.
    mOutPos = 0;
    mPlayCursor = 0;
    mPlayedTo = 0;
    mSoundEnd = 0;
    mSilenceEnd = 0;
    buffer->SetCurrentPosition(0);
    DWORD playCsr = 0, writeCsr = 0;
    buffer->GetCurrentPosition(&playCsr, &writeCsr);
    debugPrint("playCsr=%d, writeCsr=%d, mOutPos=%d\n", static_cast<int>(playCsr), static_cast<int>(writeCsr),
               static_cast<int>(mOutPos));
    if (!fill(buffer, mRing.usedBytes()))
        return; // the bytes wait in the ring for the next cycle
    buffer->SetVolume(DSBVOLUME_MAX);
    // Always looping: a buffer played once stops at its end, and the sound
    // that wrapped round to its start would never play.
    buffer->Play(0, 0, DSBPLAY_LOOPING);
    mCursorTimed = false;
    lapsSinceLastLook(0); // the cursor set out from 0 now
    __atomic_store_n(&mStreaming, 1, __ATOMIC_RELEASE);
    // The stream went on after running dry: silence played in between.
    if (__atomic_exchange_n(&mRanDry, 0, __ATOMIC_ACQ_REL))
        __atomic_add_fetch(&mUnderruns, 1, __ATOMIC_RELAXED);
}

int64_t OSALAudio::lapsSinceLastLook(int64_t moved)
{
    LARGE_INTEGER count = {}, frequency = {};
    const bool timed = kestle::clocks::readCounter(&count, &frequency);
    int64_t laps = 0;
    if (timed && mCursorTimed) {
        const double elapsed = static_cast<double>(count.QuadPart - mCursorTick) /
                               static_cast<double>(frequency.QuadPart) * mFormat.nAvgBytesPerSec;
        // To the nearest lap: the sound device's clock may run a little
        // apart from the counter's.
        const double unseen = std::floor((elapsed - static_cast<double>(moved)) / bufferBytes() + 0.5);
        if (unseen > 0)
            laps = static_cast<int64_t>(unseen);
    }
    mCursorTimed = timed;
    mCursorTick = count.QuadPart;
    return laps;
}

bool OSALAudio::fill(IDirectSoundBuffer *buffer, int32_t bytes)
{
    const int64_t size = bufferBytes();
    const int64_t base = mSoundEnd;
    // Everything from the end of the sound up to the play cursor has played
    // (or was never written): the room that may be written. Nothing that
    // has yet to play is overwritten.
    const int64_t room = mPlayedTo + size - base;
    int64_t n = bytes < room ? bytes : room;
    if (n > kMaxChunk)
        n = kMaxChunk;
    if (n < 0)
        n = 0;
    // Silence over the rest of the room, where it is not silent yet, so
    // that no stale sound follows the end of this one however late the
    // next cycle comes.
    const int64_t quietEnd = mPlayedTo + size;
    const bool quiet = (mSilenceEnd > base + n ? mSilenceEnd : base + n) < quietEnd;
    const int64_t lockEnd = quiet ? quietEnd : base + n;
    if (lockEnd <= base)
        return true;
    const DWORD lockBytes = static_cast<DWORD>(lockEnd - base);

    void *part1 = nullptr, *part2 = nullptr;
    DWORD len1 = 0, len2 = 0;
    HRESULT hr = E_FAIL;
    // A lost buffer refuses every Lock until it is restored; any other
    // refusal is retried a bounded number of times, then the bytes wait in
    // the ring for the next cycle instead of the pump spinning for ever.
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        part1 = part2 = nullptr;
        len1 = len2 = 0;
        hr = buffer->Lock(static_cast<DWORD>(mOutPos), lockBytes, &part1, &len1, &part2, &len2, 0);
        if (SUCCEEDED(hr))
            break;
        if (hr == DSERR_BUFFERLOST)
            buffer->Restore();
    }
    if (FAILED(hr) || !part1)
        return false;

    // Never write more than was asked for, whatever lengths come back.
    DWORD got = len1 + (part2 ? len2 : 0);
    if (got > lockBytes)
        got = lockBytes;
    int64_t copied = 0;
    DWORD copyEnd = static_cast<DWORD>(n < got ? n : got);
    forEachPiece(part1, len1, part2, len2, 0, copyEnd, [&](unsigned char *at, DWORD len) {
        copied += mRing.read(at, static_cast<int>(len));
    });
    if (quiet) {
        int64_t from = (mSilenceEnd > base + copied ? mSilenceEnd : base + copied) - base;
        forEachPiece(part1, len1, part2, len2, static_cast<DWORD>(from), got,
                     [](unsigned char *at, DWORD len) { memset(at, 0, len); });
        if (base + got > mSilenceEnd)
            mSilenceEnd = base + got;
    }
    buffer->Unlock(part1, len1, part2, len2);

    mSoundEnd = base + copied;
    mOutPos = static_cast<int32_t>(mSoundEnd % size);
    if (mSilenceEnd < mSoundEnd)
        mSilenceEnd = mSoundEnd;
    return true;
}

int OSALAudio::streamOutWrite(const void *data, int len)
{
    int written = mRing.write(data, len);
    // An idle pump waits long: the first bytes after idling wake it, so that
    // they play at once.
    if (written > 0 && mSoundBuffer && !streaming())
        mRing.signal();
    return written;
}

int OSALAudio::standby()
{
    // Refused once the device is being destroyed: its buffer may be gone.
    if (!mDevice.enter())
        return 0;
    if (mSoundBuffer)
        mSoundBuffer->Stop();
    // The stream ended on purpose: what follows is no underrun.
    __atomic_store_n(&mRanDry, 0, __ATOMIC_RELEASE);
    mDevice.leave();
    return 0;
}

int OSALAudio::playFile(const char *path)
{
    // PlaySoundA with no name still stops a sound another thread is playing,
    // but its success must not read as a file played.
    BOOL played = PlaySoundA(path, nullptr, SND_FILENAME);
    return path ? played : 0;
}

int OSALAudio::streamInWrite(const void *, int len)
{
    // The input direction has no buffer: the bytes are taken and dropped.
    return len;
}

void OSALAudio::eventLoop()
{
    if (!mSoundBuffer || !mEvent)
        return;
    for (;;) {
        osal_WaitForSingleObject(mEvent, INFINITE);
        mSoundBuffer->Stop();
        ResetEvent(mEvent);
        pump();
    }
}
