// What reaches the sound server: the library plays what a guest writes
// through the audio exports on Wine's DirectSound, on a null sink of the
// test's own whose monitor the sound server's recorder (parec, a second
// process that heard_run.sh starts) writes into a file; the test reads it
// back. The sink has the device's format, 44100 Hz stereo 16-bit, so samples
// arrive bit for bit. Each frame carries its own number, spread over the
// whole range of both samples by an odd multiplier (modulo 2^32 its inverse
// gives the number back), so every frame found shows where it belongs, and
// a sample changed on the way reads as no frame at all. Silence is the only
// frame that is 0.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "display/system.h"
#include "kestle.h"
#include "release_device.h"
#include "wait.h"

namespace {

constexpr uint32_t kSpread = 2654435761u;
constexpr uint32_t inverseOf(uint32_t odd)
{
    // Newton's steps: each doubles the bits that are right.
    uint32_t x = odd;
    for (int i = 0; i < 5; ++i)
        x *= 2u - odd * x;
    return x;
}
constexpr uint32_t kUnspread = inverseOf(kSpread);
static_assert(kSpread * kUnspread == 1u);

constexpr uint32_t kRate = 44100;
// The recording after a sound holds at least this much silence before the
// test looks at it: the end of the sound has reached the recorder, and
// nothing stale follows it.
constexpr size_t kSilenceAfter = kRate / 2;

// Frames numbered first, first + 1, ... as a guest writes them.
std::vector<unsigned char> frames(uint32_t first, uint32_t count)
{
    std::vector<unsigned char> bytes(size_t{count} * 4);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = (first + i) * kSpread;
        memcpy(&bytes[size_t{i} * 4], &value, 4);
    }
    return bytes;
}

// The recorder's file, as it grows.
class Recording {
public:
    Recording()
    {
        const char *path = getenv("KT_HEARD_RECORDING");
        if (path && *path)
            mPath = std::string("Z:") + path;
    }
    bool known() const { return !mPath.empty(); }
    const std::string &path() const { return mPath; }
    // Whole frames recorded so far.
    size_t frames() const
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(mPath.c_str(), GetFileExInfoStandard, &data))
            return 0;
        return static_cast<size_t>((uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow) / 4);
    }
    // The frames recorded from `first` on.
    std::vector<uint32_t> from(size_t first) const
    {
        std::vector<uint32_t> out;
        HANDLE file = CreateFileA(mPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return out;
        LARGE_INTEGER size, start;
        start.QuadPart = static_cast<LONGLONG>(first) * 4;
        if (GetFileSizeEx(file, &size) && size.QuadPart > start.QuadPart &&
            SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
            out.resize(static_cast<size_t>((size.QuadPart - start.QuadPart) / 4));
            DWORD got = 0;
            if (!ReadFile(file, out.data(), static_cast<DWORD>(out.size() * 4), &got, nullptr))
                got = 0;
            out.resize(got / 4);
        }
        CloseHandle(file);
        return out;
    }

private:
    std::string mPath;
};

// One sound the guest wrote: frames numbered from first; a sound cut short
// by a standby may end early.
struct Sound {
    uint32_t first;
    uint32_t count;
    bool mayBeCut = false;
};

// What the recording holds, walked frame by frame against the sounds.
struct Heard {
    // The first frame out of place, told for the failure message; "" if none.
    std::string fault;
    // Frames found of each sound, in order from its first.
    std::vector<uint32_t> found;
    // Runs of silence inside a sound, between two of its frames.
    int gaps = 0;
    // Frames of silence recorded after the last frame found.
    size_t silenceAfter = 0;
};

std::string at(size_t frame)
{
    char text[64];
    snprintf(text, sizeof text, "%.4f s into the recording", static_cast<double>(frame) / kRate);
    return text;
}

