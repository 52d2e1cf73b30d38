// A stand-in for DirectSound that the audio device gets from its creation
// call: a sound device whose one secondary buffer plays like DirectSound's.
// Its play cursor moves with time at the buffer's byte rate (time from
// QueryPerformanceCounter, or a clock the test moves by hand), wraps when
// looping and stops at the end otherwise, and the write cursor leads it by
// 10 ms while it plays. Every frame is recorded as the cursor passes it,
// with the moment it passed, so a test sees exactly what played and when.
#pragma once

#include <windows.h>

#include <mmsystem.h>
#include <dsound.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kt {

// What a stand-in buffer holds before anything is written: frames that a
// test can tell from written ones (numbered from 1) and from silence (0).
constexpr uint32_t kStaleFrame = 0xDEAD0000u;

struct PlayedFrame {
    uint32_t value;
    // When the play cursor passed it, in QueryPerformanceCounter ticks (of
    // the hand-moved clock when the buffer has one).
    int64_t tick;
};

class StandInBuffer : public IDirectSoundBuffer {
public:
    static constexpr DWORD kBytes = 10584000;
    static constexpr DWORD kBytesPerSecond = 176400;
    // DirectSound's write cursor leads its play cursor by 10 ms.
    static constexpr DWORD kLeadBytes = kBytesPerSecond / 100;

    enum class Clock { Real, Manual };
    // A real-time buffer also records from a thread of its own, every
    // millisecond, so that frames are seen as they pass even while nobody
    // calls the buffer.
    explicit StandInBuffer(Clock clock = Clock::Real);
    ~StandInBuffer();
    StandInBuffer(const StandInBuffer &) = delete;
    StandInBuffer &operator=(const StandInBuffer &) = delete;

