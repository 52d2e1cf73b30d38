// audiobench: the audio path on a sound device that keeps real time. Makes
// the device itself, then prints, in one run:
//   - write-to-play latency, set against DirectSound's write-cursor lead
//     (goal: within the lead plus 20 ms). Blocks of 10 ms of numbered frames;
//     a block's latency runs from its write to the moment the frame under
//     the play cursor is one of its own. Three ways: a sound started on an
//     idle device; a running stream whose next block comes as the last one
//     starts to play (just in time); and blocks written at the pace of the
//     wall clock, whose latency also holds however far the device's own
//     clock falls behind the wall clock (printed beside it).
//   - write-call times while the pump copies: a writer as fast as the device
//     takes 64 KiB blocks, from an idle device (the pump's first copies are
//     its largest) into a full ring.
//   - the pump thread's CPU time per second of audio, paced and full.
//
//   audiobench [seconds of paced writing, default 10]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/audio.h"

namespace {

constexpr int kRate = 44100;
constexpr int kFrameBytes = 4;
constexpr int kBlockFrames = kRate / 100;

int64_t ticks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double tickMs(int64_t t)
{
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    return static_cast<double>(t) / perMs;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

double pumpCpuMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!thread || !GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return 0;
    auto ms = [](const FILETIME &t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

std::vector<unsigned char> frames(uint32_t first, int count)
{
    std::vector<unsigned char> bytes(static_cast<size_t>(count) * kFrameBytes);
    for (int i = 0; i < count; ++i) {
        uint32_t value = first + static_cast<uint32_t>(i);
        memcpy(&bytes[static_cast<size_t>(i) * kFrameBytes], &value, kFrameBytes);
    }
    return bytes;
}

struct CursorSample {
    int64_t tick;
    uint32_t frame;
};

// The frame under the play cursor, and how far the write cursor leads it.
bool readCursor(IDirectSoundBuffer *buffer, DWORD size, uint32_t *frame, DWORD *lead)
{
    DWORD play = 0, write = 0;
    if (FAILED(buffer->GetCurrentPosition(&play, &write)))
        return false;
    *lead = (write + size - play) % size;
    void *p1 = nullptr, *p2 = nullptr;
    DWORD l1 = 0, l2 = 0;
    if (FAILED(buffer->Lock(play / kFrameBytes * kFrameBytes, kFrameBytes, &p1, &l1, &p2, &l2, 0)))
        return false;
    memcpy(frame, p1, kFrameBytes);
    buffer->Unlock(p1, l1, p2, l2);
    return true;
}

// Polls the cursor until the frame under it is first or a later one of the
// same sound; gives the moment, or 0 after timeoutMs.
int64_t waitPlaying(IDirectSoundBuffer *buffer, DWORD size, uint32_t first, uint32_t last, int timeoutMs)
{
    int64_t start = ticks();
    while (tickMs(ticks() - start) < timeoutMs) {
        uint32_t frame = 0;
        DWORD lead = 0;
        if (readCursor(buffer, size, &frame, &lead) && frame >= first && frame <= last)
            return ticks();
        Sleep(0);
    }
    return 0;
}

bool waitSoundEnded(OSALAudio *audio, LONG count, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (__atomic_load_n(&audio->mSoundsEnded, __ATOMIC_ACQUIRE) >= count)
            return true;
        Sleep(10);
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : 10;
    if (seconds < 1)
        seconds = 1;
    auto *audio = new OSALAudio();
    IDirectSoundBuffer *buffer = audio->mSoundBuffer;
    if (!buffer || !audio->mPumpThread) {
        fprintf(stderr, "audiobench: no sound device (run it through tools/pulse run)\n");
        return 1;
    }
    const DWORD size = static_cast<DWORD>(audio->bufferBytes());
    const double ticksPerSecond = 1000.0 / tickMs(1);

    // One block of the next frames, written now; its latency goes to `into`
    // once the frame under the play cursor is one of its own.
    uint32_t next = 1;
    auto playOneBlock = [&](std::vector<double> &into) {
        std::vector<unsigned char> block = frames(next, kBlockFrames);
        int64_t written = ticks();
        audio->streamOutWrite(block.data(), static_cast<int>(block.size()));
        int64_t playing = waitPlaying(buffer, size, next, next + kBlockFrames - 1, 5000);
        if (playing)
            into.push_back(tickMs(playing - written));
        next += kBlockFrames;
    };

    // ---- a sound started on an idle device ----
    std::vector<double> startLatency;
    for (int trial = 0; trial < 30; ++trial) {
        LONG ended = __atomic_load_n(&audio->mSoundsEnded, __ATOMIC_ACQUIRE);
        playOneBlock(startLatency);
        waitSoundEnded(audio, ended + 1, 5000);
        Sleep(20);
    }

    // ---- a running stream fed just in time ----
    std::vector<double> streamLatency;
    LONG ended = __atomic_load_n(&audio->mSoundsEnded, __ATOMIC_ACQUIRE);
    LONG underrunsBefore = audio->mUnderruns;
    for (int i = 0; i < 300; ++i)
        playOneBlock(streamLatency);
    LONG streamUnderruns = audio->mUnderruns - underrunsBefore;
    waitSoundEnded(audio, ended + 1, 5000);

    // ---- blocks at the pace of the wall clock ----
    const int blocks = seconds * 100;
    const uint32_t pacedFirst = next;
    std::vector<int64_t> writtenAt(blocks);
    std::vector<CursorSample> samples;
    std::vector<double> leads;
    samples.reserve(static_cast<size_t>(seconds) * 1200 + 2000);
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        while (watching) {
            uint32_t frame = 0;
            DWORD lead = 0;
            if (readCursor(buffer, size, &frame, &lead)) {
                samples.push_back({ticks(), frame});
                if (audio->streaming())
                    leads.push_back(static_cast<double>(lead) * 1000.0 / (kRate * kFrameBytes));
            }
            Sleep(1);
        }
    });
    ended = __atomic_load_n(&audio->mSoundsEnded, __ATOMIC_ACQUIRE);
    underrunsBefore = audio->mUnderruns;
    double cpuBefore = pumpCpuMs(audio->mPumpThread);
    int64_t start = ticks();
    for (int i = 0; i < blocks; ++i) {
        int64_t due = start + static_cast<int64_t>(i * ticksPerSecond / 100.0);
        while (ticks() < due)
            Sleep(1);
        std::vector<unsigned char> block = frames(pacedFirst + static_cast<uint32_t>(i) * kBlockFrames, kBlockFrames);
        writtenAt[i] = ticks();
        if (audio->streamOutWrite(block.data(), static_cast<int>(block.size())) != static_cast<int>(block.size())) {
            fprintf(stderr, "audiobench: a paced block was refused\n");
            return 1;
        }
    }
    bool played = waitSoundEnded(audio, ended + 1, 30000);
    double pacedSeconds = tickMs(ticks() - start) / 1000.0;
    double pacedCpu = pumpCpuMs(audio->mPumpThread) - cpuBefore;
    LONG pacedUnderruns = audio->mUnderruns - underrunsBefore;
    watching = false;
    watcher.join();

    std::vector<double> latency;
    double behind = 0;
    size_t at = 0;
    for (int i = 0; i < blocks; ++i) {
        uint32_t first = pacedFirst + static_cast<uint32_t>(i) * kBlockFrames;
        while (at < samples.size() && (samples[at].frame < first || samples[at].tick < writtenAt[i]))
            ++at;
        if (at == samples.size())
            break;
        latency.push_back(tickMs(samples[at].tick - writtenAt[i]));
        // The wall clock's time since the start against the device's (the
        // frames played since the first one).
        behind = tickMs(samples[at].tick - start) - (first - pacedFirst) * 1000.0 / kRate;
    }
    double lead = percentile(leads, 50);

    // ---- as fast as it is taken: write calls while the pump copies ----
    std::vector<double> takenMs, refusedMs;
    std::vector<unsigned char> big(64 * 1024, 0x11);
    cpuBefore = pumpCpuMs(audio->mPumpThread);
    int64_t fastStart = ticks();
    int64_t accepted = 0;
    while (tickMs(ticks() - fastStart) < 3000) {
        int64_t t0 = ticks();
        int n = audio->streamOutWrite(big.data(), static_cast<int>(big.size()));
        double ms = tickMs(ticks() - t0);
        (n > 0 ? takenMs : refusedMs).push_back(ms);
        accepted += n;
        if (n == 0)
            Sleep(1);
    }
    double fastSeconds = tickMs(ticks() - fastStart) / 1000.0;
    double fastCpu = pumpCpuMs(audio->mPumpThread) - cpuBefore;

    auto latencyLine = [&](const char *what, const std::vector<double> &ms, const char *extra) {
        printf("%-38s p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%zu blocks)%s\n", what, percentile(ms, 50),
               percentile(ms, 99), percentile(ms, 100), ms.size(), extra);
    };
    auto goal = [&](const std::vector<double> &ms) { return percentile(ms, 99) <= lead + 20 ? "met" : "NOT met"; };
    char text[160];
    printf("audiobench: 10 ms blocks of 44100 Hz stereo 16-bit PCM\n");
    printf("%-38s %6.1f ms\n", "write cursor lead (DirectSound)", lead);
    printf("write-to-play latency (goal: p99 within the lead plus 20 ms, %.1f ms)\n", lead + 20);
    snprintf(text, sizeof text, "  goal %s", goal(startLatency));
    latencyLine("  sound started on an idle device", startLatency, text);
    snprintf(text, sizeof text, "  goal %s, %ld underruns", goal(streamLatency), static_cast<long>(streamUnderruns));
    latencyLine("  running stream fed just in time", streamLatency, text);
    snprintf(text, sizeof text, "  %ld underruns%s", static_cast<long>(pacedUnderruns),
             played ? "" : ", did not end in time");
    latencyLine("  at the wall clock's pace", latency, text);
    printf("%-38s %6.1f ms after %d s (what the last line holds beyond the others)\n",
           "  device clock behind the wall clock", behind, seconds);
    printf("write call, bytes taken              p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (%zu calls, %.1f MiB)\n",
           percentile(takenMs, 50), percentile(takenMs, 99), percentile(takenMs, 100), takenMs.size(),
           static_cast<double>(accepted) / (1 << 20));
    printf("write call, refused (ring full)      p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (%zu calls)\n",
           percentile(refusedMs, 50), percentile(refusedMs, 99), percentile(refusedMs, 100), refusedMs.size());
    printf("pump CPU per second of audio         paced %6.2f ms   full ring %6.2f ms\n", pacedCpu / pacedSeconds,
           fastCpu / fastSeconds);
    fflush(stdout);
    // The device ends before the process does, and with it the sound driver.
    delete audio;
    return 0;
}
