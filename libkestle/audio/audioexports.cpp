// The guest's audio interface. Every export first makes sure the process's
// device exists (the first one constructs it, whatever it is), then answers.
#include "audio/audio.h"
#include "os/diagnostics.h"

namespace {

// The answer of an export that found no device (it could not be allocated).
constexpr int kNoDevice = -1;

// Both streams answer 1 for the one PCM format they carry.
int32_t formatCode(const OSALAudio *audio) { return audio->formatTag() == WAVE_FORMAT_PCM ? 1 : -1; }

// Makes sure the device exists, then answers what `fn` says of it, or
// `missing` when it could not be allocated.
template <class Fn>
int32_t withDevice(int32_t missing, Fn &&fn)
{
    OSALAudio *audio = OSALAudio::getInstance();
    return audio ? fn(audio) : missing;
}

// The calls that carry nothing still make the device, then answer 0.
int32_t madeOnly()
{
    OSALAudio::getInstance();
    return 0;
}

} // namespace

extern "C" {

int32_t KESTLE_CALL osal_audio_streamout_write(const void *data, int len)
{
    return withDevice(0, [&](OSALAudio *audio) { return audio->streamOutWrite(data, len); });
}

int32_t KESTLE_CALL osal_audio_streamout_standby(void)
{
    return withDevice(0, [](OSALAudio *audio) { return audio->standby(); });
}

int32_t KESTLE_CALL osal_audio_streamout_playfile(const char *path)
{
    return withDevice(0, [&](OSALAudio *audio) { return audio->playFile(path); });
}

int32_t KESTLE_CALL osal_audio_streamout_channels(void)
{
    return withDevice(kNoDevice, [](OSALAudio *audio) {
        debugPrint("channelsOut=%d\n", audio->channels());
        return audio->channels();
    });
}

int32_t KESTLE_CALL osal_audio_streamout_format(void)
{
    return withDevice(kNoDevice, [](OSALAudio *audio) {
        debugPrint("formatOut=%d\n", audio->formatTag());
        return formatCode(audio);
    });
}

int32_t KESTLE_CALL osal_audio_streamout_samplerate(void)
{
    return withDevice(kNoDevice, [](OSALAudio *audio) { return audio->sampleRate(); });
}

int32_t KESTLE_CALL osal_audio_streamout_latency(void) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamout_setVolume(int32_t, int32_t) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamout_getParameters(int32_t) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamout_setParameters(int32_t) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamout_dump(int32_t, int32_t) { return madeOnly(); }

// The input direction drops what it gets: a write is taken whole, with or
// without a device.
int32_t KESTLE_CALL osal_audio_streamin_write(const void *data, int len)
{
    return withDevice(len, [&](OSALAudio *audio) { return audio->streamInWrite(data, len); });
}

int32_t KESTLE_CALL osal_audio_streamin_channels(void)
{
    return withDevice(kNoDevice, [](OSALAudio *audio) { return audio->channels(); });
}

int32_t KESTLE_CALL osal_audio_streamin_format(void)
{
    return withDevice(kNoDevice, [](OSALAudio *audio) { return formatCode(audio); });
}

int32_t KESTLE_CALL osal_audio_streamin_samplerate(void)
{
    return withDevice(kNoDevice, [](OSALAudio *audio) { return audio->sampleRate(); });
}

int32_t KESTLE_CALL osal_audio_streamin_standby(void) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamin_latency(void) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamin_setVolume(int32_t, int32_t) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamin_getParameters(int32_t) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamin_setParameters(int32_t) { return madeOnly(); }
int32_t KESTLE_CALL osal_audio_streamin_dump(int32_t, int32_t) { return madeOnly(); }

} // extern "C"
