// The audio pump against a stand-in DirectSound whose play cursor moves with
// time as DirectSound's does and which records every frame it plays. Written
// frames carry their own numbers (from 1; silence is 0, never-written memory
// is kt::kStaleFrame), so each test compares what played, and when, with
// what was written. Cycles are driven by hand on a hand-moved clock, or by
// the device's own pump thread in real time; the shutdown cases run in
// processes of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "child.h"
#include "display/system.h"
#include "guard_hold.h"
#include "kestle.h"
#include "roles.h"
#include "standin_dsound.h"
#include "wait.h"

namespace {

using kt::PlayedFrame;
using kt::StandInBuffer;

constexpr int64_t kBufferBytes = StandInBuffer::kBytes;
constexpr int64_t kRingBytes = RingBuffer::kSize;
constexpr uint32_t kFramesPerSecond = 44100;

int64_t tickNow()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::string describe(const std::vector<PlayedFrame> &played, size_t at)
{
    std::string text = "frames from " + std::to_string(at) + ":";
    for (size_t i = at; i < played.size() && i < at + 6; ++i)
        text += " " + std::to_string(played[i].value);
    return text;
}

// Checks that played[at...] holds first, first + 1, ... for count frames;
// gives the index after them (or played.size() on a mismatch).
size_t expectRun(const std::vector<PlayedFrame> &played, size_t at, uint32_t first, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (at + i >= played.size()) {
            ADD_FAILURE() << "only " << i << " of " << count << " frames from " << first << " played";
            return played.size();
        }
        if (played[at + i].value != first + i) {
            ADD_FAILURE() << "frame " << first + i << " expected; " << describe(played, at + i);
            return played.size();
        }
    }
    return at + count;
}

// Checks that everything from played[at] on is silence.
void expectOnlySilenceFrom(const std::vector<PlayedFrame> &played, size_t at)
{
    for (size_t i = at; i < played.size(); ++i)
        if (played[i].value != 0) {
            ADD_FAILURE() << "silence expected after the sound; " << describe(played, i);
            return;
        }
}

// ---- cycles driven by hand ----

// A device whose set-up found no sound device (so no pump thread runs),
// given a stand-in buffer on a hand-moved clock, which the performance
// counter follows too.
struct HandRig {
    HandRig()
    {
        kt::useStandIn(nullptr);
        audio = std::make_unique<OSALAudio>();
        kt::useDirectSound();
        audio->mSoundBuffer = buffer.handOut();
        StandInBuffer::driveCounter(&buffer);
    }
    ~HandRig() { StandInBuffer::driveCounter(nullptr); }
    int write(const std::vector<unsigned char> &bytes)
    {
        return audio->streamOutWrite(bytes.data(), static_cast<int>(bytes.size()));
    }
    StandInBuffer buffer{StandInBuffer::Clock::Manual};
    std::unique_ptr<OSALAudio> audio;
};