Heard listen(const std::vector<uint32_t> &recorded, const std::vector<Sound> &sounds)
{
    Heard heard;
    heard.found.assign(sounds.size(), 0);
    size_t s = 0, last = 0;
    bool anything = false, inGap = false;
    for (size_t i = 0; i < recorded.size(); ++i) {
        const uint32_t value = recorded[i];
        uint32_t &got = heard.found[s];
        if (value == 0) {
            inGap = got > 0 && got < sounds[s].count;
            continue;
        }
        const uint32_t number = value * kUnspread;
        if (got < sounds[s].count && number == sounds[s].first + got) {
            heard.gaps += inGap;
        } else if (s + 1 < sounds.size() && number == sounds[s + 1].first &&
                   (got == sounds[s].count || (got > 0 && sounds[s].mayBeCut))) {
            ++s;
        } else {
            char text[256];
            const Sound &sound = sounds[s];
            const uint32_t expected = sound.first + got;
            if (number >= sound.first && number < expected)
                snprintf(text, sizeof text, "frame %u again (a repeat, or stale sound)", number);
            else if (got < sound.count && number > expected && number < sound.first + sound.count)
                snprintf(text, sizeof text, "frames %u to %u missing before frame %u", expected, number - 1, number);
            else
                snprintf(text, sizeof text, "0x%08X (frame %u), which is no frame of this sound (stale, or changed "
                         "on the way)", value, number);
            heard.fault = std::string(text) + " at " + at(i) + ", after " + std::to_string(got) +
                          " frames of the sound from " + std::to_string(sound.first);
            return heard;
        }
        inGap = false;
        ++heard.found[s];
        last = i;
        anything = true;
    }
    heard.silenceAfter = anything ? recorded.size() - last - 1 : 0;
    return heard;
}

struct Counts {
    LONG underruns;
    LONG soundsEnded;
};

Counts counts(OSALAudio *audio)
{
    return {__atomic_load_n(&audio->mUnderruns, __ATOMIC_ACQUIRE),
            __atomic_load_n(&audio->mSoundsEnded, __ATOMIC_ACQUIRE)};
}

