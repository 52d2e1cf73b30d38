// The root directory of the guest's file tree and the environment calls it is
// built on. Internal seams for the tests live here.
#pragma once

#include "kestle.h"

namespace kestle::rootdir {

// How many times this process computed its root (1 after the first call of
// osal_getRootDir, however many threads raced it).
int computations();

// Replaces the reader of VANTRELL_ROOT (nullptr: osal_getEnvVariable), so a
// test can make the variable unreadable even after the default was written.
using EnvReader = char *(*)(const char *name);
void setEnvReader(EnvReader reader);

} // namespace kestle::rootdir