TEST(AudioPump, AStoppedBufferStartsAtOffsetZeroWithTheBacklogAndSilenceBehindIt)
{
    struct Case {
        const char *name;
        uint32_t frames;
        uint32_t moved;
    };
    const Case cases[] = {
        {"a short sound", 1000, 1000},
        {"just under 10 MiB", 0x9FFFFC / 4, 0x9FFFFC / 4},
        {"more than a cycle moves", 0xA00000 / 4 + 10, 0xA00000 / 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HandRig rig;
        ASSERT_EQ(rig.write(kt::numberedFrames(1, c.frames)), static_cast<int>(c.frames * 4));
        rig.audio->pump();

        EXPECT_EQ(rig.buffer.positionsSet(), std::vector<DWORD>{0}) << "play starts where the bytes went";
        ASSERT_FALSE(rig.buffer.locks().empty());
        EXPECT_EQ(rig.buffer.locks()[0].offset, 0u);
        EXPECT_EQ(rig.buffer.plays(), std::vector<DWORD>{DSBPLAY_LOOPING});
        EXPECT_EQ(rig.buffer.volume(), DSBVOLUME_MAX);
        EXPECT_TRUE(rig.audio->streaming());
        EXPECT_EQ(rig.audio->mOutPos, static_cast<int32_t>(c.moved * 4));
        EXPECT_EQ(rig.audio->mRing.usedBytes(), static_cast<int>((c.frames - c.moved) * 4));
        size_t bad = kBufferBytes;
        for (DWORD at = 0; at < kBufferBytes && bad == kBufferBytes; at += 4)
            if (rig.buffer.frameAt(at) != (at < c.moved * 4 ? at / 4 + 1 : 0))
                bad = at;
        EXPECT_EQ(bad, kBufferBytes) << "the sound, then silence over the whole rest of the buffer; at offset "
                                     << bad << ": " << rig.buffer.frameAt(static_cast<DWORD>(bad % kBufferBytes));
    }
}

TEST(AudioPump, NewBytesGoBehindTheSoundAndOverwriteNothingStillToPlay)
{
    // A first sound starts the buffer, the clock moves on, a second one
    // follows. Offsets in bytes: the play cursor is at `advanceMs` of sound,
    // DirectSound's write cursor 1764 bytes (10 ms) ahead of it.
    struct Case {
        const char *name;
        uint32_t first;
        double advanceMs;
        uint32_t second;
        int64_t lockAt;  // where the second sound goes, counted from the start
        uint32_t moved;  // frames of it that fit
        int32_t endPos;  // mOutPos afterwards
        LONG underruns;
    };
    const Case cases[] = {
        {"right behind the first", 4410, 50, 1000, 17640, 1000, 21640, 0},
        {"across the end of the buffer", 2500000, 1000, 150000, 10000000, 150000, 16000, 0},
        {"up to the end exactly", 2500000, 1000, 146000, 10000000, 146000, 0, 0},
        {"only as much as has played", 2621440, 100, 50000, 10485760, 28970, 17640, 0},
        {"no earlier than the write cursor", 1000, 20, 250, 3528 + 1764, 250, 3528 + 1764 + 1000, 1},
        {"after the cursor passed the end", 1000, 100, 250, 17640 + 1764, 250, 17640 + 1764 + 1000, 1},
    };
    constexpr uint32_t kSecondFirst = 10000001;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HandRig rig;
        ASSERT_EQ(rig.write(kt::numberedFrames(1, c.first)), static_cast<int>(c.first * 4));
        rig.audio->pump();
        ASSERT_EQ(rig.audio->mRing.usedBytes(), 0);
        rig.buffer.advanceMs(c.advanceMs);
        ASSERT_EQ(rig.write(kt::numberedFrames(kSecondFirst, c.second)), static_cast<int>(c.second * 4));
        rig.audio->pump();

        ASSERT_EQ(rig.buffer.locks().size(), 2u);
        EXPECT_EQ(rig.buffer.locks()[1].offset, static_cast<DWORD>(c.lockAt % kBufferBytes));
        EXPECT_EQ(rig.audio->mRing.usedBytes(), static_cast<int>((c.second - c.moved) * 4)) << "kept for later";
        EXPECT_EQ(rig.audio->mOutPos, c.endPos);
        EXPECT_EQ(rig.audio->mUnderruns, c.underruns);
        EXPECT_EQ(rig.buffer.plays().size(), 1u) << "a playing buffer is not started again";

        // Every frame from the play cursor on, once round the buffer: what
        // of the first sound has yet to play, the second where it went,
        // silence everywhere else.
        const int64_t played = rig.buffer.playCursor();
        ASSERT_EQ(played, static_cast<int64_t>(c.advanceMs * 176.4));
        int64_t bad = -1;
        for (int64_t s = played; s < played + kBufferBytes && bad < 0; s += 4) {
            uint32_t want = 0;
            if (s < c.first * 4)
                want = static_cast<uint32_t>(s / 4 + 1);
            else if (s >= c.lockAt && s < c.lockAt + c.moved * 4)
                want = kSecondFirst + static_cast<uint32_t>((s - c.lockAt) / 4);
            if (rig.buffer.frameAt(static_cast<DWORD>(s % kBufferBytes)) != want)
                bad = s;
        }
        EXPECT_EQ(bad, -1) << "at " << bad << " from the start: "
                           << rig.buffer.frameAt(static_cast<DWORD>(bad % kBufferBytes));
    }
}

