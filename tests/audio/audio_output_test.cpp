// The audio device on a real sound device that keeps real time: Wine's
// DirectSound on the test run's private sound server, whose null sink plays
// silently. Set-up succeeds, and the pump thread moves what is written into
// the DirectSound buffer as fast as it plays. Waits have generous limits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "display/system.h"
#include "files.h"
#include "kestle.h"
#include "release_device.h"
#include "tempdir.h"
#include "wait.h"

namespace {

// Polls until the ring is empty or 60 s have passed.
bool waitDrained(const RingBuffer &ring)
{
    return kt::waitUntil([&] { return ring.usedBytes() == 0; }, 60000);
}

double secondsSince(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Polls until the pump has stopped the buffer `count` times because all of
// the sound had played, or 60 s have passed.
LONG soundsEnded(OSALAudio *audio) { return __atomic_load_n(&audio->mSoundsEnded, __ATOMIC_ACQUIRE); }
bool waitSoundsEnded(OSALAudio *audio, LONG count)
{
    return kt::waitUntil([&] { return soundsEnded(audio) >= count; }, 60000);
}

bool bufferPlaying(OSALAudio *audio)
{
    DWORD status = 0;
    return SUCCEEDED(audio->mSoundBuffer->GetStatus(&status)) && (status & DSBSTATUS_PLAYING);
}

TEST(AudioOutput, TheFirstExportSetsUpDirectSoundAndThePump)
{
    EXPECT_EQ(osal_audio_streamin_latency(), 0);
    OSALAudio *audio = OSALSystem::getInstance()->mAudio.get();
    ASSERT_NE(audio, nullptr);
    ASSERT_NE(audio->mDirectSoundDevice, nullptr) << "the test run's sound server should be reachable";
    EXPECT_NE(audio->mSoundBuffer, nullptr);
    EXPECT_NE(audio->mNotify, nullptr);
    EXPECT_NE(audio->mEvent, nullptr);
    EXPECT_NE(audio->mEvent2, nullptr);
    EXPECT_EQ(audio->mNotifyPos.hEventNotify, audio->mEvent);
    EXPECT_NE(audio->mPumpThread, nullptr);
    EXPECT_EQ(audio->mReady, 1);
    EXPECT_EQ(WaitForSingleObject(audio->mEvent, 0), WAIT_OBJECT_0) << "created signalled";
    EXPECT_EQ(WaitForSingleObject(audio->mEvent2, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(AudioOutput, ThePumpDrainsWritesAndPlaysAgainAfterStandby)
{
    std::vector<unsigned char> pcm(176400, 0);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(osal_audio_streamout_write(pcm.data(), static_cast<int>(pcm.size())), static_cast<int>(pcm.size()));
    OSALAudio *audio = OSALSystem::getInstance()->mAudio.get();
    ASSERT_NE(audio, nullptr);
    ASSERT_NE(audio->mPumpThread, nullptr);
    EXPECT_TRUE(waitDrained(audio->mRing)) << "pending: " << audio->mRing.usedBytes();

    EXPECT_EQ(osal_audio_streamout_standby(), 0);
    LONG ended = soundsEnded(audio);
    ASSERT_EQ(osal_audio_streamout_write(pcm.data(), 4000), 4000);
    ASSERT_TRUE(waitSoundsEnded(audio, ended + 1)) << "pending after standby: " << audio->mRing.usedBytes();
    // Played again from the restart, all of it.
    EXPECT_EQ(audio->mSoundEnd, 4000);
    EXPECT_GE(audio->mPlayedTo, 4000);
}

TEST(AudioOutput, ASecondOfSoundPlaysThroughInRealTime)
{
    // Numbered frames, written in one block.
    std::vector<unsigned char> pcm(176400);
    for (uint32_t frame = 0; frame < 44100; ++frame) {
        uint32_t value = frame + 1;
        memcpy(&pcm[frame * 4], &value, 4);
    }
    OSALAudio *audio = OSALAudio::getInstance();
    ASSERT_NE(audio, nullptr);
    ASSERT_NE(audio->mPumpThread, nullptr);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    ASSERT_EQ(osal_audio_streamout_write(pcm.data(), static_cast<int>(pcm.size())), static_cast<int>(pcm.size()));
    ASSERT_TRUE(waitSoundsEnded(audio, 1));
    double seconds = secondsSince(start);

    // The play cursor passed all of it, with no silence let in between,
    // and the buffer stopped only then; at the pace of the device, which
    // cannot play a second of sound in much less than a second.
    EXPECT_EQ(audio->mSoundEnd, 176400);
    EXPECT_GE(audio->mPlayedTo, audio->mSoundEnd);
    EXPECT_EQ(audio->mUnderruns, 0);
    EXPECT_FALSE(bufferPlaying(audio));
    EXPECT_GE(seconds, 0.9);

    // Behind the sound, DirectSound's buffer holds only silence.
    void *part1 = nullptr, *part2 = nullptr;
    DWORD len1 = 0, len2 = 0;
    ASSERT_TRUE(SUCCEEDED(audio->mSoundBuffer->Lock(0, 0, &part1, &len1, &part2, &len2, DSBLOCK_ENTIREBUFFER)));
    ASSERT_EQ(len1, static_cast<DWORD>(audio->bufferBytes()));
    auto *bytes = static_cast<const unsigned char *>(part1);
    size_t loud = 0;
    for (size_t at = pcm.size(); at < len1; ++at)
        loud += bytes[at] != 0;
    audio->mSoundBuffer->Unlock(part1, len1, part2, len2);
    EXPECT_EQ(loud, 0u) << "bytes after the sound that are not silence";
}

TEST(AudioOutput, AWriterFasterThanPlaybackIsHeldBack)
{
    OSALAudio *audio = OSALAudio::getInstance();
    ASSERT_NE(audio, nullptr);
    ASSERT_NE(audio->mPumpThread, nullptr);
    std::vector<unsigned char> block(17640, 7);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    int64_t accepted = 0;
    while (secondsSince(start) < 2.0) {
        int n = osal_audio_streamout_write(block.data(), static_cast<int>(block.size()));
        if (n == 0)
            Sleep(1);
        accepted += n;
    }
    double seconds = secondsSince(start);
    // What was taken is what the ring and the buffer hold, plus what has
    // played meanwhile (at most the time passed, and a little more that the
    // device mixes ahead).
    EXPECT_GT(accepted, int64_t{RingBuffer::kSize}) << "the writer should have filled the ring";
    EXPECT_LE(accepted, int64_t{RingBuffer::kSize} - 1 + audio->bufferBytes() +
                            static_cast<int64_t>((seconds + 0.1) * 176400));
}

TEST(AudioOutput, ABacklogOfTenMiBOrMoreIsMovedInChunks)
{
    OSALAudio *audio = OSALAudio::getInstance();
    ASSERT_NE(audio, nullptr);
    ASSERT_NE(audio->mPumpThread, nullptr);
    const int size = 0xA00000 + 0x10000;
    std::vector<unsigned char> pcm(size, 3);
    ASSERT_EQ(osal_audio_streamout_write(pcm.data(), size), size);
    EXPECT_TRUE(waitDrained(audio->mRing)) << "pending: " << audio->mRing.usedBytes();
}

// A tenth of a second of silence in the device's format, as a wave file in
// `dir`; empty when it could not be written.
std::string writeWaveFile(const kt::TempDir &dir)
{
    const uint32_t data = 17640;
    std::string file(44 + data, '\0');
    auto put32 = [&](size_t at, uint32_t v) { memcpy(&file[at], &v, 4); };
    auto put16 = [&](size_t at, uint16_t v) { memcpy(&file[at], &v, 2); };
    memcpy(&file[0], "RIFF", 4);
    put32(4, 36 + data);
    memcpy(&file[8], "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, 2);
    put32(24, 44100);
    put32(28, 176400);
    put16(32, 4);
    put16(34, 16);
    memcpy(&file[36], "data", 4);
    put32(40, data);
    std::string path = dir.file("silence.wav");
    if (!dir.made() || !kt::writeFile(path, file))
        return {};
    return path;
}

TEST(AudioOutput, PlayFilePlaysAWaveFileToItsEnd)
{
    kt::TempDir dir("kestle_wave_");
    std::string path = writeWaveFile(dir);
    ASSERT_FALSE(path.empty());
    EXPECT_NE(osal_audio_streamout_playfile(path.c_str()), 0) << path;
    EXPECT_EQ(osal_audio_streamout_playfile(nullptr), 0) << "no file, nothing played";
}

TEST(AudioOutput, DestroyingARunningDeviceEndsItsPumpFirst)
{
    auto *audio = new OSALAudio();
    ASSERT_NE(audio->mPumpThread, nullptr);
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), audio->mPumpThread, GetCurrentProcess(), &thread, SYNCHRONIZE,
                                FALSE, 0));
    std::vector<unsigned char> pcm(0xA00000, 1);
    ASSERT_EQ(audio->streamOutWrite(pcm.data(), static_cast<int>(pcm.size())), static_cast<int>(pcm.size()));
    delete audio;
    // The pump had ended before the ring's storage went.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
}

} // namespace
