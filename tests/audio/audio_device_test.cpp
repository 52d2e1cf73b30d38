// The audio device where the host has no sound device (the test's ALSA
// configuration names none): set-up ends early, and the pump cycle is driven
// by hand against a recording stand-in for the DirectSound buffer.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/audio.h"
#include "display/system.h"
#include "kestle.h"

namespace {

constexpr int32_t kBufferBytes = 10584000;

// The configuration the test hands ALSA names no device, but Wine may reach
// sound through another of its drivers (a running sound server, say). Then
// the host has output, the device gets a pump thread, and these cases cannot
// be shown: ask the host first, and skip them all when it has a device.
class NoSoundDevice : public ::testing::Environment {
public:
    void SetUp() override
    {
        IDirectSound8 *device = nullptr;
        DirectSoundCreate8(nullptr, &device, nullptr);
        if (device) {
            device->Release();
            GTEST_SKIP() << "the host offers a sound device despite the test's ALSA configuration";
        }
    }
};
const auto *const kNoSoundDevice = ::testing::AddGlobalTestEnvironment(new NoSoundDevice);

// A DirectSound buffer of the device's size that records what the pump does.
class FakeBuffer : public IDirectSoundBuffer {
public:
    FakeBuffer() : mData(kBufferBytes, 0) {}