TEST(AudioPump, AnEmptyRingStopsTheBufferOnlyOnceTheLastFrameHasPlayed)
{
    HandRig rig;
    ASSERT_EQ(rig.write(kt::numberedFrames(1, 1000)), 4000); // 22.7 ms
    rig.audio->pump();
    ASSERT_TRUE(rig.buffer.playing());
    rig.audio->pump();
    rig.buffer.advanceMs(20);
    rig.audio->pump();
    EXPECT_TRUE(rig.buffer.playing()) << "stopped before the last frames played";
    EXPECT_EQ(rig.buffer.stops(), 0);
    EXPECT_TRUE(rig.audio->streaming());

    // The last frame has passed the play cursor; the sound device is still
    // passing it on for a second.
    rig.buffer.advanceMs(5);
    rig.audio->pump();
    EXPECT_TRUE(rig.buffer.playing()) << "stopped while the sound device still passed the last frames on";
    EXPECT_EQ(rig.buffer.stops(), 0);

    rig.buffer.advanceMs(1000);
    rig.audio->pump();
    EXPECT_FALSE(rig.buffer.playing());
    EXPECT_EQ(rig.buffer.stops(), 1);
    EXPECT_FALSE(rig.audio->streaming());
    std::vector<PlayedFrame> played = rig.buffer.played();
    size_t at = expectRun(played, 0, 1, 1000);
    expectOnlySilenceFrom(played, at);

    // Stopped with nothing to play: a cycle touches nothing.
    int locks = rig.buffer.lockCalls();
    rig.audio->pump();
    EXPECT_EQ(rig.buffer.lockCalls(), locks);
    EXPECT_EQ(rig.buffer.stops(), 1);
    EXPECT_EQ(rig.buffer.plays().size(), 1u);
}

TEST(AudioPump, AfterStandbyNewBytesPlayFromTheirFirstFrame)
{
    HandRig rig;
    ASSERT_EQ(rig.write(kt::numberedFrames(1, 4410)), 17640);
    rig.audio->pump();
    rig.buffer.advanceMs(30);
    EXPECT_EQ(rig.audio->standby(), 0);
    EXPECT_FALSE(rig.buffer.playing());
    ASSERT_EQ(rig.write(kt::numberedFrames(500001, 2000)), 8000);
    rig.audio->pump();
    EXPECT_TRUE(rig.buffer.playing());
    EXPECT_EQ(rig.buffer.positionsSet(), (std::vector<DWORD>{0, 0})) << "play restarts where the new bytes went";
    rig.buffer.advanceMs(100);

    std::vector<PlayedFrame> played = rig.buffer.played();
    size_t at = expectRun(played, 0, 1, 1323); // 30 ms
    at = expectRun(played, at, 500001, 2000);
    expectOnlySilenceFrom(played, at);
}

