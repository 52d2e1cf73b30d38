#include "guard_hold.h"

namespace kt {

namespace {

HANDLE sHeld;
HANDLE sGoOn;

LONG CALLBACK holdOnGuardPage(EXCEPTION_POINTERS *info)
{
    if (info->ExceptionRecord->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    SetEvent(sHeld);
    WaitForSingleObject(sGoOn, 60000);
    // The page lost its guard with this touch: the access now goes through.
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

DWORD pageSize()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

void holdOnGuardedPages()
{
    sHeld = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    sGoOn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    AddVectoredExceptionHandler(1, holdOnGuardPage);
}

void guardPages(void *at, size_t bytes)
{
    DWORD old;
    VirtualProtect(at, bytes, PAGE_READWRITE | PAGE_GUARD, &old);
}

bool waitHeld(int timeoutMs)
{
    return WaitForSingleObject(sHeld, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

void letHeldGoOn()
{
    SetEvent(sGoOn);
}

} // namespace kt
