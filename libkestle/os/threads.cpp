// Threads and synchronisation objects: thin wrappers over the platform's
// objects, each keeping the result convention its callers rely on.
#include <process.h>

#include <new>

#include "kestle.h"

extern "C" {

uintptr_t KESTLE_CALL osal_CreateThread(void *security, unsigned stackSize, unsigned(__stdcall *start)(void *),
                                        void *arg, unsigned initFlag, unsigned *threadId)
{
    return _beginthreadex(security, stackSize, start, arg, initFlag, threadId);
}

DWORD KESTLE_CALL osal_GetCurrentThreadId(void)
{
    return GetCurrentThreadId();
}

HANDLE KESTLE_CALL osal_CreateEvent(SECURITY_ATTRIBUTES *sa, int manualReset, int initialState, const char *name)
{
    return CreateEventA(sa, manualReset, initialState, name);
}

HANDLE KESTLE_CALL osal_CreateMutex(SECURITY_ATTRIBUTES *sa, int initialOwner, const char *name)
{
    return CreateMutexA(sa, initialOwner, name);
}

HANDLE KESTLE_CALL osal_OpenMutex(unsigned access, int inherit, const char *name)
{
    return OpenMutexA(access, inherit, name);
}

int KESTLE_CALL osal_ReleaseMutex(HANDLE mutex)
{
    if (ReleaseMutex(mutex))
        return 0;
    return -static_cast<int>(GetLastError());
}

HANDLE KESTLE_CALL osal_CreateSemaphore(SECURITY_ATTRIBUTES *sa, int initialCount, int maximumCount, const char *name)
{
    return CreateSemaphoreA(sa, initialCount, maximumCount, name);
}

HANDLE KESTLE_CALL osal_OpenSemaphore(unsigned access, int inherit, const char *name)
{
    return OpenSemaphoreA(access, inherit, name);
}

BOOL KESTLE_CALL osal_ReleaseSemaphore(HANDLE semaphore, int count, long *previousCount)
{
    return ReleaseSemaphore(semaphore, count, previousCount);
}

int KESTLE_CALL osal_WaitForSingleObject(HANDLE h, unsigned ms)
{
    DWORD r = WaitForSingleObject(h, ms);
    DWORD e = GetLastError();
    switch (r) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: // the caller owns the mutex now and must release it
        return 0;
    case WAIT_TIMEOUT: // sets no error: the last error could read as success
        return OSAL_WAIT_TIMED_OUT;
    default:
        // A failure must never read as success, even with no error recorded.
        return e ? -static_cast<int>(e) : -static_cast<int>(ERROR_GEN_FAILURE);
    }
}

DWORD KESTLE_CALL osal_SignalObjectAndWait(HANDLE toSignal, HANDLE toWaitOn, unsigned ms, int alertable)
{
    return SignalObjectAndWait(toSignal, toWaitOn, ms, alertable);
}

BOOL KESTLE_CALL osal_CloseHandle(HANDLE h)
{
    return CloseHandle(h);
}

CRITICAL_SECTION *KESTLE_CALL osal_allocCriticalSection(void)
{
    CRITICAL_SECTION *cs = new (std::nothrow) CRITICAL_SECTION;
    if (cs)
        InitializeCriticalSection(cs);
    return cs;
}

void KESTLE_CALL osal_EnterCriticalSection(CRITICAL_SECTION *cs)
{
    EnterCriticalSection(cs);
}

void KESTLE_CALL osal_LeaveCriticalSection(CRITICAL_SECTION *cs)
{
    LeaveCriticalSection(cs);
}

void KESTLE_CALL osal_deleteCriticalSection(CRITICAL_SECTION *cs)
{
    if (!cs)
        return;
    DeleteCriticalSection(cs);
    delete cs;
}

} // extern "C"
