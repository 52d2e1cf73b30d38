#include "os/sockets.h"

#include <ws2tcpip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

constexpr int kSelectTimedOut = -209;
constexpr int kSelectInterrupted = -208;
constexpr int kSelectFailed = -247;
constexpr u_int kSetSize = FD_SETSIZE;

// Set by the first successful osal_winsockInit; read without a lock.
volatile LONG sStarted;
kestle::sockets::StartupFn sStartup;
kestle::sockets::SelectFn sSelect;

int startup(WORD version, WSADATA *data) { return sStartup ? sStartup(version, data) : WSAStartup(version, data); }

// The C runtime's atexit wants a void function.
void winsockExitAtEnd() { osal_winsockExit(); }

// Guest code reads Winsock's code in errno after every wrapped call.
template <typename T> T withErrno(T result)
{
    errno = WSAGetLastError();
    return result;
}

} // namespace

namespace kestle::sockets {

void setStartup(StartupFn fn) { sStartup = fn; }
void setSelect(SelectFn fn) { sSelect = fn; }
bool started() { return sStarted != 0; }

} // namespace kestle::sockets

extern "C" {

int KESTLE_CALL osal_winsockInit(void)
{
    if (!sStarted) {
        WSADATA data;
        if (startup(0x0001, &data) != 0)
            return -1;
        atexit(winsockExitAtEnd);
        sStarted = 1;
    }
    osal_getRootDir();
    return 0;
}

int KESTLE_CALL osal_winsockExit(void) { return WSACleanup(); }

int KESTLE_CALL osal_sock_startup(void)
{
    WSADATA data;
    return startup(0x0202, &data);
}

} // extern "C"
