// Connections to the log servers: any loopback service of the socket map, the
// log daemon once per process, and the pipe log server once per process.
#include "os/logconn.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/once.h"

namespace {

// The process's one connection to each log server. Only the caller that
// makes an attempt writes the cached value, and its slot publishes it once
// the attempt has succeeded; while an attempt is under way the other callers
// wait for it, and after a failed one the next caller tries again.
int sCachedSocket;
HANDLE sCachedPipe;
constinit OnceSlot<int> sLogDaemon;
constinit OnceSlot<HANDLE> sPipeLogServer;

kestle::logconn::SocketFn sSocket;
kestle::logconn::ResolveFn sResolve;
DWORD sSocketRetryPause = kestle::logconn::kSocketRetryPauseMs;

SOCKET makeSocket(int family, int type, int protocol)
{
    return sSocket ? sSocket(family, type, protocol) : socket(family, type, protocol);
}

hostent *resolve(const char *name) { return sResolve ? sResolve(name) : gethostbyname(name); }

// The caller may be watching a pipe or a file: each line is there at once,
// not when the C runtime's buffer happens to fill.
void say(const char *line)
{
    puts(line);
    fflush(stdout);
}

// One attempt to reach the log daemon: the cached socket, or null (and a
// message) when no socket could be created.
int *connectLogDaemon()
{
    int s = osal_connectServer("scrived");
    if (s < 0) {
        say("scrived socket error");
        // A failure that lasts (no socket library started, no sockets left)
        // would otherwise spin a processor and print without end: retry at
        // the pace of the connect loop. The attempt is still under way
        // meanwhile, so the other callers keep waiting.
        Sleep(sSocketRetryPause);
        return nullptr;
    }
    sCachedSocket = s;
    return &sCachedSocket;
}

// One attempt to reach the pipe log server: the cached handle, or null (and a
// message) when the pipe cannot be opened.
HANDLE *connectPipeLogServer()
{
    for (;;) {
        HANDLE h = osal_connectServerPipe(kestle::logconn::kPipeName);
        // Another client took the instance that came free between the wait
        // and the open: the server is there, so wait again.
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY)
            continue;
        if (!h || h == INVALID_HANDLE_VALUE) {
            say("tallowd pipe open error");
            return nullptr;
        }
        sCachedPipe = h;
        return &sCachedPipe;
    }
}

} // namespace

namespace kestle::logconn {

const char kLoopbackHost[] = "localhost";
const char kPipeName[] = "\\\\.\\pipe\\vantrell_pipelogd";

void setSocket(SocketFn fn) { sSocket = fn; }
void setResolve(ResolveFn fn) { sResolve = fn; }
void setSocketRetryPause(DWORD ms) { sSocketRetryPause = ms; }

} // namespace kestle::logconn

extern "C" {

int KESTLE_CALL osal_connectServer(const char *name)
{
    // There is no key to look up: say so instead of reading through a null.
    if (!name) {
        WSASetLastError(WSAEFAULT);
        errno = WSAEFAULT;
        return -1;
    }
    int s = static_cast<int>(makeSocket(AF_INET, SOCK_STREAM, 0));
    if (s < 0)
        return s;

    hostent *host = resolve(kestle::logconn::kLoopbackHost);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list ||
        !host->h_addr_list[0]) {
        say("osal_connectServer: resolving the loopback host name \"localhost\" failed");
        exit(1);
    }

    // Looked up once: an absent key (-1) becomes port 65535, and a port that
    // changes in the table later is not noticed.
    int port = osal_sockmap_get(name);
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    memcpy(&addr.sin_addr, host->h_addr_list[0], 4);

    while (connect(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        int error = WSAGetLastError();
        printf("failed to connect to log server: %s(%d), WSAGetLastError=%d\n", "scrived", port, error);
        fflush(stdout);
        Sleep(1000);
    }
    return s;
}

int KESTLE_CALL osal_connectLogServer(void)
{
    // Never handed a failure: the attempt itself paused after one.
    return sLogDaemon.getOrCreateWaiting(0, connectLogDaemon);
}

HANDLE KESTLE_CALL osal_connectLogServerPipe(void)
{
    HANDLE *pipe = sPipeLogServer.getOrCreate(connectPipeLogServer);
    return pipe ? *pipe : nullptr;
}

} // extern "C"
