#include "display/system.h"

int32_t gClientWidth;
int32_t gClientHeight;

namespace {

constinit OnceSlot<OSALSystem> sSystem;

constexpr DWORD kAllocationRetryMs = 50;

} // namespace

OSALSystem *OSALSystem::getInstance()
{
    return sSystem.getOrCreate();
}

OSALSystem &OSALSystem::getInstanceWaiting()
{
    return sSystem.getOrCreateWaiting(kAllocationRetryMs);
}

GuestDisplaySize OSALSystem::guestDisplaySize(int32_t screenWidth, int32_t screenHeight)
{
    // Strict comparisons: a screen of exactly 1280 never gets the full size.
    if (screenWidth > 1280 && screenHeight > 800)
        return {1280, 800};
    if (screenWidth <= 1280 && screenHeight > 1280 && screenWidth > 800)
        return {800, 1280};
    // Two thirds of the screen; the longer side stays and the other becomes
    // ten sixteenths of it (a square counts as portrait). Wide intermediates
    // keep absurd screen sizes from overflowing.
    int64_t w = (2 * int64_t{screenWidth}) / 3;
    int64_t h = (2 * int64_t{screenHeight}) / 3;
    if (w > h)
        h = (w * 10) / 16;
    else
        w = (h * 10) / 16;
    return {static_cast<int32_t>(w), static_cast<int32_t>(h)};
}

OSALSystem::OSALSystem()
{
    initResolution();
}

void OSALSystem::initResolution()
{
    GuestDisplaySize size = guestDisplaySize(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    mWidth = mSavedWidth = gClientWidth = size.width;
    mHeight = mSavedHeight = gClientHeight = size.height;
}

extern "C" int KESTLE_CALL osal_getResolution(int *width, int *height)
{
    OSALSystem *system = OSALSystem::getInstance();
    if (!system)
        return -1;
    if (width)
        *width = system->mWidth;
    if (height)
        *height = system->mHeight;
    return 0;
}
