// The audio device on a working (silent) sound device: set-up succeeds, the
// pump thread drains the ring into the DirectSound buffer. The device's clock
// here is not real time, so nothing is timed: the tests wait for what the
// pump visibly does, with generous limits.
#include <gtest/gtest.h>

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
