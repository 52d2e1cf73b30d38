// The audio device where the host has no sound device (the test's ALSA
// configuration names none, and no sound server is reachable): set-up ends
// early, and the exports still answer.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "audio/audio.h"
#include "display/system.h"
#include "kestle.h"

namespace {

constexpr int32_t kBufferBytes = 10584000;

// The test's environment names no ALSA device and no reachable sound server,
// but Wine may still find output through another of its drivers. Then the
// device gets a pump thread and these cases cannot be shown: ask the host
// first, and skip them all (CTest reports them as skipped) when it has one.
class NoSoundDevice : public ::testing::Environment {
public:
    void SetUp() override
    {
        IDirectSound8 *device = nullptr;
        DirectSoundCreate8(nullptr, &device, nullptr);
        if (device) {
            device->Release();
            GTEST_SKIP() << "the host offers a sound device despite the test's environment";
        }
    }
};
const auto *const kNoSoundDevice = ::testing::AddGlobalTestEnvironment(new NoSoundDevice);

std::vector<unsigned char> pattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>((i * 131 + seed) >> 3);
    return bytes;
}

TEST(AudioDevice, WithoutASoundDeviceSetUpEndsEarlyButTheFormatIsKnown)
{
    OSALAudio audio;
    EXPECT_EQ(audio.mDirectSoundDevice, nullptr);
    EXPECT_EQ(audio.mSoundBuffer, nullptr);
    EXPECT_EQ(audio.mReady, 0);
    EXPECT_EQ(audio.mPumpThread, nullptr) << "no pump thread without output";
    EXPECT_NE(audio.mHwnd, nullptr);
    EXPECT_EQ(audio.channels(), 2);
    EXPECT_EQ(audio.sampleRate(), 44100);
    EXPECT_EQ(audio.formatTag(), WAVE_FORMAT_PCM);
    EXPECT_EQ(audio.bufferBytes(), kBufferBytes);
    EXPECT_EQ(audio.mFormat.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(audio.mFormat.nBlockAlign, 4);
    EXPECT_EQ(audio.mFormat.wBitsPerSample, 16);
    // The record's own size: 36 bytes on i686, 40 on x86-64 (its format
    // pointer is aligned to 8).
    EXPECT_EQ(audio.mBufferDesc.dwSize, KESTLE_BY_ARCH(36u, 40u));
    EXPECT_EQ(audio.mBufferDesc.dwFlags, 0x181E0u);
    EXPECT_EQ(audio.mBufferDesc.lpwfxFormat, &audio.mFormat);
    // Nothing to stop, and no crash for it.
    EXPECT_EQ(audio.standby(), 0);
}

TEST(AudioDevice, WithoutOutputWritesFillTheRingAndThenAreRefused)
{
    OSALAudio audio;
    std::vector<unsigned char> block(1 << 20, 0x5A);
    int64_t total = 0;
    for (int i = 0; i < 40; ++i) {
        int n = audio.streamOutWrite(block.data(), static_cast<int>(block.size()));
        if (n == 0)
            break;
        ASSERT_EQ(n, static_cast<int>(block.size()));
        total += n;
    }
    EXPECT_EQ(total, 27 << 20) << "a block that does not fit whole is refused, not split";
    int rest = audio.mRing.freeBytes() - 1;
    std::vector<unsigned char> last(rest, 1);
    EXPECT_EQ(audio.streamOutWrite(last.data(), rest), rest);
    EXPECT_EQ(audio.mRing.usedBytes(), RingBuffer::kSize - 1);
    EXPECT_EQ(audio.streamOutWrite(last.data(), 1), 0) << "a full ring takes nothing";
    EXPECT_EQ(audio.mRing.usedBytes(), RingBuffer::kSize - 1);
}

TEST(AudioDevice, PlayFileReportsWhatCouldNotBePlayed)
{
    OSALAudio audio;
    EXPECT_EQ(audio.playFile("Z:\\no\\such\\file.wav"), 0);
    // Without a name the platform call would only stop sounds and say TRUE.
    EXPECT_EQ(audio.playFile(nullptr), 0);
    EXPECT_EQ(audio.streamInWrite("abcd", 4), 4);
}

// The exports, on this process's one device (no output here).
TEST(AudioExports, FirstCallOfAnyExportMakesTheDeviceOnce)
{
    OSALSystem *system = OSALSystem::getInstance();
    ASSERT_NE(system, nullptr);
    ASSERT_EQ(system->mAudio.get(), nullptr);
    EXPECT_EQ(osal_audio_streamin_latency(), 0);
    OSALAudio *audio = system->mAudio.get();
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(osal_audio_streamout_latency(), 0);
    EXPECT_EQ(osal_audio_streamout_channels(), 2);
    EXPECT_EQ(system->mAudio.get(), audio) << "a later call makes no second device";
}

TEST(AudioExports, AnswerTheOneFormatAndTheirConstants)
{
    struct Answer {
        const char *name;
        int32_t got;
        int32_t want;
    };
    const Answer answers[] = {
        {"streamout_channels", osal_audio_streamout_channels(), 2},
        {"streamout_format", osal_audio_streamout_format(), 1},
        {"streamout_samplerate", osal_audio_streamout_samplerate(), 44100},
        {"streamout_latency", osal_audio_streamout_latency(), 0},
        {"streamout_setVolume", osal_audio_streamout_setVolume(-10000, 7), 0},
        {"streamout_getParameters", osal_audio_streamout_getParameters(123), 0},
        {"streamout_setParameters", osal_audio_streamout_setParameters(123), 0},
        {"streamout_dump", osal_audio_streamout_dump(1, 2), 0},
        {"streamout_standby", osal_audio_streamout_standby(), 0},
        {"streamin_write", osal_audio_streamin_write("abc", 3), 3},
        {"streamin_standby", osal_audio_streamin_standby(), 0},
        {"streamin_channels", osal_audio_streamin_channels(), 2},
        {"streamin_format", osal_audio_streamin_format(), 1},
        {"streamin_samplerate", osal_audio_streamin_samplerate(), 44100},
        {"streamin_latency", osal_audio_streamin_latency(), 0},
        {"streamin_setVolume", osal_audio_streamin_setVolume(1, 2), 0},
        {"streamin_getParameters", osal_audio_streamin_getParameters(0), 0},
        {"streamin_setParameters", osal_audio_streamin_setParameters(0), 0},
        {"streamin_dump", osal_audio_streamin_dump(0, 0), 0},
        {"streamout_playfile(missing)", osal_audio_streamout_playfile("Z:\\no\\such.wav"), 0},
        {"streamout_playfile(NULL)", osal_audio_streamout_playfile(nullptr), 0},
    };
    for (const Answer &a : answers)
        EXPECT_EQ(a.got, a.want) << "osal_audio_" << a.name;
}

TEST(AudioExports, WriteTakesWholeBlocksOrNothing)
{
    EXPECT_EQ(osal_audio_streamout_write("x", 0), 0);
    OSALAudio *audio = OSALSystem::getInstance()->mAudio.get();
    ASSERT_NE(audio, nullptr);
    std::vector<unsigned char> bytes = pattern(4096, 5);
    EXPECT_EQ(osal_audio_streamout_write(bytes.data(), 4096), 4096);
    EXPECT_EQ(audio->mRing.usedBytes(), 4096);
    // Nothing from nowhere, and no length that could move a caller's offset
    // backwards: each writes nothing and says 0.
    struct Bad {
        const char *what;
        const void *data;
        int len;
    };
    const Bad bad[] = {
        {"NULL data", nullptr, 4},
        {"a length of -1", bytes.data(), -1},
        {"a length of INT_MIN", bytes.data(), INT_MIN},
        {"a length of INT_MAX", bytes.data(), INT_MAX},
    };
    for (const Bad &b : bad)
        EXPECT_EQ(osal_audio_streamout_write(b.data, b.len), 0) << b.what;
    EXPECT_EQ(audio->mRing.usedBytes(), 4096);

    int free = audio->mRing.freeBytes();
    std::vector<unsigned char> big(free);
    EXPECT_EQ(osal_audio_streamout_write(big.data(), free), 0) << "the ring always keeps one byte free";
    EXPECT_EQ(audio->mRing.usedBytes(), 4096);
    EXPECT_EQ(osal_audio_streamout_write(big.data(), free - 1), free - 1);
    std::vector<unsigned char> back(4096);
    EXPECT_EQ(audio->mRing.read(back.data(), 4096), 4096);
    EXPECT_EQ(back, bytes);
}

} // namespace
