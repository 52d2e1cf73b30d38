#include "standin_dsound.h"

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "audio/audio.h"
#include "os/identity.h"

namespace kt {

namespace {

// The notify interface's id (the device asks for it and keeps it).
constexpr GUID kIidNotify = {0xB0210783, 0x89CD, 0x11D0, {0xAF, 0x08, 0x00, 0xA0, 0xC9, 0x25, 0xCD, 0x16}};
constexpr DWORD kFrameBytes = 4;

StandInDevice *sDevice;
StandInBuffer *sCounterClock;

HRESULT WINAPI createStandIn(LPCGUID, LPDIRECTSOUND8 *out, LPUNKNOWN)
{
    *out = sDevice;
    if (!sDevice)
        return E_INVALIDARG;
    sDevice->AddRef();
    return S_OK;
}

int64_t queryCounter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

BOOL WINAPI counterOfTheClock(LARGE_INTEGER *value)
{
    value->QuadPart = sCounterClock->now();
    return TRUE;
}

// Writes a line to standard error without the C runtime (which another
// thread may hold) and ends the program at once: no exit step runs, so no
// thread of it can go on using what was freed.
[[noreturn]] void endProgram(const char *text)
{
    char where[300] = "";
    if (const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info())
        snprintf(where, sizeof where, " (in the test %s.%s)", test->test_suite_name(), test->name());
    char line[600];
    snprintf(line, sizeof line, "\n%s%s\n", text, where);
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(strlen(line)), &put, nullptr);
    TerminateProcess(GetCurrentProcess(), kUsedAfterReleaseStatus);
    for (;;)
        Sleep(INFINITE);
}

[[noreturn]] void usedAfterRelease(const char *call)
{
    char text[256];
    snprintf(text, sizeof text, "the stand-in DirectSound's %s ran on an object already freed by its last Release",
             call);
    endProgram(text);
}

// The memory of freed buffers (kept reserved): a touch of it faults, and
// the fault is named here before the crash report.
struct FreedRange {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
};
FreedRange sFreed[32];

LONG CALLBACK nameTouchOfFreedMemory(EXCEPTION_POINTERS *info)
{
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    uintptr_t at = record->ExceptionInformation[1];
    for (const FreedRange &range : sFreed)
        if (at >= range.begin.load() && at < range.end.load())
            endProgram("the memory of a freed stand-in DirectSound buffer was touched: a copy into or out of a "
                       "buffer after its last Release");
    return EXCEPTION_CONTINUE_SEARCH;
}

void noteFreed(const void *memory, size_t bytes)
{
    static std::once_flag once;
    std::call_once(once, [] { AddVectoredExceptionHandler(1, nameTouchOfFreedMemory); });
    auto begin = reinterpret_cast<uintptr_t>(memory);
    for (FreedRange &range : sFreed) {
        uintptr_t none = 0;
        if (range.begin.compare_exchange_strong(none, begin)) {
            range.end = begin + bytes;
            return;
        }
    }
}

void forgetFreed(const void *memory)
{
    for (FreedRange &range : sFreed)
        if (range.begin.load() == reinterpret_cast<uintptr_t>(memory)) {
            range.end = 0;
            range.begin = 0;
        }
}

} // namespace

StandInBuffer::Call::Call(StandInBuffer *buffer, const char *name) : mBuffer(buffer)
{
    mBuffer->mMutex.lock();
    if (mBuffer->mReleased) {
        mBuffer->mMutex.unlock();
        usedAfterRelease(name);
    }
}

StandInBuffer::StandInBuffer(Clock clock) : mClock(clock)
{
    mStopHeld = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    mStopGoOn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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
    free();
    CloseHandle(mStopHeld);
    CloseHandle(mStopGoOn);
    forgetFreed(mMemory);
    VirtualFree(mMemory, 0, MEM_RELEASE);
}

IDirectSoundBuffer *StandInBuffer::handOut()
{
    AddRef();
    return this;
}

void StandInBuffer::free()
{
    {
        std::lock_guard<std::mutex> hold(mMutex);
        if (mReleased)
            return;
        catchUp();
        mPlaying = false;
        mReleased = true;
    }
    mEnd = true;
    if (mRecorder.joinable())
        mRecorder.join();
    noteFreed(mMemory, kBytes);
    VirtualFree(mMemory, kBytes, MEM_DECOMMIT);
}

ULONG StandInBuffer::addRef(const char *name)
{
    Call call(this, name);
    return static_cast<ULONG>(++mRefs);
}