TEST(AudioPump, NewBytesAfterASoundRanOutAreAnUnderrunUnlessAStandbyCameBetween)
{
    // A guest's stream that ran dry: the buffer stopped at the end of the
    // sound, and silence played until the next bytes came. A standby says
    // the stream ended on purpose.
    struct Case {
        const char *name;
        bool standbyWhilePlaying;
        bool standbyAfterTheEnd;
        LONG underruns;
    };
    const Case cases[] = {
        {"the sound ran out", false, false, 1},
        {"standby while it played", true, false, 0},
        {"standby once it had run out", false, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HandRig rig;
        ASSERT_EQ(rig.write(kt::numberedFrames(1, 1000)), 4000); // 22.7 ms
        rig.audio->pump();
        rig.buffer.advanceMs(10);
        if (c.standbyWhilePlaying) {
            EXPECT_EQ(rig.audio->standby(), 0);
        }
        rig.audio->pump();
        // Past the end, and the second the sound device takes to pass it on.
        rig.buffer.advanceMs(20 + 1000);
        rig.audio->pump();
        EXPECT_FALSE(rig.buffer.playing());
        if (c.standbyAfterTheEnd) {
            EXPECT_EQ(rig.audio->standby(), 0);
        }
        rig.buffer.advanceMs(100);
        ASSERT_EQ(rig.write(kt::numberedFrames(500001, 2000)), 8000);
        rig.audio->pump();
        rig.buffer.advanceMs(100);
        rig.audio->pump();

        EXPECT_EQ(rig.audio->mUnderruns, c.underruns);
        std::vector<PlayedFrame> played = rig.buffer.played();
        size_t at = expectRun(played, 0, 1, c.standbyWhilePlaying ? 441 : 1000);
        while (at < played.size() && played[at].value == 0)
            ++at;
        expectOnlySilenceFrom(played, expectRun(played, at, 500001, 2000));
    }
}

TEST(AudioPump, ARefusedLockKeepsTheBytesAndEndsTheCycle)
{
    HandRig rig;
    rig.buffer.mRefuseLocks = true;
    ASSERT_EQ(rig.write(kt::numberedFrames(1, 125)), 500);
    rig.audio->pump();
    EXPECT_EQ(rig.buffer.lockCalls(), OSALAudio::kLockAttempts) << "bounded retries, not an endless spin";
    EXPECT_TRUE(rig.buffer.plays().empty());
    EXPECT_EQ(rig.audio->mRing.usedBytes(), 500) << "nothing taken from the ring";
    EXPECT_EQ(rig.audio->mOutPos, 0);
    EXPECT_FALSE(rig.audio->streaming());

    rig.buffer.mRefuseLocks = false;
    rig.audio->pump();
    EXPECT_EQ(rig.audio->mRing.usedBytes(), 0);
    rig.buffer.advanceMs(10);
    std::vector<PlayedFrame> played = rig.buffer.played();
    expectOnlySilenceFrom(played, expectRun(played, 0, 1, 125));
}

TEST(AudioPump, ALostBufferIsRestoredAndFilled)
{
    HandRig rig;
    rig.buffer.mLost = true;
    ASSERT_EQ(rig.write(kt::numberedFrames(1, 200)), 800);
    rig.audio->pump();
    EXPECT_EQ(rig.buffer.restores(), 1);
    EXPECT_EQ(rig.buffer.lockCalls(), 2);
    EXPECT_EQ(rig.audio->mRing.usedBytes(), 0);
    EXPECT_EQ(rig.buffer.plays().size(), 1u);
    rig.buffer.advanceMs(10);
    std::vector<PlayedFrame> played = rig.buffer.played();
    expectOnlySilenceFrom(played, expectRun(played, 0, 1, 200));
}

TEST(AudioPump, APumpHeldUpForMoreThanALapLetsNothingOfTheOldLapPlayAfterIt)
{
    // The pump is held up (a suspended process) while the looping buffer
    // goes round more than once: it played all that had been written, and
    // then went on playing it again. Once the pump is back, the sound from
    // before the hold-up plays no more; what the ring still held, and what
    // comes after, plays from its first frame; the hold-up is one underrun.
    struct Case {
        const char *name;
        uint32_t sound;  // frames written before the hold-up
        double heldMs;
        bool newBytesFirst;  // written before the pump's first cycle after it
    };
    const Case cases[] = {
        {"a lap and a half second, new bytes waiting", 88200, 60500, true},
        {"two laps and more, new bytes waiting", 88200, 120700, true},
        {"new bytes only after the pump came back", 88200, 60500, false},
        {"a backlog in the ring", 65 * kFramesPerSecond, 60500, true},
    };
    constexpr uint32_t kNewFirst = 100000001, kNew = 22050;
    constexpr uint32_t kLapFrames = kBufferBytes / 4;
    constexpr uint32_t kLeadFrames = StandInBuffer::kLeadBytes / 4;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HandRig rig;
        ASSERT_EQ(rig.write(kt::numberedFrames(1, c.sound)), static_cast<int>(c.sound * 4));
        rig.audio->pump();
        rig.buffer.advanceMs(10);
        rig.audio->pump();
        const uint32_t moved = c.sound - static_cast<uint32_t>(rig.audio->mRing.usedBytes() / 4);
        rig.buffer.advanceMs(c.heldMs);
        const int64_t back = rig.buffer.now();
        const std::vector<unsigned char> newBytes = kt::numberedFrames(kNewFirst, kNew);
        if (c.newBytesFirst) {
            ASSERT_EQ(rig.write(newBytes), static_cast<int>(kNew * 4));
        }
        rig.audio->pump();
        if (!c.newBytesFirst) {
            ASSERT_EQ(rig.write(newBytes), static_cast<int>(kNew * 4));
        }
        // Cycles until the pump has stopped the buffer with nothing left to
        // play, or everything has had time to play and more.
        const int cycles = static_cast<int>((c.sound - moved + kNew) / 2205) + 20;
        for (int i = 0; i < cycles && (rig.audio->streaming() || rig.audio->mRing.usedBytes() > 0); ++i) {
            rig.buffer.advanceMs(50);
            rig.audio->pump();
        }
        rig.buffer.advanceMs(1000);

        EXPECT_EQ(rig.audio->mUnderruns, 1) << "one underrun for the hold-up";
        std::vector<PlayedFrame> played = rig.buffer.played();
        // Before and during the hold-up: all that was in the buffer, once
        // round (and then round again, which nothing could stop).
        expectRun(played, 0, 1, std::min(c.sound, kLapFrames));
        size_t at = 0;
        while (at < played.size() && played[at].tick < back)
            ++at;
        ASSERT_GT(at, 0u);
        // What DirectSound had already taken, up to its write cursor, may
        // still go on with the old lap ...
        size_t taken = 0;
        while (taken < kLeadFrames && at < played.size() && played[at].value != 0 &&
               played[at].value == played[at - 1].value + 1 && played[at].value <= c.sound) {
            ++at;
            ++taken;
        }
        // ... then nothing more of it: maybe silence, what the ring held,
        // the new bytes from their first frame, and only silence after.
        while (at < played.size() && played[at].value == 0)
            ++at;
        if (c.sound > moved)
            at = expectRun(played, at, moved + 1, c.sound - moved);
        at = expectRun(played, at, kNewFirst, kNew);
        expectOnlySilenceFrom(played, at);
    }
}

