// The input event service: window messages become 24-byte InputEvent records
// in a first-in first-out queue, which the event-service thread writes, one
// record at a time, to the input pipe's one reader in another process. A
// reader process uses its own service only for the client end of the pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "kestle.h"
#include "os/once.h"

constexpr const char *kInputPipeName = "\\\\.\\pipe\\android_input_pipe";

// Custom messages (WM_USER + 100 to WM_USER + 112): queue inputs from the
// window procedure and, for two of them, window messages from other senders.
constexpr unsigned WM_TOUCH_X = 1124;
constexpr unsigned WM_TOUCH_Y = 1125;
constexpr unsigned WM_TOUCH_PRESSURE = 1126;
constexpr unsigned WM_TOUCH_WIDTH = 1127;
constexpr unsigned WM_TOUCH_SYNC = 1128;
constexpr unsigned WM_GUEST_KEY = 1129;
constexpr unsigned WM_MAINWINDOW_ACTIVE = 1130;
constexpr unsigned WM_MT_POSITION_X = 1131;
constexpr unsigned WM_MT_POSITION_Y = 1132;
constexpr unsigned WM_MT_REPORT = 1133;
constexpr unsigned WM_MT_TOUCH_MAJOR = 1134;
constexpr unsigned WM_MT_TOUCH_MINOR = 1135;
constexpr unsigned WM_MT_WIDTH_MAJOR = 1136;

// The scan code of a key message: bits 16 to 23 of its lParam, without the
// extended-key flag.
inline uint16_t keyScanCode(uint32_t lParamBits) { return static_cast<uint16_t>((lParamBits >> 16) & 0xFF); }

class OSALEventService {
public:
    // The process's event service, made on first use (with the initial
    // synchronisation record queued); null only when it could not be made.
    static OSALEventService *getInstance();

    // The record a message becomes; every field a message does not set is 0.
    static InputEvent mapMessage(unsigned message, uint32_t wParam, int32_t lParam);

    OSALEventService(const OSALEventService &) = delete;
    OSALEventService &operator=(const OSALEventService &) = delete;

    // Queues the message's record; nonzero when the record was queued and
    // counted.
    int push(unsigned message, uint32_t wParam, int32_t lParam);

    // Host side, on the event-service thread: makes the pipe and waits for
    // its one reader; 0 when a reader is connected, else -1.
    static int startServer();
    // Host side: writes the oldest queued record to the reader, waiting for
    // one if the queue is empty.
    void sendNext();

    // Reader side: the client end of the pipe, connecting (and waiting for
    // the pipe to appear) on the first call.
    HANDLE connectClient();
    // Reader side: reads n whole records into buf: 0 once all have arrived
    // (n = 0 reads nothing), -1 when the pipe broke first, or at once, before
    // any connection, for bad arguments.
    int readRecords(InputEvent *buf, int n);
    // Reader side: whole records waiting in the pipe.
    unsigned countRecords();

    // Records queued and not yet taken by the event-service thread.
    size_t pending();
    // Connection attempts connectClient has made so far.
    long connectAttempts() const { return __atomic_load_n(&mConnectAttempts, __ATOMIC_RELAXED); }

private:
    OSALEventService();
    static OSALEventService *create();
    // One attempt at the client end: &mClientPipe, or null when the pipe is
    // not there (yet) or could not be opened.
    HANDLE *makeClient();

    std::deque<InputEvent> mQueue;
    HANDLE mSemaphore = nullptr;
    HANDLE mMutex = nullptr;
    // The server end (host side). The reader side keeps its own handle, so a
    // process that is both never mixes the two ends up.
    HANDLE mPipe = nullptr;
    HANDLE mClientPipe = nullptr;
    OnceSlot<HANDLE> mClient;
    long mConnectAttempts = 0;
};

// The event-service thread: serves the pipe for the rest of the process.
// Returns 0 only when the server could not start.
unsigned __stdcall eventServiceThread(void *unused);
