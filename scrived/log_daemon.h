// The log daemon: one listening socket on the loopback, one thread per client,
// every byte received appended to the log file under one lock.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "loopback_service.h"

class LogDaemon;

using ConnectionArg = loopback::ConnectionArg<LogDaemon>;

class LogDaemon {
public:
    static constexpr int kChunkSize = 4096;
    static constexpr int kPathSize = 260;

    static LogDaemon *getInstance();
    LogDaemon();

    // Socket, registration, log file, listen; every failure ends the process.
    void setup();
    // The socket half of setup: created, bound, registered as "scrived".
    void createSocket();
    [[noreturn]] void run();
    // One turn of the accept loop.
    void acceptOne();
    static void *clientThread(ConnectionArg *arg);
    // Writes all of data to the log file unless the file refuses; under the lock.
    void append(const char *data, int len);
    [[noreturn]] static void fatal(const char *message);

    // The log file path for a root directory, or false when it does not fit.
    static bool logPath(const char *rootDir, char (&path)[kPathSize]);

    int32_t mListenSock = -1;
    int32_t mLogFd = -1;
    pthread_mutex_t mLock;
    loopback::ThreadStarter mStartThread;
};

// Writes len bytes to fd, going on after short writes; the bytes written.
// `write` is _write in the daemon.
int writeFully(int fd, const char *data, int len, int (*write)(int, const void *, unsigned int));
