#include "input/eventservice.h"

#include <cstring>
#include <new>

#include "os/diagnostics.h"
#include "os/once.h"

namespace {

// The Linux input event types and codes the records carry.
constexpr uint16_t EV_SYN = 0;
constexpr uint16_t EV_KEY = 1;
constexpr uint16_t EV_ABS = 3;

constexpr uint16_t KEY_ENTER = 28;
constexpr uint16_t KEY_KPENTER = 238;
constexpr uint16_t BTN_TOUCH = 330;
// The Linux button codes run from 256 to 351.
constexpr uint16_t kFirstButtonCode = 256;
constexpr uint16_t kLastButtonCode = 351;

constexpr uint16_t ABS_X = 0;
constexpr uint16_t ABS_Y = 1;
constexpr uint16_t ABS_Z = 2;
constexpr uint16_t ABS_PRESSURE = 24;
constexpr uint16_t ABS_TOOL_WIDTH = 28;
constexpr uint16_t ABS_MT_TOUCH_MAJOR = 48;
constexpr uint16_t ABS_MT_TOUCH_MINOR = 49;
constexpr uint16_t ABS_MT_WIDTH_MAJOR = 50;
constexpr uint16_t ABS_MT_POSITION_X = 53;
constexpr uint16_t ABS_MT_POSITION_Y = 54;

// The guest input devices a record belongs to.
constexpr int32_t kKeyboardDevice = 0;
constexpr int32_t kPointerDevice = 1;

// A key record with a button code belongs to the pointer.
int32_t deviceForKey(uint16_t code)
{
    return code >= kFirstButtonCode && code <= kLastButtonCode ? kPointerDevice : kKeyboardDevice;
}

// Bit 24 of a key message's lParam: the key is an extended one.
bool isExtendedKey(uint32_t bits) { return (bits >> 24) & 1; }

// The semaphore counts queued records: as many as it can count.
constexpr LONG kQueueCountMax = 0x7FFFFFFF;

// Between attempts to reach a pipe that is not there yet: waiting for a
// server fails at once then, so the loop would otherwise spin.
constexpr DWORD kConnectPauseMs = 5;

constinit OnceSlot<OSALEventService> sEventService;

} // namespace

OSALEventService::OSALEventService()
{
    mSemaphore = CreateSemaphoreA(nullptr, 0, kQueueCountMax, nullptr);
    mMutex = CreateMutexA(nullptr, FALSE, nullptr);
}

OSALEventService *OSALEventService::create()
{
    OSALEventService *service = new (std::nothrow) OSALEventService();
    if (!service)
        return nullptr;
    // A service that cannot queue or count is no service: leave the slot
    // empty so the next caller tries again.
    if (!service->mSemaphore || !service->mMutex || !service->push(WM_TOUCH_SYNC, 0, 0)) {
        if (service->mSemaphore)
            CloseHandle(service->mSemaphore);
        if (service->mMutex)
            CloseHandle(service->mMutex);
        delete service;
        return nullptr;
    }
    return service;
}

OSALEventService *OSALEventService::getInstance()
{
    return sEventService.getOrCreate(&OSALEventService::create);
}

InputEvent OSALEventService::mapMessage(unsigned message, uint32_t wParam, int32_t lParam)
{
    InputEvent e;
    memset(&e, 0, sizeof e);
    auto axis = [&e](uint16_t code, int32_t value) {
        e.type = EV_ABS;
        e.code = code;
        e.value = value;
        e.device = kPointerDevice;
    };
    switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP: {
        uint32_t bits = static_cast<uint32_t>(lParam);
        uint16_t scan = keyScanCode(bits);
        e.type = EV_KEY;
        // The scan code is the guest's key code; only the keypad's Enter is
        // told apart from its plain twin.
        e.code = isExtendedKey(bits) && scan == KEY_ENTER ? KEY_KPENTER : scan;
        e.value = message == WM_KEYDOWN ? 1 : 0;
        e.device = deviceForKey(e.code);
        break;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
        e.type = EV_KEY;
        e.code = BTN_TOUCH;
        e.value = message == WM_LBUTTONDOWN ? 1 : 0;
        e.device = kPointerDevice;
        break;
    case WM_TOUCH_X: axis(ABS_X, lParam); break;
    case WM_TOUCH_Y: axis(ABS_Y, lParam); break;
    case WM_TOUCH_PRESSURE: axis(ABS_PRESSURE, lParam); break;
    case WM_TOUCH_WIDTH: axis(ABS_TOOL_WIDTH, lParam); break;
    case WM_GUEST_KEY:
        e.type = EV_KEY;
        e.code = static_cast<uint16_t>(wParam & 0xFFFF);
        e.value = lParam;
        e.device = deviceForKey(e.code);
        break;
    case WM_MT_POSITION_X: axis(ABS_MT_POSITION_X, lParam); break;
    case WM_MT_POSITION_Y: axis(ABS_MT_POSITION_Y, lParam); break;
    // Code 2 as an axis, which the guest reads as ABS_Z.
    case WM_MT_REPORT: axis(ABS_Z, 0); break;
    case WM_MT_TOUCH_MAJOR: axis(ABS_MT_TOUCH_MAJOR, lParam); break;
    case WM_MT_TOUCH_MINOR: axis(ABS_MT_TOUCH_MINOR, 0); break;
    case WM_MT_WIDTH_MAJOR: axis(ABS_MT_WIDTH_MAJOR, lParam); break;
    default:
        // WM_TOUCH_SYNC, and everything unknown, ends a group.
        e.type = EV_SYN;
        e.device = kPointerDevice;
        break;
    }
    return e;
}