ULONG StandInBuffer::release(const char *name)
{
    LONG left;
    {
        Call call(this, name);
        if (mRefs == 0)
            usedAfterRelease(name);
        left = --mRefs;
    }
    if (left == 0)
        free();
    return static_cast<ULONG>(left);
}

ULONG StandInBuffer::AddRef() { return addRef("IDirectSoundBuffer::AddRef"); }
ULONG StandInBuffer::Release() { return release("IDirectSoundBuffer::Release"); }
ULONG StandInBuffer::Notify::AddRef() { return mOwner->addRef("IDirectSoundNotify::AddRef"); }
ULONG StandInBuffer::Notify::Release() { return mOwner->release("IDirectSoundNotify::Release"); }

HRESULT StandInBuffer::Notify::QueryInterface(REFIID iid, void **out)
{
    return mOwner->QueryInterface(iid, out);
}

HRESULT StandInBuffer::Notify::SetNotificationPositions(DWORD, LPCDSBPOSITIONNOTIFY)
{
    Call call(mOwner, "IDirectSoundNotify::SetNotificationPositions");
    return S_OK;
}

int64_t StandInBuffer::ticksPerSecond()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

int64_t StandInBuffer::now() const
{
    return mClock == Clock::Manual ? mManualTick.load() : queryCounter();
}

void StandInBuffer::advanceMs(double ms)
{
    std::lock_guard<std::mutex> hold(mMutex);
    mManualTick += static_cast<int64_t>(ms * static_cast<double>(ticksPerSecond()) / 1000.0);
    catchUp();
}

void StandInBuffer::driveCounter(StandInBuffer *buffer)
{
    sCounterClock = buffer;
    kestle::clocks::setCounterQueries(buffer ? &counterOfTheClock : nullptr, nullptr);
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
    {
        Call call(this, "IDirectSoundBuffer::QueryInterface");
        // The only interface the device asks for.
        *out = nullptr;
        if (!IsEqualGUID(iid, kIidNotify))
            return E_NOINTERFACE;
        *out = static_cast<IDirectSoundNotify *>(&mNotify);
    }
    AddRef();
    return S_OK;
}

// The calls the device does not make: each still refuses a freed buffer.
HRESULT StandInBuffer::GetCaps(LPDSBCAPS)
{
    Call call(this, "IDirectSoundBuffer::GetCaps");
    return E_NOTIMPL;
}

HRESULT StandInBuffer::GetFormat(LPWAVEFORMATEX, DWORD, LPDWORD)
{
    Call call(this, "IDirectSoundBuffer::GetFormat");
    return E_NOTIMPL;
}

HRESULT StandInBuffer::GetVolume(LPLONG)
{
    Call call(this, "IDirectSoundBuffer::GetVolume");
    return E_NOTIMPL;
}

HRESULT StandInBuffer::GetPan(LPLONG)
{
    Call call(this, "IDirectSoundBuffer::GetPan");
    return E_NOTIMPL;
}

HRESULT StandInBuffer::GetFrequency(LPDWORD)
{
    Call call(this, "IDirectSoundBuffer::GetFrequency");
    return E_NOTIMPL;
}

HRESULT StandInBuffer::Initialize(LPDIRECTSOUND, LPCDSBUFFERDESC)
{
    Call call(this, "IDirectSoundBuffer::Initialize");
    return DSERR_ALREADYINITIALIZED;
}

HRESULT StandInBuffer::SetFormat(LPCWAVEFORMATEX)
{
    Call call(this, "IDirectSoundBuffer::SetFormat");
    return DSERR_INVALIDCALL;
}

HRESULT StandInBuffer::SetPan(LONG)
{
    Call call(this, "IDirectSoundBuffer::SetPan");
    return S_OK;
}

HRESULT StandInBuffer::SetFrequency(DWORD)
{
    Call call(this, "IDirectSoundBuffer::SetFrequency");
    return S_OK;
}

HRESULT StandInBuffer::GetCurrentPosition(LPDWORD play, LPDWORD write)
{
    Call call(this, "IDirectSoundBuffer::GetCurrentPosition");
    catchUp();
    if (play)
        *play = mPosition;
    if (write)
        *write = mPlaying ? (mPosition + kLeadBytes) % kBytes : mPosition;
    return S_OK;
}

HRESULT StandInBuffer::GetStatus(LPDWORD status)
{
    Call call(this, "IDirectSoundBuffer::GetStatus");
    catchUp();
    *status = (mPlaying ? DSBSTATUS_PLAYING : 0) | (mPlaying && mLooping ? DSBSTATUS_LOOPING : 0) |
              (mLost ? DSBSTATUS_BUFFERLOST : 0);
    return S_OK;
}

