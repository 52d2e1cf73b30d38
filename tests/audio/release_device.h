#pragma once
// For the test programs that play on a real sound device: the process's
// device ends as shutdown ends it, before the process exits, so that the
// sound driver's threads do not run on into the exit with it.
#include <gtest/gtest.h>

#include "audio/audio.h"
#include "display/system.h"

class ReleaseTheDevice : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (OSALSystem *system = OSALSystem::getInstance())
            if (OSALAudio *audio = system->mAudio.get())
                audio->~OSALAudio();
    }
};
// Registered once in each program that includes this.
inline const auto *const kReleaseTheDevice = ::testing::AddGlobalTestEnvironment(new ReleaseTheDevice);
