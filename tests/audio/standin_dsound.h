// A stand-in for DirectSound that the audio device gets from its creation
// call: a sound device whose one secondary buffer plays like DirectSound's.
// Its play cursor moves with time at the buffer's byte rate (time from
// QueryPerformanceCounter, or a clock the test moves by hand), wraps when
// looping and stops at the end otherwise, and the write cursor leads it by
// 10 ms while it plays. Every frame is recorded as the cursor passes it,
// with the moment it passed, so a test sees exactly what played and when.
//
// References are counted as DirectSound counts them: the device hands out
// each object with one reference, QueryInterface adds one (the notify
// interface is the buffer's own), and the last Release frees the object.
// Releasing the device frees its buffer too, whatever the buffer's own count,
// as DirectSound does. A freed buffer's memory is decommitted (its addresses
// stay reserved, so a late touch faults instead of landing in something
// else), and a call on a freed object, or a touch of its memory, ends the
// test program at once with a line that names it. What the test has heard
// (the frames played, the calls made) stays readable after the free: that
// record is the test's, not the device's.
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

// The exit status of a test program that used a freed stand-in object.
constexpr UINT kUsedAfterReleaseStatus = 0xD5DEAD;

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
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    STDMETHOD(GetCaps)(LPDSBCAPS) override;
    STDMETHOD(GetCurrentPosition)(LPDWORD play, LPDWORD write) override;
    STDMETHOD(GetFormat)(LPWAVEFORMATEX, DWORD, LPDWORD) override;
    STDMETHOD(GetVolume)(LPLONG) override;
    STDMETHOD(GetPan)(LPLONG) override;
    STDMETHOD(GetFrequency)(LPDWORD) override;
    STDMETHOD(GetStatus)(LPDWORD status) override;
    STDMETHOD(Initialize)(LPDIRECTSOUND, LPCDSBUFFERDESC) override;
    STDMETHOD(Lock)(DWORD offset, DWORD bytes, LPVOID *p1, LPDWORD l1, LPVOID *p2, LPDWORD l2, DWORD flags) override;
    STDMETHOD(Play)(DWORD, DWORD, DWORD flags) override;
    STDMETHOD(SetCurrentPosition)(DWORD position) override;
    STDMETHOD(SetFormat)(LPCWAVEFORMATEX) override;
    STDMETHOD(SetVolume)(LONG volume) override;
    STDMETHOD(SetPan)(LONG) override;
    STDMETHOD(SetFrequency)(DWORD) override;
    STDMETHOD(Stop)() override;
    STDMETHOD(Unlock)(LPVOID, DWORD, LPVOID, DWORD) override;
    STDMETHOD(Restore)() override;

    // A reference for a device that got its buffer some other way than
    // from CreateSoundBuffer (the tests that drive the pump by hand).
    IDirectSoundBuffer *handOut();
    // The references handed out and not yet released; whether the buffer
    // has been freed (by its last Release or by its device's).
    LONG references() const { return mRefs.load(); }
    bool released() const { return mReleased.load(); }
    // Frees the buffer as its last Release does (its device calls it).
    void free();

    // The hand-moved clock goes on by this much (a Manual buffer only).
    void advanceMs(double ms);
    // The performance counter the library reads follows this buffer's
    // hand-moved clock from now on (nullptr: the real counter again).
    static void driveCounter(StandInBuffer *buffer);
    // The clock's present tick.
    int64_t now() const;
    static int64_t ticksPerSecond();
    // Every frame that has played so far, in the order it played.
    std::vector<PlayedFrame> played() { return caughtUp(mPlayed); }
    // The play cursor's offset now.
    DWORD playCursor() { return caughtUp(mPosition); }
    bool playing() { return caughtUp(mPlaying); }
    // The buffer's memory (allocated page by page, so a test may guard
    // pages); gone once the buffer is freed.
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
    // And a Stop that takes its time, as DirectSound's does while a mix is
    // under way: the next Stop waits inside the call (holding no lock)
    // until the test lets it go on, and then finishes on the buffer.
    void holdNextStop() { mHoldStop = true; }
    bool waitStopHeld(int timeoutMs);
    void letStopGoOn();

private:
    // The notify interface, part of the buffer as DirectSound's is: its
    // references are the buffer's.
    class Notify : public IDirectSoundNotify {
    public:
        explicit Notify(StandInBuffer *owner) : mOwner(owner) {}
        STDMETHOD_(HRESULT, QueryInterface)(REFIID iid, void **out) override;
        STDMETHOD_(ULONG, AddRef)() override;
        STDMETHOD_(ULONG, Release)() override;
        STDMETHOD(SetNotificationPositions)(DWORD, LPCDSBPOSITIONNOTIFY) override;

    private:
        StandInBuffer *mOwner;
    };
    // The lock, taken by every call, which ends the program when the buffer
    // has been freed.
    class Call {
    public:
        Call(StandInBuffer *buffer, const char *name);
        ~Call() { mBuffer->mMutex.unlock(); }

    private:
        StandInBuffer *mBuffer;
    };
    ULONG addRef(const char *name);
    ULONG release(const char *name);

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
    std::atomic<LONG> mRefs{0};
    std::atomic<bool> mReleased{false};
    Notify mNotify{this};
    std::atomic<int64_t> mManualTick{0};
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
    std::atomic<bool> mHoldStop{false};
    HANDLE mStopHeld = nullptr;
    HANDLE mStopGoOn = nullptr;
};

// The sound device of the stand-in: its CreateSoundBuffer gives `buffer`.
// Its last Release frees the buffer too.
class StandInDevice : public IDirectSound8 {
public:
    explicit StandInDevice(StandInBuffer *buffer) : mBuffer(buffer) {}

    STDMETHOD_(HRESULT, QueryInterface)(REFIID, void **out) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    STDMETHOD(CreateSoundBuffer)(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER out, IUnknown *outer) override;
    STDMETHOD(GetCaps)(LPDSCAPS) override;
    STDMETHOD(DuplicateSoundBuffer)(LPDIRECTSOUNDBUFFER, LPLPDIRECTSOUNDBUFFER) override;
    STDMETHOD(SetCooperativeLevel)(HWND, DWORD) override;
    STDMETHOD(Compact)() override;
    STDMETHOD(GetSpeakerConfig)(LPDWORD) override;
    STDMETHOD(SetSpeakerConfig)(DWORD) override;
    STDMETHOD(Initialize)(LPCGUID) override;
    STDMETHOD(VerifyCertification)(LPDWORD) override;

    LONG references() const { return mRefs.load(); }
    bool released() const { return mReleased.load(); }

private:
    // Ends the program when the device has been freed.
    void call(const char *name) const;

    StandInBuffer *mBuffer;
    std::atomic<LONG> mRefs{0};
    std::atomic<bool> mReleased{false};
};

// Makes every audio device made from now on get `device` (nullptr: no
// sound device at all, as on a host without one) instead of DirectSound's,
// with a reference of its own.
void useStandIn(StandInDevice *device);
// DirectSound's own creation call again.
void useDirectSound();

// Frames numbered first, first + 1, ... as the bytes a guest writes.
std::vector<unsigned char> numberedFrames(uint32_t first, size_t count);

} // namespace kt