int OSALEventService::push(unsigned message, uint32_t wParam, int32_t lParam)
{
    InputEvent record = mapMessage(message, wParam, lParam);
    DWORD waited = WaitForSingleObject(mMutex, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
        return 0;
    bool queued = true;
    try {
        mQueue.push_back(record);
    } catch (const std::bad_alloc &) {
        queued = false;
    }
    ReleaseMutex(mMutex);
    // Counted only after the mutex is free, so the consumer never waits on it
    // for a record it has been told about.
    if (!queued)
        return 0;
    return ReleaseSemaphore(mSemaphore, 1, nullptr);
}

size_t OSALEventService::pending()
{
    WaitForSingleObject(mMutex, INFINITE);
    size_t n = mQueue.size();
    ReleaseMutex(mMutex);
    return n;
}

int OSALEventService::startServer()
{
    OSALEventService *service = getInstance();
    if (!service)
        return -1;
    HANDLE pipe = osal_createPipe(kInputPipeName);
    if (!pipe)
        return -1;
    // A reader that came between creating and waiting is connected already.
    if (!osal_waitPipeClient(pipe) && GetLastError() != ERROR_PIPE_CONNECTED) {
        osal_closePipe(pipe);
        return -1;
    }
    service->mPipe = pipe;
    return 0;
}

void OSALEventService::sendNext()
{
    WaitForSingleObject(mSemaphore, INFINITE);
    WaitForSingleObject(mMutex, INFINITE);
    InputEvent record = mQueue.front();
    mQueue.pop_front();
    ReleaseMutex(mMutex);
    // Outside the mutex: a slow reader holds up only this thread. A failed
    // write (the reader went away) loses the record; the next one follows.
    osal_writePipe(mPipe, &record, sizeof record);
}

unsigned __stdcall eventServiceThread(void *)
{
    debugPrint("starting event service thread\n");
    if (OSALEventService::startServer() < 0) {
        debugPrint("failed to start event serice\n");
        return 0;
    }
    for (;;) {
        OSALEventService *service = OSALEventService::getInstance();
        service->sendNext();
    }
}

HANDLE *OSALEventService::makeClient()
{
    __atomic_add_fetch(&mConnectAttempts, 1, __ATOMIC_RELAXED);
    if (!osal_waitPipeServer(kInputPipeName))
        return nullptr;
    HANDLE pipe = osal_connectPipe(kInputPipeName);
    if (!pipe || pipe == INVALID_HANDLE_VALUE)
        return nullptr;
    mClientPipe = pipe;
    return &mClientPipe;
}

HANDLE OSALEventService::connectClient()
{
    // One connection per process: a second thread waits for the first's.
    return mClient.getOrCreateWaiting(kConnectPauseMs, [this] { return makeClient(); });
}

int OSALEventService::readRecords(InputEvent *buf, int n)
{
    // Refused before connecting: with no host yet, connecting waits for it.
    // n * 24 must fit the byte count; nothing sensible asks for more.
    if (n < 0 || static_cast<unsigned>(n) > 0xFFFFFFFFu / sizeof(InputEvent) || (!buf && n > 0))
        return -1;
    // Reading nothing still connects.
    HANDLE pipe = connectClient();
    if (n == 0)
        return 0;
    // A short read (the host went away) is a failure: the records the caller
    // asked for are not all in buf.
    return osal_readPipe(pipe, buf, static_cast<unsigned>(n) * sizeof(InputEvent)) < 0 ? -1 : 0;
}

unsigned OSALEventService::countRecords()
{
    return osal_peekPipe(connectClient()) / sizeof(InputEvent);
}