// ---- the pump thread in real time ----

// A device set up on the stand-in: it runs its own pump thread.
struct PlaybackRig {
    PlaybackRig()
    {
        kt::useStandIn(&device);
        audio = std::make_unique<OSALAudio>();
        kt::useDirectSound();
    }
    // Once the device has gone, so have the DirectSound objects it made.
    ~PlaybackRig()
    {
        audio.reset();
        EXPECT_TRUE(device.released()) << device.references() << " references to the sound device left";
        EXPECT_TRUE(buffer.released());
        EXPECT_EQ(buffer.references(), 0) << "references to the buffer or its notify interface left";
    }
    // Writes count frames numbered from first in one block (so that no pause
    // of the test can come between them); gives the moment it was handed over.
    int64_t writeFrames(uint32_t first, uint32_t count)
    {
        int64_t when = tickNow();
        std::vector<unsigned char> block = kt::numberedFrames(first, count);
        EXPECT_EQ(audio->streamOutWrite(block.data(), static_cast<int>(block.size())), static_cast<int>(block.size()));
        return when;
    }
    // How often the pump has stopped the buffer because all had played.
    LONG soundsEnded() const { return __atomic_load_n(&audio->mSoundsEnded, __ATOMIC_ACQUIRE); }
    bool waitSoundsEnded(LONG count)
    {
        return kt::waitUntil([&] { return soundsEnded() >= count; });
    }
    StandInBuffer buffer;
    kt::StandInDevice device{&buffer};
    std::unique_ptr<OSALAudio> audio;
};