    STDMETHOD_(HRESULT, QueryInterface)(REFIID, void **out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 1; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(GetCaps)(LPDSBCAPS) override { return E_NOTIMPL; }
    STDMETHOD(GetCurrentPosition)(LPDWORD play, LPDWORD write) override
    {
        *play = 0;
        *write = 0;
        return S_OK;
    }
    STDMETHOD(GetFormat)(LPWAVEFORMATEX, DWORD, LPDWORD) override { return E_NOTIMPL; }
    STDMETHOD(GetVolume)(LPLONG) override { return E_NOTIMPL; }
    STDMETHOD(GetPan)(LPLONG) override { return E_NOTIMPL; }
    STDMETHOD(GetFrequency)(LPDWORD) override { return E_NOTIMPL; }
    STDMETHOD(GetStatus)(LPDWORD status) override
    {
        *status = mPlaying ? DSBSTATUS_PLAYING : 0;
        return S_OK;
    }
    STDMETHOD(Initialize)(LPDIRECTSOUND, LPCDSBUFFERDESC) override { return E_NOTIMPL; }
    STDMETHOD(Lock)(DWORD offset, DWORD bytes, LPVOID *p1, LPDWORD l1, LPVOID *p2, LPDWORD l2, DWORD) override
    {
        ++mLockCalls;
        if (mLost)
            return DSERR_BUFFERLOST;
        if (mRefuseLocks)
            return DSERR_GENERIC;
        mLocks.push_back({offset, bytes});
        DWORD first = bytes < kBufferBytes - offset ? bytes : kBufferBytes - offset;
        *p1 = mData.data() + offset;
        *l1 = first;
        *p2 = first < bytes ? mData.data() : nullptr;
        *l2 = bytes - first;
        return S_OK;
    }
    STDMETHOD(Play)(DWORD, DWORD, DWORD flags) override
    {
        mPlays.push_back(flags);
        mPlaying = true;
        return S_OK;
    }
    STDMETHOD(SetCurrentPosition)(DWORD) override { return S_OK; }
    STDMETHOD(SetFormat)(LPCWAVEFORMATEX) override { return E_NOTIMPL; }
    STDMETHOD(SetVolume)(LONG volume) override
    {
        mVolume = volume;
        return S_OK;
    }
    STDMETHOD(SetPan)(LONG) override { return S_OK; }
    STDMETHOD(SetFrequency)(DWORD) override { return S_OK; }
    STDMETHOD(Stop)() override
    {
        ++mStops;
        mPlaying = false;
        return S_OK;
    }
    STDMETHOD(Unlock)(LPVOID, DWORD, LPVOID, DWORD) override
    {
        ++mUnlocks;
        return S_OK;
    }
    STDMETHOD(Restore)() override
    {
        ++mRestores;
        mLost = false;
        return S_OK;
    }

    struct LockCall {
        DWORD offset;
        DWORD bytes;
    };
    std::vector<unsigned char> mData;
    std::vector<LockCall> mLocks;
    std::vector<DWORD> mPlays;
    bool mPlaying = false;
    bool mLost = false;
    bool mRefuseLocks = false;
    int mLockCalls = 0;
    int mStops = 0;
    int mUnlocks = 0;
    int mRestores = 0;
    LONG mVolume = -1;
};

std::vector<unsigned char> pattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>((i * 131 + seed) >> 3);
    return bytes;
}

// A device whose set-up found no sound device, fed by a stand-in buffer.
struct PumpRig {
    PumpRig() : audio(new OSALAudio())
    {
        audio->mSoundBuffer = &buffer;
    }
    ~PumpRig() { audio->mSoundBuffer = nullptr; }
    FakeBuffer buffer;
    std::unique_ptr<OSALAudio> audio;
};

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

struct ChunkCase {
    const char *name;
    bool playing;
    int32_t startPos;
    int32_t pending;
    int32_t lockBytes;
    DWORD playFlags;
    int32_t endPos;
};

TEST(AudioPump, ChoosesChunkFlagsAndOffsetFromTheBacklog)
{
    const ChunkCase cases[] = {
        {"small backlog, stopped buffer", false, 5000, 0x9FFFFF, 0x9FFFFF, 0, 0x9FFFFF},
        {"10 MiB backlog", false, 0, 0xA00000, 0xA00000, DSBPLAY_LOOPING, 0xA00000},
        {"more than 10 MiB", false, 0, 0xA00000 + 5, 0xA00000, DSBPLAY_LOOPING, 0xA00000},
        {"playing buffer keeps its offset", true, 4000, 100, 100, 0, 4100},
        {"wraps past the end", true, 10000000, 1000000, 1000000, 0, 416000},
        {"ends exactly at the end", true, kBufferBytes - 400, 400, 400, 0, 0},
    };
    for (const ChunkCase &c : cases) {
        SCOPED_TRACE(c.name);
        PumpRig rig;
        rig.buffer.mPlaying = c.playing;
        rig.audio->mOutPos = c.startPos;
        std::vector<unsigned char> bytes = pattern(c.pending, 7);
        ASSERT_EQ(rig.audio->streamOutWrite(bytes.data(), c.pending), c.pending);

        rig.audio->pump();

        ASSERT_EQ(rig.buffer.mLocks.size(), 1u);
        int32_t at = c.playing ? c.startPos : 0;
        EXPECT_EQ(rig.buffer.mLocks[0].offset, static_cast<DWORD>(at));
        EXPECT_EQ(rig.buffer.mLocks[0].bytes, static_cast<DWORD>(c.lockBytes));
        ASSERT_EQ(rig.buffer.mPlays.size(), 1u);
        EXPECT_EQ(rig.buffer.mPlays[0], c.playFlags);
        EXPECT_EQ(rig.buffer.mUnlocks, 1);
        EXPECT_EQ(rig.buffer.mVolume, DSBVOLUME_MAX);
        EXPECT_EQ(rig.audio->mOutPos, c.endPos);
        EXPECT_EQ(rig.audio->mRing.usedBytes(), c.pending - c.lockBytes);

        // The bytes land in order, the part past the end at the start.
        int32_t first = c.lockBytes < kBufferBytes - at ? c.lockBytes : kBufferBytes - at;
        EXPECT_EQ(memcmp(rig.buffer.mData.data() + at, bytes.data(), first), 0);
        EXPECT_EQ(memcmp(rig.buffer.mData.data(), bytes.data() + first, c.lockBytes - first), 0);
    }
}

TEST(AudioPump, AnEmptyRingOnlyStopsTheBuffer)
{
    for (bool playing : {true, false}) {
        SCOPED_TRACE(playing ? "playing" : "stopped");
        PumpRig rig;
        rig.buffer.mPlaying = playing;
        rig.audio->mOutPos = 1234;
        rig.audio->pump();
        EXPECT_EQ(rig.buffer.mLockCalls, 0);
        EXPECT_TRUE(rig.buffer.mPlays.empty());
        EXPECT_EQ(rig.buffer.mStops, 1);
        EXPECT_EQ(rig.audio->mOutPos, playing ? 1234 : 0);
    }
}

TEST(AudioPump, AfterStandbyTheNextCycleStartsAtOffsetZero)
{
    PumpRig rig;
    std::vector<unsigned char> bytes = pattern(3000, 1);
    ASSERT_EQ(rig.audio->streamOutWrite(bytes.data(), 1000), 1000);
    rig.audio->pump();
    EXPECT_EQ(rig.audio->mOutPos, 1000);
    EXPECT_EQ(rig.audio->standby(), 0);
    EXPECT_FALSE(rig.buffer.mPlaying);
    EXPECT_EQ(rig.audio->mRing.usedBytes(), 0);
    ASSERT_EQ(rig.audio->streamOutWrite(bytes.data() + 1000, 2000), 2000);
    rig.audio->pump();
    ASSERT_EQ(rig.buffer.mLocks.size(), 2u);
    EXPECT_EQ(rig.buffer.mLocks[1].offset, 0u);
    EXPECT_EQ(rig.buffer.mLocks[1].bytes, 2000u);
    EXPECT_TRUE(rig.buffer.mPlaying);
    EXPECT_EQ(memcmp(rig.buffer.mData.data(), bytes.data() + 1000, 2000), 0);
}

TEST(AudioPump, ARefusedLockKeepsTheBytesAndEndsTheCycle)
{
    PumpRig rig;
    rig.buffer.mRefuseLocks = true;
    std::vector<unsigned char> bytes = pattern(500, 3);
    ASSERT_EQ(rig.audio->streamOutWrite(bytes.data(), 500), 500);
    rig.audio->pump();
    EXPECT_EQ(rig.buffer.mLockCalls, OSALAudio::kLockAttempts) << "bounded retries, not an endless spin";
    EXPECT_TRUE(rig.buffer.mPlays.empty());
    EXPECT_EQ(rig.audio->mRing.usedBytes(), 500) << "nothing taken from the ring";
    EXPECT_EQ(rig.audio->mOutPos, 0);

    rig.buffer.mRefuseLocks = false;
    rig.audio->pump();
    EXPECT_EQ(rig.audio->mRing.usedBytes(), 0);
    EXPECT_EQ(memcmp(rig.buffer.mData.data(), bytes.data(), 500), 0);
}

TEST(AudioPump, ALostBufferIsRestoredAndFilled)
{
    PumpRig rig;
    rig.buffer.mLost = true;
    std::vector<unsigned char> bytes = pattern(800, 9);
    ASSERT_EQ(rig.audio->streamOutWrite(bytes.data(), 800), 800);
    rig.audio->pump();
    EXPECT_EQ(rig.buffer.mRestores, 1);
    EXPECT_EQ(rig.buffer.mLockCalls, 2);
    EXPECT_EQ(rig.audio->mRing.usedBytes(), 0);
    ASSERT_EQ(rig.buffer.mPlays.size(), 1u);
    EXPECT_EQ(memcmp(rig.buffer.mData.data(), bytes.data(), 800), 0);
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
