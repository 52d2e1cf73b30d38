// The guest's audio interface. Every export first makes sure the process's
// device exists (the first one constructs it, whatever it is), then answers.
#include "audio/audio.h"
#include "os/diagnostics.h"

namespace {

// The answer of an export that found no device (it could not be allocated).
constexpr int kNoDevice = -1;

// Both streams answer 1 for the one PCM format they carry.
int32_t formatCode(const OSALAudio *audio) { return audio->formatTag() == WAVE_FORMAT_PCM ? 1 : -1; }

} // namespace

extern "C" {

int32_t KESTLE_CALL osal_audio_streamout_write(const void *data, int len)
{
    OSALAudio *audio = OSALAudio::getInstance();
    if (!audio)
        return 0;
    return audio->streamOutWrite(data, len);
}

int32_t KESTLE_CALL osal_audio_streamout_standby(void)
{
    OSALAudio *audio = OSALAudio::getInstance();
    return audio ? audio->standby() : 0;
}

int32_t KESTLE_CALL osal_audio_streamout_playfile(const char *path)
{
    OSALAudio *audio = OSALAudio::getInstance();
    return audio ? audio->playFile(path) : 0;
}

int32_t KESTLE_CALL osal_audio_streamout_channels(void)
{
    OSALAudio *audio = OSALAudio::getInstance();
    if (!audio)
        return kNoDevice;
    debugPrint("channelsOut=%d\n", audio->channels());
    return audio->channels();
}

int32_t KESTLE_CALL osal_audio_streamout_format(void)
{
    OSALAudio *audio = OSALAudio::getInstance();
    if (!audio)
        return kNoDevice;
    debugPrint("formatOut=%d\n", audio->formatTag());
    return formatCode(audio);
}

int32_t KESTLE_CALL osal_audio_streamout_samplerate(void)
{
    OSALAudio *audio = OSALAudio::getInstance();
    return audio ? audio->sampleRate() : kNoDevice;
}

int32_t KESTLE_CALL osal_audio_streamout_latency(void)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamout_setVolume(int32_t, int32_t)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamout_getParameters(int32_t)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamout_setParameters(int32_t)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamout_dump(int32_t, int32_t)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamin_write(const void *data, int len)
{
    OSALAudio *audio = OSALAudio::getInstance();
    return audio ? audio->streamInWrite(data, len) : len;
}

int32_t KESTLE_CALL osal_audio_streamin_standby(void)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamin_channels(void)
{
    OSALAudio *audio = OSALAudio::getInstance();
    return audio ? audio->channels() : kNoDevice;
}

int32_t KESTLE_CALL osal_audio_streamin_format(void)
{
    OSALAudio *audio = OSALAudio::getInstance();
    if (!audio)
        return kNoDevice;
    return formatCode(audio);
}

int32_t KESTLE_CALL osal_audio_streamin_samplerate(void)
{
    OSALAudio *audio = OSALAudio::getInstance();
    return audio ? audio->sampleRate() : kNoDevice;
}

int32_t KESTLE_CALL osal_audio_streamin_latency(void)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamin_setVolume(int32_t, int32_t)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamin_getParameters(int32_t)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamin_setParameters(int32_t)
{
    OSALAudio::getInstance();
    return 0;
}

int32_t KESTLE_CALL osal_audio_streamin_dump(int32_t, int32_t)
{
    OSALAudio::getInstance();
    return 0;
}

} // extern "C"