TEST(AudioPlayback, EveryFrameOfASecondPlaysOnceAndInOrderThenOnlySilence)
{
    PlaybackRig rig;
    ASSERT_NE(rig.audio->mPumpThread, nullptr);
    int64_t written = rig.writeFrames(1, kFramesPerSecond);
    ASSERT_TRUE(rig.waitSoundsEnded(1));
    EXPECT_FALSE(rig.buffer.playing());

    std::vector<PlayedFrame> played = rig.buffer.played();
    size_t end = expectRun(played, 0, 1, kFramesPerSecond);
    expectOnlySilenceFrom(played, end);
    ASSERT_FALSE(played.empty());
    EXPECT_GE(played[0].tick, written) << "played before it was written";
    EXPECT_EQ(rig.audio->mUnderruns, 0);
}

TEST(AudioPlayback, AWriterFasterThanPlaybackIsHeldBack)
{
    PlaybackRig rig;
    struct Sample {
        int64_t tick;
        int64_t accepted;
    };
    std::vector<Sample> samples;
    std::atomic<bool> stop{false};
    // 100 ms blocks, as fast as the device takes them, for three seconds.
    std::thread writer([&] {
        uint32_t next = 1;
        int64_t accepted = 0;
        while (!stop) {
            std::vector<unsigned char> block = kt::numberedFrames(next, 4410);
            int n;
            while ((n = rig.audio->streamOutWrite(block.data(), static_cast<int>(block.size()))) == 0 && !stop)
                Sleep(1);
            if (n == 0)
                break;
            ASSERT_EQ(n, static_cast<int>(block.size()));
            accepted += n;
            next += 4410;
            samples.push_back({tickNow(), accepted});
        }
    });
    Sleep(3000);
    stop = true;
    writer.join();
    rig.audio.reset(); // the pump ends and the buffer stops
    std::vector<PlayedFrame> played = rig.buffer.played();

    ASSERT_FALSE(samples.empty());
    EXPECT_GT(samples.back().accepted, kRingBytes) << "the writer should have filled the ring and been refused";
    // A writer held up by the machine may leave the cursor a moment of
    // silence (an underrun); apart from that, what played is the stream.
    std::vector<PlayedFrame> sound;
    std::copy_if(played.begin(), played.end(), std::back_inserter(sound),
                 [](const PlayedFrame &f) { return f.value != 0; });
    // Accepted bytes never ran ahead of played ones by more than the ring
    // and the buffer hold.
    for (const Sample &s : samples) {
        auto upTo = std::upper_bound(sound.begin(), sound.end(), s.tick,
                                     [](int64_t t, const PlayedFrame &f) { return t < f.tick; });
        int64_t playedBytes = static_cast<int64_t>(upTo - sound.begin()) * 4;
        if (s.accepted > playedBytes + (kRingBytes - 1) + kBufferBytes) {
            ADD_FAILURE() << s.accepted << " bytes accepted when " << playedBytes << " had played";
            break;
        }
    }
    // And nothing was lost, overwritten or played twice: every frame in order.
    ASSERT_GT(sound.size(), kFramesPerSecond);
    expectRun(sound, 0, 1, sound.size());
}

