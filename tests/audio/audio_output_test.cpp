// The audio device on a working (silent) sound device: set-up succeeds, the
// pump thread drains the ring into the DirectSound buffer. The device's clock
// here is not real time, so nothing is timed: the tests wait for what the
// pump visibly does, with generous limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "display/system.h"
#include "kestle.h"

namespace {

// Polls until the ring is empty or 60 s have passed.
bool waitDrained(const RingBuffer &ring)
{
    for (int i = 0; i < 600; ++i) {
        if (ring.usedBytes() == 0)
            return true;
        Sleep(100);
    }
    return ring.usedBytes() == 0;
}

TEST(AudioOutput, TheFirstExportSetsUpDirectSoundAndThePump)
{
    EXPECT_EQ(osal_audio_streamin_latency(), 0);
    OSALAudio *audio = OSALSystem::getInstance()->mAudio.get();
    ASSERT_NE(audio, nullptr);
    ASSERT_NE(audio->mDirectSoundDevice, nullptr) << "the test's null sound device should be usable";
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
    ASSERT_EQ(osal_audio_streamout_write(pcm.data(), 4000), 4000);
    EXPECT_TRUE(waitDrained(audio->mRing)) << "pending after standby: " << audio->mRing.usedBytes();
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

// A tenth of a second of silence in the device's format, as a wave file.
std::string writeWaveFile()
{
    const uint32_t data = 17640;
    std::vector<unsigned char> file(44 + data, 0);
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
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "kwv", 0, path);
    FILE *f = fopen(path, "wb");
    if (!f)
        return {};
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
    return path;
}

TEST(AudioOutput, PlayFilePlaysAWaveFileToItsEnd)
{
    std::string path = writeWaveFile();
    ASSERT_FALSE(path.empty());
    EXPECT_NE(osal_audio_streamout_playfile(path.c_str()), 0) << path;
    EXPECT_EQ(osal_audio_streamout_playfile(nullptr), 0) << "no file, nothing played";
    DeleteFileA(path.c_str());
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
