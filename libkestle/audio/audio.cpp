#include "audio/audio.h"

#include <cstring>
#include <new>

#include "display/system.h"
#include "os/diagnostics.h"

namespace {

// Our own copy of the notify interface's id, so that no GUID library is needed.
constexpr GUID kIidDirectSoundNotify = {0xB0210783, 0x89CD, 0x11D0, {0xAF, 0x08, 0x00, 0xA0, 0xC9, 0x25, 0xCD, 0x16}};
constexpr GUID kGuidNull = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

constexpr DWORD kBufferFlags = 0x181E0;
constexpr int kBufferSeconds = 60;

OSALAudio *makeAudio()
{
    return new (std::nothrow) OSALAudio();
}

} // namespace

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
        Sleep(100);
    debugPrint("window found\n");

    mDirectSoundDevice = nullptr;
    mNotify = nullptr;
    DirectSoundCreate8(nullptr, &mDirectSoundDevice, nullptr);
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
    // The pump reads the ring's storage, which goes with mRing: end the
    // thread first. A cycle ends within one wait plus a bounded number of
    // Lock attempts; the wake-up only shortens the wait.
    if (mPumpThread) {
        __atomic_store_n(&mStopPump, 1, __ATOMIC_RELEASE);
        mRing.signal();
        WaitForSingleObject(mPumpThread, INFINITE);
        CloseHandle(mPumpThread);
        mPumpThread = nullptr;
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
    DWORD status = 0;
    if (FAILED(buffer->GetStatus(&status)))
        status = 0;
    if (!(status & DSBSTATUS_PLAYING))
        mOutPos = 0;

    mRing.wait(kPumpWaitMs);

    int32_t used = mRing.usedBytes();
    int32_t chunk;
    DWORD playFlags;
    if (used > RingBuffer::kWakeBacklog) {
        chunk = kMaxChunk;
        playFlags = DSBPLAY_LOOPING;
    } else if (used == 0) {
        buffer->Stop();
        return;
    } else {
        chunk = used;
        playFlags = 0;
    }

    DWORD playCsr = 0, writeCsr = 0;
    buffer->GetCurrentPosition(&playCsr, &writeCsr);
    debugPrint("playCsr=%d, writeCsr=%d, mOutPos=%d\n", static_cast<int>(playCsr), static_cast<int>(writeCsr),
               static_cast<int>(mOutPos));

    void *part1 = nullptr, *part2 = nullptr;
    DWORD len1 = 0, len2 = 0;
    HRESULT hr = E_FAIL;
    // A lost buffer refuses every Lock until it is restored; any other
    // refusal is retried a bounded number of times, then the bytes wait in
    // the ring for the next cycle instead of the pump spinning for ever.
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        part1 = part2 = nullptr;
        len1 = len2 = 0;
        hr = buffer->Lock(static_cast<DWORD>(mOutPos), static_cast<DWORD>(chunk), &part1, &len1, &part2, &len2, 0);
        if (SUCCEEDED(hr))
            break;
        if (hr == DSERR_BUFFERLOST)
            buffer->Restore();
    }
    if (FAILED(hr) || !part1)
        return;

    // Never copy more than was asked for, whatever lengths come back.
    DWORD want = static_cast<DWORD>(chunk);
    DWORD fill1 = len1 < want ? len1 : want;
    DWORD fill2 = part2 ? (len2 < want - fill1 ? len2 : want - fill1) : 0;
    mRing.read(part1, static_cast<int>(fill1));
    if (part2 && fill2)
        mRing.read(part2, static_cast<int>(fill2));
    buffer->Unlock(part1, len1, part2, len2);

    int32_t size = bufferBytes();
    int32_t next = mOutPos + chunk;
    if (next >= size)
        next -= size;
    mOutPos = next;

    buffer->SetVolume(DSBVOLUME_MAX);
    buffer->Play(0, 0, playFlags);
}

int OSALAudio::streamOutWrite(const void *data, int len)
{
    return mRing.write(data, len);
}

int OSALAudio::standby()
{
    if (mSoundBuffer)
        mSoundBuffer->Stop();
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
