#include "standin_dsound.h"

#include <cstring>

#include "audio/audio.h"

namespace kt {

namespace {

// The notify interface's id (the device asks for it and keeps it).
constexpr GUID kIidNotify = {0xB0210783, 0x89CD, 0x11D0, {0xAF, 0x08, 0x00, 0xA0, 0xC9, 0x25, 0xCD, 0x16}};
constexpr DWORD kFrameBytes = 4;

class StandInNotify : public IDirectSoundNotify {
public:
    STDMETHOD_(HRESULT, QueryInterface)(REFIID, void **out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 1; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(SetNotificationPositions)(DWORD, LPCDSBPOSITIONNOTIFY) override { return S_OK; }
};

StandInNotify *notifyInstance()
{
    static StandInNotify notify;
    return &notify;
}

StandInDevice *sDevice;

HRESULT WINAPI createStandIn(LPCGUID, LPDIRECTSOUND8 *out, LPUNKNOWN)
{
    *out = sDevice;
    return sDevice ? S_OK : E_INVALIDARG;
}

int64_t queryCounter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

} // namespace

StandInBuffer::StandInBuffer(Clock clock) : mClock(clock)
{
    mMemory = static_cast<unsigned char *>(VirtualAlloc(nullptr, kBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    for (DWORD at = 0; at + kFrameBytes <= kBytes; at += kFrameBytes) {
        uint32_t stale = kStaleFrame | (at / kFrameBytes & 0xFFFF);
        memcpy(mMemory + at, &stale, kFrameBytes);
    }
    if (mClock == Clock::Real)
        mRecorder = std::thread([this] {
            while (!mEnd.load()) {
                {
                    std::lock_guard<std::mutex> hold(mMutex);
                    catchUp();
                }
                Sleep(1);
            }
        });
}

StandInBuffer::~StandInBuffer()
{
    mEnd = true;
    if (mRecorder.joinable())
        mRecorder.join();
    VirtualFree(mMemory, 0, MEM_RELEASE);
}

int64_t StandInBuffer::ticksPerSecond()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

int64_t StandInBuffer::now() const
{
    return mClock == Clock::Manual ? mManualTick : queryCounter();
}

void StandInBuffer::advanceMs(double ms)
{
    std::lock_guard<std::mutex> hold(mMutex);
    mManualTick += static_cast<int64_t>(ms * static_cast<double>(ticksPerSecond()) / 1000.0);
    catchUp();
}

uint32_t StandInBuffer::frameAt(DWORD offset) const
{
    uint32_t value;
    memcpy(&value, mMemory + offset, sizeof value);
    return value;
}

void StandInBuffer::recordUntil(int64_t passed)
{
    const int64_t perSecond = ticksPerSecond();
    for (int64_t b = mPassed; b + kFrameBytes <= passed; b += kFrameBytes) {
        DWORD offset = static_cast<DWORD>((mStartOffset + b) % kBytes);
        mPlayed.push_back({frameAt(offset), mStartTick + b * perSecond / kBytesPerSecond});
    }
    mPassed = passed;
}

void StandInBuffer::catchUp()
{
    if (!mPlaying)
        return;
    int64_t passed = (now() - mStartTick) * kBytesPerSecond / ticksPerSecond() / kFrameBytes * kFrameBytes;
    if (!mLooping && mStartOffset + passed >= kBytes) {
        // Played once to its end: there it stops, back at the start.
        recordUntil(kBytes - mStartOffset);
        mPlaying = false;
        mPosition = 0;
        restartClock();
        return;
    }
    recordUntil(passed);
    mPosition = static_cast<DWORD>((mStartOffset + passed) % kBytes);
}

void StandInBuffer::restartClock()
{
    mStartOffset = mPosition;
    mStartTick = now();
    mPassed = 0;
}

HRESULT StandInBuffer::QueryInterface(REFIID iid, void **out)
{
    if (IsEqualGUID(iid, kIidNotify)) {
        *out = notifyInstance();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT StandInBuffer::GetCurrentPosition(LPDWORD play, LPDWORD write)
{
    std::lock_guard<std::mutex> hold(mMutex);
    catchUp();
    if (play)
        *play = mPosition;
    if (write)
        *write = mPlaying ? (mPosition + kLeadBytes) % kBytes : mPosition;
    return S_OK;
}

HRESULT StandInBuffer::GetStatus(LPDWORD status)
{
    std::lock_guard<std::mutex> hold(mMutex);
    catchUp();
    *status = (mPlaying ? DSBSTATUS_PLAYING : 0) | (mPlaying && mLooping ? DSBSTATUS_LOOPING : 0) |
              (mLost ? DSBSTATUS_BUFFERLOST : 0);
    return S_OK;
}

HRESULT StandInBuffer::Lock(DWORD offset, DWORD bytes, LPVOID *p1, LPDWORD l1, LPVOID *p2, LPDWORD l2, DWORD flags)
{
    std::lock_guard<std::mutex> hold(mMutex);
    catchUp();
    ++mLockCalls;
    if (mLost)
        return DSERR_BUFFERLOST;
    if (mRefuseLocks)
        return DSERR_GENERIC;
    if (flags & DSBLOCK_ENTIREBUFFER) {
        offset = 0;
        bytes = kBytes;
    }
    if (offset >= kBytes || bytes == 0 || bytes > kBytes)
        return DSERR_INVALIDPARAM;
    mLocks.push_back({offset, bytes});
    DWORD first = bytes < kBytes - offset ? bytes : kBytes - offset;
    *p1 = mMemory + offset;
    *l1 = first;
    if (p2)
        *p2 = first < bytes ? mMemory : nullptr;
    if (l2)
        *l2 = bytes - first;
    return S_OK;
}

HRESULT StandInBuffer::Unlock(LPVOID, DWORD, LPVOID, DWORD)
{
    return S_OK;
}

HRESULT StandInBuffer::Play(DWORD, DWORD, DWORD flags)
{
    std::lock_guard<std::mutex> hold(mMutex);
    catchUp();
    if (mLost)
        return DSERR_BUFFERLOST;
    mPlays.push_back(flags);
    mLooping = (flags & DSBPLAY_LOOPING) != 0;
    if (!mPlaying) {
        mPlaying = true;
        restartClock();
    }
    return S_OK;
}

HRESULT StandInBuffer::SetCurrentPosition(DWORD position)
{
    std::lock_guard<std::mutex> hold(mMutex);
    catchUp();
    if (position >= kBytes)
        return DSERR_INVALIDPARAM;
    mPositionsSet.push_back(position);
    mPosition = position / kFrameBytes * kFrameBytes;
    restartClock();
    return S_OK;
}

HRESULT StandInBuffer::SetVolume(LONG volume)
{
    std::lock_guard<std::mutex> hold(mMutex);
    mVolume = volume;
    return S_OK;
}

HRESULT StandInBuffer::Stop()
{
    std::lock_guard<std::mutex> hold(mMutex);
    catchUp();
    ++mStops;
    mPlaying = false;
    restartClock();
    return S_OK;
}

HRESULT StandInBuffer::Restore()
{
    std::lock_guard<std::mutex> hold(mMutex);
    ++mRestores;
    mLost = false;
    return S_OK;
}

HRESULT StandInDevice::CreateSoundBuffer(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER out, IUnknown *)
{
    *out = nullptr;
    // Only the one buffer the device asks for: 60 s of 44100 Hz stereo PCM.
    const WAVEFORMATEX *format = desc ? desc->lpwfxFormat : nullptr;
    if (!format || desc->dwBufferBytes != StandInBuffer::kBytes || format->wFormatTag != WAVE_FORMAT_PCM ||
        format->nAvgBytesPerSec != StandInBuffer::kBytesPerSecond || format->nBlockAlign != kFrameBytes)
        return DSERR_INVALIDPARAM;
    *out = mBuffer;
    return S_OK;
}

void useStandIn(StandInDevice *device)
{
    sDevice = device;
    kestle::audio::setDirectSoundCreate(&createStandIn);
}

void useDirectSound()
{
    sDevice = nullptr;
    kestle::audio::setDirectSoundCreate(nullptr);
}

std::vector<unsigned char> numberedFrames(uint32_t first, size_t count)
{
    std::vector<unsigned char> bytes(count * kFrameBytes);
    for (size_t i = 0; i < count; ++i) {
        uint32_t value = first + static_cast<uint32_t>(i);
        memcpy(&bytes[i * kFrameBytes], &value, kFrameBytes);
    }
    return bytes;
}

} // namespace kt
