#include "log_daemon.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <cstdio>
#include <cstdlib>

#include "kestle.h"

namespace {

LogDaemon *sInstance;

constexpr const char *kServiceName = "scrived";
constexpr const char *kLogFile = "/dev/log/main";

} // namespace

int writeFully(int fd, const char *data, int len, int (*write)(int, const void *, unsigned int))
{
    int done = 0;
    while (done < len) {
        int n = write(fd, data + done, static_cast<unsigned int>(len - done));
        // 0 would repeat for ever: a file that takes nothing has refused.
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

LogDaemon *LogDaemon::getInstance()
{
    if (!sInstance)
        sInstance = new LogDaemon();
    return sInstance;
}

LogDaemon::LogDaemon() : mStartThread(pthread_create) { pthread_mutex_init(&mLock, nullptr); }

void LogDaemon::fatal(const char *message)
{
    fputs(message, stderr);
    exit(-1);
}

bool LogDaemon::logPath(const char *rootDir, char (&path)[kPathSize])
{
    int n = snprintf(path, sizeof path, "%s%s", rootDir, kLogFile);
    return n >= 0 && n < kPathSize;
}

void LogDaemon::createSocket()
{
    uint16_t portField = 0;
    loopback::Failure failed = loopback::openSocket(&mListenSock, &portField);
    if (failed == loopback::Failure::Socket) {
        printf("create listen socket failed, lasterror=%d\n", static_cast<int>(GetLastError()));
        fflush(stdout);
        exit(1);
    }
    if (failed != loopback::Failure::None)
        fatal(loopback::failureMessage(failed));
    // The field as stored, in network byte order.
    printf("serv.sin_port=%d\n", static_cast<int>(portField));
    fflush(stdout);
    int port = ntohs(portField);
    if (osal_sockmap_add(kServiceName, port, _getpid()) != 0)
        fatal("Failed to add socket to sockmap\n");
    printf("add (%s, %d) to sockmap ok\n", kServiceName, port);
    fflush(stdout);
}

void LogDaemon::setup()
{
    createSocket();
    // A cut-off path would name another file: a root too long is a failed open.
    char path[kPathSize];
    if (!logPath(osal_getRootDir(), path))
        fatal("file open failed");
    mLogFd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0666);
    if (mLogFd < 0)
        fatal("file open failed");
    loopback::Failure failed = loopback::startListening(mListenSock);
    if (failed != loopback::Failure::None)
        fatal(loopback::failureMessage(failed));
}

void LogDaemon::run()
{
    for (;;)
        acceptOne();
}

void LogDaemon::acceptOne()
{
    int32_t sock = loopback::acceptNext(mListenSock);
    if (sock < 0) {
        static const char kMessage[] = "scrived accept failed";
        fwrite(kMessage, 1, sizeof kMessage - 1, stderr);
        return;
    }
    loopback::startConnection<LogDaemon, clientThread>(mStartThread, this, sock);
}

void LogDaemon::append(const char *data, int len)
{
    pthread_mutex_lock(&mLock);
    writeFully(mLogFd, data, len, _write);
    pthread_mutex_unlock(&mLock);
}

void *LogDaemon::clientThread(ConnectionArg *arg)
{
    LogDaemon *owner = arg->owner;
    SOCKET sock = static_cast<SOCKET>(arg->sock);
    free(arg);

    char *buf = static_cast<char *>(malloc(kChunkSize));
    if (!buf) {
        static const char kMessage[] = "memory allocation failed\n";
        fwrite(kMessage, 1, sizeof kMessage - 1, stderr);
        closesocket(sock);
        return nullptr;
    }
    for (;;) {
        int n = recv(sock, buf, kChunkSize, 0);
        if (n <= 0)
            break;
        owner->append(buf, n);
    }
    free(buf);
    closesocket(sock);
    return nullptr;
}
