// Test support: threads that start a race at the same moment. Each racer
// waits at the gate; it opens once all of them are there, so none has run
// ahead while the others were still being started.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

namespace kt {

class StartGate {
public:
    explicit StartGate(int racers) : mRacers(racers), mOpen(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~StartGate() { CloseHandle(mOpen); }
    StartGate(const StartGate &) = delete;
    StartGate &operator=(const StartGate &) = delete;
    // A racer: counts itself in and waits for the gate to open.
    void wait()
    {
        mWaiting.fetch_add(1);
        WaitForSingleObject(mOpen, INFINITE);
    }
    // Waits until every racer waits, then lets them all go.
    void open()
    {
        while (mWaiting.load() < mRacers)
            Sleep(1);
        SetEvent(mOpen);
    }

private:
    int mRacers;
    std::atomic<int> mWaiting{0};
    HANDLE mOpen;
};

// Runs body(0) to body(n - 1) on n threads that start at once; returns when
// all of them have ended.
void runAtOnce(int n, const std::function<void(int)> &body);

} // namespace kt