HRESULT StandInBuffer::Lock(DWORD offset, DWORD bytes, LPVOID *p1, LPDWORD l1, LPVOID *p2, LPDWORD l2, DWORD flags)
{
    Call call(this, "IDirectSoundBuffer::Lock");
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
    Call call(this, "IDirectSoundBuffer::Unlock");
    return S_OK;
}

HRESULT StandInBuffer::Play(DWORD, DWORD, DWORD flags)
{
    Call call(this, "IDirectSoundBuffer::Play");
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
    Call call(this, "IDirectSoundBuffer::SetCurrentPosition");
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
    Call call(this, "IDirectSoundBuffer::SetVolume");
    mVolume = volume;
    return S_OK;
}

bool StandInBuffer::waitStopHeld(int timeoutMs)
{
    return WaitForSingleObject(mStopHeld, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

void StandInBuffer::letStopGoOn()
{
    SetEvent(mStopGoOn);
}

HRESULT StandInBuffer::Stop()
{
    if (mHoldStop.exchange(false)) {
        { Call call(this, "IDirectSoundBuffer::Stop"); }
        SetEvent(mStopHeld);
        WaitForSingleObject(mStopGoOn, 60000);
    }
    // A held call goes on here: its buffer must still be there.
    Call call(this, "IDirectSoundBuffer::Stop");
    catchUp();
    ++mStops;
    mPlaying = false;
    restartClock();
    return S_OK;
}

HRESULT StandInBuffer::Restore()
{
    Call call(this, "IDirectSoundBuffer::Restore");
    ++mRestores;
    mLost = false;
    return S_OK;
}

void StandInDevice::call(const char *name) const
{
    if (mReleased)
        usedAfterRelease(name);
}

HRESULT StandInDevice::QueryInterface(REFIID, void **out)
{
    call("IDirectSound8::QueryInterface");
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG StandInDevice::AddRef()
{
    call("IDirectSound8::AddRef");
    return static_cast<ULONG>(++mRefs);
}

ULONG StandInDevice::Release()
{
    call("IDirectSound8::Release");
    if (mRefs == 0)
        usedAfterRelease("IDirectSound8::Release");
    LONG left = --mRefs;
    if (left == 0) {
        mReleased = true;
        mBuffer->free();
    }
    return static_cast<ULONG>(left);
}

HRESULT StandInDevice::GetCaps(LPDSCAPS)
{
    call("IDirectSound8::GetCaps");
    return E_NOTIMPL;
}

HRESULT StandInDevice::DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER, LPLPDIRECTSOUNDBUFFER)
{
    call("IDirectSound8::DuplicateSoundBuffer");
    return E_NOTIMPL;
}

HRESULT StandInDevice::SetCooperativeLevel(HWND, DWORD)
{
    call("IDirectSound8::SetCooperativeLevel");
    return S_OK;
}

HRESULT StandInDevice::Compact()
{
    call("IDirectSound8::Compact");
    return S_OK;
}

HRESULT StandInDevice::GetSpeakerConfig(LPDWORD)
{
    call("IDirectSound8::GetSpeakerConfig");
    return E_NOTIMPL;
}

HRESULT StandInDevice::SetSpeakerConfig(DWORD)
{
    call("IDirectSound8::SetSpeakerConfig");
    return E_NOTIMPL;
}

HRESULT StandInDevice::Initialize(LPCGUID)
{
    call("IDirectSound8::Initialize");
    return DSERR_ALREADYINITIALIZED;
}

HRESULT StandInDevice::VerifyCertification(LPDWORD)
{
    call("IDirectSound8::VerifyCertification");
    return E_NOTIMPL;
}

HRESULT StandInDevice::CreateSoundBuffer(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER out, IUnknown *)
{
    call("IDirectSound8::CreateSoundBuffer");
    *out = nullptr;
    // Only the one buffer the device asks for: 60 s of 44100 Hz stereo PCM.
    const WAVEFORMATEX *format = desc ? desc->lpwfxFormat : nullptr;
    if (!format || desc->dwBufferBytes != StandInBuffer::kBytes || format->wFormatTag != WAVE_FORMAT_PCM ||
        format->nAvgBytesPerSec != StandInBuffer::kBytesPerSecond || format->nBlockAlign != kFrameBytes)
        return DSERR_INVALIDPARAM;
    *out = mBuffer->handOut();
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
