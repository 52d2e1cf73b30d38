#include "os/sockets.h"

#include <ws2tcpip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "os/once.h"

namespace {

constexpr int kSelectTimedOut = -209;
constexpr int kSelectInterrupted = -208;
constexpr int kSelectFailed = -247;
constexpr u_int kSetSize = FD_SETSIZE;

// The start-up data of the first successful osal_winsockInit; the slot holds
// it from then on.
WSADATA sStartedData;
constinit OnceSlot<WSADATA> sStarted;
kestle::sockets::StartupFn sStartup;
kestle::sockets::SelectFn sSelect;

int startup(WORD version, WSADATA *data) { return sStartup ? sStartup(version, data) : WSAStartup(version, data); }

// The C runtime's atexit wants a void function.
void winsockExitAtEnd() { osal_winsockExit(); }

// One start of the socket library, its clean-up registered for the end of
// the process; null when the start-up failed.
WSADATA *startOnce()
{
    if (startup(0x0001, &sStartedData) != 0)
        return nullptr;
    atexit(winsockExitAtEnd);
    return &sStartedData;
}

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
bool started() { return sStarted.get() != nullptr; }

} // namespace kestle::sockets

extern "C" {

int KESTLE_CALL osal_winsockInit(void)
{
    if (!sStarted.getOrCreate(startOnce))
        return -1;
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

extern "C" {

SOCKET KESTLE_CALL osal_sock_socket(int family, int type, int protocol)
{
    return withErrno(socket(family, type, protocol));
}

int KESTLE_CALL osal_sock_bind(SOCKET s, const sockaddr *addr, int addrLen) { return withErrno(bind(s, addr, addrLen)); }

int KESTLE_CALL osal_sock_listen(SOCKET s, int backlog) { return withErrno(listen(s, backlog)); }

SOCKET KESTLE_CALL osal_sock_accept(SOCKET s, sockaddr *addr, int *addrLen)
{
    return withErrno(accept(s, addr, addrLen));
}

int KESTLE_CALL osal_sock_connect(SOCKET s, const sockaddr *addr, int addrLen)
{
    return withErrno(connect(s, addr, addrLen));
}

int KESTLE_CALL osal_sock_send(SOCKET s, const char *buf, int len, int flags)
{
    return withErrno(send(s, buf, len, flags));
}

int KESTLE_CALL osal_sock_sendto(SOCKET s, const char *buf, int len, int flags, const sockaddr *to, int toLen)
{
    return withErrno(sendto(s, buf, len, flags, to, toLen));
}

int KESTLE_CALL osal_sock_recv(SOCKET s, char *buf, int len, int flags) { return withErrno(recv(s, buf, len, flags)); }

int KESTLE_CALL osal_sock_recvfrom(SOCKET s, char *buf, int len, int flags, sockaddr *from, int *fromLen)
{
    return withErrno(recvfrom(s, buf, len, flags, from, fromLen));
}

int KESTLE_CALL osal_sock_shutdown(SOCKET s, int how) { return withErrno(shutdown(s, how)); }

int KESTLE_CALL osal_sock_close(SOCKET s) { return withErrno(closesocket(s)); }

int KESTLE_CALL osal_sock_getsockname(SOCKET s, sockaddr *addr, int *addrLen)
{
    return withErrno(getsockname(s, addr, addrLen));
}

int KESTLE_CALL osal_sock_getsockopt(SOCKET s, int level, int name, char *value, int *valueLen)
{
    return withErrno(getsockopt(s, level, name, value, valueLen));
}

int KESTLE_CALL osal_sock_setsockopt(SOCKET s, int level, int name, const char *value, int valueLen)
{
    return withErrno(setsockopt(s, level, name, value, valueLen));
}

int KESTLE_CALL osal_sock_getnameinfo(const sockaddr *addr, int addrLen, char *host, unsigned hostLen, char *serv,
                                      unsigned servLen, int flags)
{
    return withErrno(getnameinfo(addr, addrLen, host, hostLen, serv, servLen, flags));
}

int KESTLE_CALL osal_sock_select(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
                                 const timeval *timeout)
{
    // Winsock never writes the time-out; these headers just lack the const.
    return withErrno(select(nfds, readSet, writeSet, exceptSet, const_cast<timeval *>(timeout)));
}

int KESTLE_CALL osal_sock_peekRead(SOCKET s, unsigned long *count) { return withErrno(ioctlsocket(s, FIONREAD, count)); }

int KESTLE_CALL osal_sock_setNBlock(SOCKET s, int on)
{
    u_long mode = static_cast<u_long>(on);
    return withErrno(ioctlsocket(s, FIONBIO, &mode));
}

int KESTLE_CALL osal_sock_sockselect(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
                                     const timeval *timeout)
{
    int result = sSelect ? sSelect(nfds, readSet, writeSet, exceptSet, timeout)
                         : select(nfds, readSet, writeSet, exceptSet, const_cast<timeval *>(timeout));
    if (result > 0)
        return result;
    if (result == 0)
        return kSelectTimedOut;
    int error = WSAGetLastError();
    errno = error;
    return error == WSAEINTR ? kSelectInterrupted : kSelectFailed;
}

int KESTLE_CALL osal_sock_selectWait(SOCKET s, int usec, int forWrite)
{
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = s;
    // The whole wait goes in the microseconds field, as callers expect.
    timeval limit{0, usec};
    const timeval *timeout = usec >= 0 ? &limit : nullptr;
    int nfds = static_cast<int>(s + 1);
    if (forWrite)
        return osal_sock_sockselect(nfds, nullptr, &set, nullptr, timeout);
    return osal_sock_sockselect(nfds, &set, nullptr, nullptr, timeout);
}

char *KESTLE_CALL osal_sock_gai_strerror(int code)
{
    wchar_t *text = nullptr;
    DWORD got = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_FROM_SYSTEM,
                               nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    if (got == 0 || !text) {
        // No system text: a message naming the code, still the caller's to free.
        char *out = static_cast<char *>(malloc(32));
        if (out)
            snprintf(out, 32, "Unknown error %d", code);
        return out;
    }
    int wideLen = static_cast<int>(wcslen(text));
    int n = wideLen ? WideCharToMultiByte(CP_UTF8, 0, text, wideLen, nullptr, 0, nullptr, nullptr) : 0;
    char *out = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (out) {
        if (n)
            WideCharToMultiByte(CP_UTF8, 0, text, wideLen, out, n, nullptr, nullptr);
        out[n] = '\0';
    }
    LocalFree(text);
    return out;
}

fd_set *KESTLE_CALL osal_alloc_fd_set(void) { return static_cast<fd_set *>(malloc(sizeof(fd_set))); }

void KESTLE_CALL osal_free_fd_set(fd_set *set) { free(set); }

void KESTLE_CALL osal_FD_ZERO(fd_set *set) { set->fd_count = 0; }

// A set's count may be anything (a block from osal_alloc_fd_set that was
// never zeroed): never look past its 64 entries.
void KESTLE_CALL osal_FD_SET(SOCKET s, fd_set *set)
{
    u_int count = set->fd_count;
    u_int members = count < kSetSize ? count : kSetSize;
    for (u_int i = 0; i < members; ++i)
        if (set->fd_array[i] == s)
            return;
    if (count < kSetSize) {
        set->fd_array[count] = s;
        set->fd_count = count + 1;
    }
}

int KESTLE_CALL osal_FD_ISSET(SOCKET s, fd_set *set)
{
    u_int count = set->fd_count;
    u_int members = count < kSetSize ? count : kSetSize;
    for (u_int i = 0; i < members; ++i)
        if (set->fd_array[i] == s)
            return 1;
    return 0;
}

} // extern "C"