    STDMETHOD_(HRESULT, QueryInterface)(REFIID iid, void **out) override;
    STDMETHOD_(ULONG, AddRef)() override { return 1; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(GetCaps)(LPDSBCAPS) override { return E_NOTIMPL; }
    STDMETHOD(GetCurrentPosition)(LPDWORD play, LPDWORD write) override;
    STDMETHOD(GetFormat)(LPWAVEFORMATEX, DWORD, LPDWORD) override { return E_NOTIMPL; }
    STDMETHOD(GetVolume)(LPLONG) override { return E_NOTIMPL; }
    STDMETHOD(GetPan)(LPLONG) override { return E_NOTIMPL; }
    STDMETHOD(GetFrequency)(LPDWORD) override { return E_NOTIMPL; }
    STDMETHOD(GetStatus)(LPDWORD status) override;
    STDMETHOD(Initialize)(LPDIRECTSOUND, LPCDSBUFFERDESC) override { return DSERR_ALREADYINITIALIZED; }
    STDMETHOD(Lock)(DWORD offset, DWORD bytes, LPVOID *p1, LPDWORD l1, LPVOID *p2, LPDWORD l2, DWORD flags) override;
    STDMETHOD(Play)(DWORD, DWORD, DWORD flags) override;
    STDMETHOD(SetCurrentPosition)(DWORD position) override;
    STDMETHOD(SetFormat)(LPCWAVEFORMATEX) override { return DSERR_INVALIDCALL; }
    STDMETHOD(SetVolume)(LONG volume) override;
    STDMETHOD(SetPan)(LONG) override { return S_OK; }
    STDMETHOD(SetFrequency)(DWORD) override { return S_OK; }
    STDMETHOD(Stop)() override;
    STDMETHOD(Unlock)(LPVOID, DWORD, LPVOID, DWORD) override;
    STDMETHOD(Restore)() override;

    // The hand-moved clock goes on by this much (a Manual buffer only).
    void advanceMs(double ms);
    // The clock's present tick.
    int64_t now() const;
    static int64_t ticksPerSecond();
    // Every frame that has played so far, in the order it played.
    std::vector<PlayedFrame> played() { return caughtUp(mPlayed); }
    // The play cursor's offset now.
    DWORD playCursor() { return caughtUp(mPosition); }
    bool playing() { return caughtUp(mPlaying); }
    // The buffer's memory (allocated page by page, so a test may guard pages).
    unsigned char *memory() { return mMemory; }
    uint32_t frameAt(DWORD offset) const;

    struct LockCall {
        DWORD offset;
        DWORD bytes;
    };
    // What the device asked, for the tests that drive it by hand.
    std::vector<LockCall> locks() { return locked(mLocks); }
    std::vector<DWORD> plays() { return locked(mPlays); }
    std::vector<DWORD> positionsSet() { return locked(mPositionsSet); }
    int stops() { return locked(mStops); }
    int lockCalls() { return locked(mLockCalls); }
    int restores() { return locked(mRestores); }
    LONG volume() { return locked(mVolume); }

    // States no device here gives: a lost buffer (until Restore) and one
    // whose Lock keeps failing.
    std::atomic<bool> mLost{false};
    std::atomic<bool> mRefuseLocks{false};

private:
    // A copy of a field, taken under the lock (after catching up with the
    // clock, for what the cursor's movement changes).
    template <class T>
    T locked(const T &field)
    {
        std::lock_guard<std::mutex> hold(mMutex);
        return field;
    }
    template <class T>
    T caughtUp(const T &field)
    {
        std::lock_guard<std::mutex> hold(mMutex);
        catchUp();
        return field;
    }
    // Moves the cursor to the clock's present and records the frames passed.
    void catchUp();
    void restartClock();
    void recordUntil(int64_t passed);

    const Clock mClock;
    unsigned char *mMemory = nullptr;
    std::mutex mMutex;
    int64_t mManualTick = 0;
    bool mPlaying = false;
    bool mLooping = false;
    // Where and when the cursor last started moving, and how many bytes it
    // has passed since.
    DWORD mStartOffset = 0;
    int64_t mStartTick = 0;
    int64_t mPassed = 0;
    DWORD mPosition = 0;
    std::vector<PlayedFrame> mPlayed;
    std::vector<LockCall> mLocks;
    std::vector<DWORD> mPlays;
    std::vector<DWORD> mPositionsSet;
    int mStops = 0;
    int mLockCalls = 0;
    int mRestores = 0;
    LONG mVolume = -1;
    std::atomic<bool> mEnd{false};
    std::thread mRecorder;
};

// The sound device of the stand-in: its CreateSoundBuffer gives `buffer`.
class StandInDevice : public IDirectSound8 {
public:
    explicit StandInDevice(StandInBuffer *buffer) : mBuffer(buffer) {}

    STDMETHOD_(HRESULT, QueryInterface)(REFIID, void **out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 1; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(CreateSoundBuffer)(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER out, IUnknown *outer) override;
    STDMETHOD(GetCaps)(LPDSCAPS) override { return E_NOTIMPL; }
    STDMETHOD(DuplicateSoundBuffer)(LPDIRECTSOUNDBUFFER, LPLPDIRECTSOUNDBUFFER) override { return E_NOTIMPL; }
    STDMETHOD(SetCooperativeLevel)(HWND, DWORD) override { return S_OK; }
    STDMETHOD(Compact)() override { return S_OK; }
    STDMETHOD(GetSpeakerConfig)(LPDWORD) override { return E_NOTIMPL; }
    STDMETHOD(SetSpeakerConfig)(DWORD) override { return E_NOTIMPL; }
    STDMETHOD(Initialize)(LPCGUID) override { return DSERR_ALREADYINITIALIZED; }
    STDMETHOD(VerifyCertification)(LPDWORD) override { return E_NOTIMPL; }

private:
    StandInBuffer *mBuffer;
};

// Makes every audio device made from now on get `device` (nullptr: no
// sound device at all, as on a host without one) instead of DirectSound's.
void useStandIn(StandInDevice *device);
// DirectSound's own creation call again.
void useDirectSound();

// Frames numbered first, first + 1, ... as the bytes a guest writes.
std::vector<unsigned char> numberedFrames(uint32_t first, size_t count);

} // namespace kt