TEST(AudioPlayback, NewBytesAfterAStopPlayFromTheirFirstFrame)
{
    constexpr uint32_t kFirst = 8820, kSecond = 8820, kSecondStart = 1000001; // 200 ms each
    for (bool standby : {false, true}) {
        SCOPED_TRACE(standby ? "after standby while the first sound plays" : "after the first sound ended");
        PlaybackRig rig;
        rig.writeFrames(1, kFirst);
        if (standby) {
            ASSERT_TRUE(kt::waitUntil([&] { return rig.buffer.played().size() >= 2000; }));
            EXPECT_EQ(rig.audio->standby(), 0);
        } else {
            ASSERT_TRUE(rig.waitSoundsEnded(1));
        }
        LONG ended = rig.soundsEnded();
        int64_t written = rig.writeFrames(kSecondStart, kSecond);
        ASSERT_TRUE(rig.waitSoundsEnded(ended + 1)) << "the new sound did not play to its end";

        std::vector<PlayedFrame> played = rig.buffer.played();
        // The first sound as far as it got, silence if it ended ...
        size_t at = 0;
        while (at < played.size() && played[at].value == at + 1)
            ++at;
        if (!standby) {
            EXPECT_EQ(at, kFirst);
        }
        while (at < played.size() && played[at].value == 0)
            ++at;
        // ... and the new sound from its first frame, all of it, then silence.
        ASSERT_LT(at, played.size());
        EXPECT_EQ(played[at].value, kSecondStart) << describe(played, at);
        EXPECT_GE(played[at].tick, written);
        expectOnlySilenceFrom(played, expectRun(played, at, kSecondStart, kSecond));
    }
}

// ---- shutdown under a writer and under the pump ----

// The device is made by the exports, on a stand-in that lives until the
// process ends, and the process ends as a guest's does: WM_QUIT in the idle
// loop.
StandInBuffer *useLeakedStandIn()
{
    auto *buffer = new StandInBuffer();
    kt::useStandIn(new kt::StandInDevice(buffer));
    return buffer;
}

[[noreturn]] void quitThroughTheIdleLoop()
{
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue exists now
    PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0);
    osal_init_done(nullptr, 0);
    exit(5); // never reached
}

// Threads held inside the device (see guard_hold.h) go on only once the
// process has begun to exit: an exit step lets them go and waits for them.
HANDLE sFinished;
int sWriteResult = -2;
StandInBuffer *sHeldBuffer;
int sStandbyResult = -2;

KT_ROLE(shutdownUnderWriter)
{
    useLeakedStandIn();
    std::vector<unsigned char> second = kt::numberedFrames(1, kFramesPerSecond);
    if (osal_audio_streamout_write(second.data(), static_cast<int>(second.size())) != static_cast<int>(second.size()))
        return 3;
    sFinished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    kt::holdOnGuardedPages();
    atexit([] {
        kt::letHeldGoOn();
        if (WaitForSingleObject(sFinished, 30000) == WAIT_OBJECT_0)
            printf("the write returned %d\n", sWriteResult);
        fflush(stdout);
    });
    // A block whose second page is guarded: the write stops inside its copy.
    const DWORD page = kt::pageSize();
    auto *block = static_cast<unsigned char *>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    std::vector<unsigned char> frames = kt::numberedFrames(kFramesPerSecond + 1, 2 * page / 4);
    memcpy(block, frames.data(), 2 * page);
    kt::guardPages(block + page, page);
    std::thread([block, page] {
        sWriteResult = osal_audio_streamout_write(block, static_cast<int>(2 * page));
        SetEvent(sFinished);
    }).detach();
    if (!kt::waitHeld(30000))
        return 4;
    quitThroughTheIdleLoop();
}