void write(const std::vector<unsigned char> &bytes)
{
    ASSERT_EQ(osal_audio_streamout_write(bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
}

// Waits until the pump has stopped the buffer, all written having played.
bool waitSoundEnded(OSALAudio *audio, LONG endedBefore)
{
    return kt::waitUntil(
        [&] { return counts(audio).soundsEnded > endedBefore && !audio->streaming() && audio->mRing.usedBytes() == 0; },
        60000);
}

// A guest's ways of writing, each returning the sounds it wrote, and how
// often the pump had ended a sound before its last write.
using Writer = std::function<std::vector<Sound>(OSALAudio *audio, LONG *endedBeforeLast)>;

TEST(AudioHeard, EveryFrameReachesTheSoundServerOnceAndInOrder)
{
    Recording recording;
    ASSERT_TRUE(recording.known()) << "KT_HEARD_RECORDING names no recording: run the test through heard_run.sh";
    ASSERT_GT(recording.frames(), 0u) << "nothing recorded in " << recording.path();
    OSALAudio *audio = OSALAudio::getInstance();
    ASSERT_NE(audio, nullptr);
    ASSERT_NE(audio->mDirectSoundDevice, nullptr) << "the test run's sound server should be reachable";
    ASSERT_NE(audio->mPumpThread, nullptr);
    // Wine's stream to the sound server starts with the process's first
    // sound, nothing queued in front of it, where a busy machine can cost
    // that sound its start, out of any library's sight. A first sound that
    // nobody checks gets the stream going; it has been heard once the
    // recording holds silence after it.
    {
        LONG ended = counts(audio).soundsEnded;
        const size_t from = recording.frames();
        write(frames(90000001, kRate / 2));
        ASSERT_TRUE(waitSoundEnded(audio, ended)) << "the library did not end the first sound";
        ASSERT_TRUE(kt::waitUntil(
            [&] {
                const std::vector<uint32_t> heard = recording.from(from);
                size_t quiet = 0;
                while (quiet < heard.size() && heard[heard.size() - 1 - quiet] == 0)
                    ++quiet;
                return quiet < heard.size() && quiet >= kSilenceAfter;
            },
            30000))
            << "the first sound was not heard in " << recording.path();
        EXPECT_EQ(osal_audio_streamout_standby(), 0);
    }

    // No sound lasts a whole number of 10 ms: DirectSound mixes 10 ms at a
    // time, so each end falls inside a mix, and what lies behind it in the
    // buffer is heard unless the library made it silence.
    struct Case {
        const char *name;
        Writer play;
        // Runs of silence inside the sound that must be found (each the
        // library's underrun); -1: whatever the machine's pace gives, each
        // one an underrun all the same.
        int gaps;
    };
    // Each sound is numbered from a first frame of its own, so that what is
    // left of one in the buffer cannot pass for another.
    const Case cases[] = {
        {"three seconds in one block",
         [](OSALAudio *audio, LONG *endedBeforeLast) {
             *endedBeforeLast = counts(audio).soundsEnded;
             write(frames(1, 3 * kRate + 123));
             return std::vector<Sound>{{1, 3 * kRate + 123}};
         },
         0},
        {"10 ms blocks, written as they play, 300 ms ahead",
         [](OSALAudio *audio, LONG *endedBeforeLast) {
             *endedBeforeLast = counts(audio).soundsEnded;
             const uint32_t total = 3 * kRate + 200, block = kRate / 100;
             const int64_t start = kt::nowMs();
             for (uint32_t done = 0; done < total; done += block) {
                 while (static_cast<int64_t>(done) * 1000 / kRate > kt::nowMs() - start + 300)
                     Sleep(2);
                 write(frames(10000001 + done, std::min(block, total - done)));
             }
             return std::vector<Sound>{{10000001, total}};
         },
         -1},
        {"a writer that pauses until the device has run dry, twice",
         [](OSALAudio *audio, LONG *endedBeforeLast) {
             const uint32_t parts[] = {kRate + 37, kRate / 2 + 111, kRate * 7 / 10 + 5};
             const uint32_t first = 20000001;
             uint32_t next = first;
             for (uint32_t part : parts) {
                 if (next > first) {
                     EXPECT_TRUE(waitSoundEnded(audio, *endedBeforeLast)) << "the part before frame " << next
                                                                           << " did not end";
                     Sleep(300);
                 }
                 *endedBeforeLast = counts(audio).soundsEnded;
                 write(frames(next, part));
                 next += part;
             }
             return std::vector<Sound>{{first, next - first}};
         },
         2},
        {"a standby in the middle, then a new sound",
         [](OSALAudio *audio, LONG *endedBeforeLast) {
             write(frames(30000001, 3 * kRate + 123));
             EXPECT_TRUE(kt::waitUntil([&] { return audio->streaming(); }, 30000));
             Sleep(1000);
             EXPECT_EQ(osal_audio_streamout_standby(), 0);
             *endedBeforeLast = counts(audio).soundsEnded;
             write(frames(40000001, kRate + 77));
             return std::vector<Sound>{{30000001, 3 * kRate + 123, true}, {40000001, kRate + 77}};
         },
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Whatever came before has ended: the recording from here on holds
        // this sound alone.
        const size_t from = recording.frames();
        const Counts before = counts(audio);
        LONG endedBeforeLast = 0;
        const std::vector<Sound> sounds = c.play(audio, &endedBeforeLast);
        ASSERT_TRUE(waitSoundEnded(audio, endedBeforeLast)) << "the library did not end the sound";
        const Counts after = counts(audio);

        // Until the recorder has caught up: all of it, and silence after.
        Heard heard;
        auto complete = [&] {
            heard = listen(recording.from(from), sounds);
            return !heard.fault.empty() ||
                   (heard.found.back() == sounds.back().count && heard.silenceAfter >= kSilenceAfter);
        };
        kt::waitUntil(complete, 30000);
        ASSERT_EQ(heard.fault, "") << "in " << recording.path() << " from frame " << from;
        for (size_t s = 0; s < sounds.size(); ++s) {
            if (sounds[s].mayBeCut) {
                EXPECT_GT(heard.found[s], 0u) << "sound " << s << " was not heard at all";
            } else {
                EXPECT_EQ(heard.found[s], sounds[s].count) << "frames of sound " << s << " heard, in order";
            }
        }
        EXPECT_GE(heard.silenceAfter, kSilenceAfter) << "silence after the last frame";
        EXPECT_EQ(heard.gaps, after.underruns - before.underruns)
            << "every gap in the sound is an underrun the library counted, and every underrun a gap";
        if (c.gaps >= 0) {
            EXPECT_EQ(heard.gaps, c.gaps);
        }
        // The next case's sound is a stream of its own.
        EXPECT_EQ(osal_audio_streamout_standby(), 0);
    }
}

} // namespace