KT_ROLE(shutdownUnderPumpCopy)
{
    useLeakedStandIn();
    // Five seconds: the play cursor stays far from where the next bytes go.
    std::vector<unsigned char> sound = kt::numberedFrames(1, 5 * kFramesPerSecond);
    if (osal_audio_streamout_write(sound.data(), static_cast<int>(sound.size())) != static_cast<int>(sound.size()))
        return 3;
    OSALAudio *audio = OSALSystem::getInstance()->mAudio.get();
    if (!kt::waitUntil([&] { return audio->streaming() && audio->mRing.usedBytes() == 0; }))
        return 4;
    kt::holdOnGuardedPages();
    atexit([] {
        kt::letHeldGoOn();
        OSALAudio *device = OSALSystem::getInstance()->mAudio.get();
        if (device->mPumpThread && WaitForSingleObject(device->mPumpThread, 30000) == WAIT_OBJECT_0)
            printf("the pump ended\n");
        fflush(stdout);
    });
    // The page after the end of the sound: the pump's next copy from the
    // ring stops there.
    const DWORD page = kt::pageSize();
    auto *memory = static_cast<StandInBuffer *>(audio->mSoundBuffer)->memory();
    kt::guardPages(memory + (static_cast<DWORD>(audio->mOutPos) / page + 1) * page, page);
    std::vector<unsigned char> more = kt::numberedFrames(5 * kFramesPerSecond + 1, 4 * page / 4);
    if (osal_audio_streamout_write(more.data(), static_cast<int>(more.size())) != static_cast<int>(more.size()))
        return 5;
    if (!kt::waitHeld(30000))
        return 6;
    quitThroughTheIdleLoop();
}

KT_ROLE(shutdownUnderStandby)
{
    sHeldBuffer = useLeakedStandIn();
    std::vector<unsigned char> second = kt::numberedFrames(1, kFramesPerSecond);
    if (osal_audio_streamout_write(second.data(), static_cast<int>(second.size())) != static_cast<int>(second.size()))
        return 3;
    OSALAudio *audio = OSALSystem::getInstance()->mAudio.get();
    if (!kt::waitUntil([&] { return audio->streaming(); }))
        return 4;
    sFinished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The guest's standby stops inside DirectSound's Stop.
    sHeldBuffer->holdNextStop();
    std::thread([] {
        sStandbyResult = osal_audio_streamout_standby();
        SetEvent(sFinished);
    }).detach();
    if (!sHeldBuffer->waitStopHeld(30000))
        return 5;
    atexit([] {
        sHeldBuffer->letStopGoOn();
        if (WaitForSingleObject(sFinished, 30000) == WAIT_OBJECT_0)
            printf("the standby returned %d\n", sStandbyResult);
        fflush(stdout);
    });
    quitThroughTheIdleLoop();
}

KT_ROLE(shutdownWhileStreaming)
{
    useLeakedStandIn();
    // A writer that never lets up, held back by the full ring.
    std::thread([] {
        uint32_t next = 1;
        for (;;) {
            std::vector<unsigned char> block = kt::numberedFrames(next, 4410);
            if (osal_audio_streamout_write(block.data(), static_cast<int>(block.size())) > 0)
                next += 4410;
            else
                Sleep(1);
        }
    }).detach();
    OSALAudio *audio = nullptr;
    if (!kt::waitUntil([&] { return (audio = OSALSystem::getInstance()->mAudio.get()) && audio->streaming(); }))
        return 4;
    Sleep(300);
    quitThroughTheIdleLoop();
}

TEST(AudioShutdown, EndsCleanlyWhileThreadsAreInsideTheDevice)
{
    struct Case {
        const char *role;
        std::string out;
    };
    const Case cases[] = {
        {"shutdownUnderWriter", "the write returned " + std::to_string(2 * kt::pageSize()) + "\n"},
        {"shutdownUnderPumpCopy", "the pump ended\n"},
        {"shutdownUnderStandby", "the standby returned 0\n"},
        {"shutdownWhileStreaming", ""},
    };
    for (const Case &c : cases) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(std::string(c.role) + " round " + std::to_string(round));
            kt::Finished child = kt::runRoleToEnd(c.role, {}, nullptr, 90000);
            ASSERT_TRUE(child.ended) << "the process did not start or did not end: " << child.out;
            EXPECT_EQ(child.code, 0u) << child.out << child.err;
            EXPECT_EQ(child.out, c.out);
        }
    }
}

} // namespace
