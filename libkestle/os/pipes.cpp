// Named pipes in byte mode with blocking calls, and the length-prefixed
// framing of the gathering write.
#include <climits>
#include <cstdint>

#include "kestle.h"

namespace {

// Whole-buffer transfer: ReadFile or WriteFile until len bytes have moved.
// A call that succeeds but moves nothing (a handle at end of file) would
// repeat for ever: it counts as a peer that has gone.
template <typename Byte, typename Transfer>
int transferAll(HANDLE h, Byte *buf, unsigned len, Transfer transfer)
{
    if (len == 0)
        return 0;
    if (!buf || len > static_cast<unsigned>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    unsigned total = 0;
    while (total < len) {
        DWORD n = 0;
        if (!transfer(h, buf + total, len - total, &n))
            return -1;
        if (n == 0) {
            SetLastError(ERROR_BROKEN_PIPE);
            return -1;
        }
        total += n;
    }
    return static_cast<int>(total);
}

} // namespace

extern "C" {

HANDLE KESTLE_CALL osal_createPipe(const char *name)
{
    HANDLE h = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                PIPE_UNLIMITED_INSTANCES, 0, 0, NMPWAIT_WAIT_FOREVER, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

BOOL KESTLE_CALL osal_waitPipeClient(HANDLE server)
{
    return ConnectNamedPipe(server, nullptr);
}

BOOL KESTLE_CALL osal_waitPipeServer(const char *name)
{
    return WaitNamedPipeA(name, NMPWAIT_WAIT_FOREVER);
}

HANDLE KESTLE_CALL osal_connectPipe(const char *name)
{
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
        DWORD e = GetLastError();
        osal_closePipe(h);
        SetLastError(e);
        return nullptr;
    }
    return h;
}

HANDLE KESTLE_CALL osal_connectServerPipe(const char *name)
{
    osal_waitPipeServer(name); // a missing pipe fails at once; the open says so
    return osal_connectPipe(name);
}

BOOL KESTLE_CALL osal_closePipe(HANDLE h)
{
    return CloseHandle(h);
}

int KESTLE_CALL osal_readPipe(HANDLE h, void *buf, unsigned len)
{
    return transferAll(h, static_cast<unsigned char *>(buf), len,
                       [](HANDLE p, unsigned char *at, unsigned n, DWORD *done) {
                           return ReadFile(p, at, n, done, nullptr);
                       });
}

int KESTLE_CALL osal_writePipe(HANDLE h, const void *buf, unsigned len)
{
    return transferAll(h, static_cast<const unsigned char *>(buf), len,
                       [](HANDLE p, const unsigned char *at, unsigned n, DWORD *done) {
                           return WriteFile(p, at, n, done, nullptr);
                       });
}

int KESTLE_CALL osal_writevPipe(HANDLE h, const iovec *vec, int count)
{
    if (count <= 0)
        return 0;
    // Every element is checked before the first byte goes out, so a bad one
    // leaves no half-written frames behind.
    if (!vec) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    int64_t sum = 0;
    for (int i = 0; i < count; ++i) {
        if (vec[i].iov_len < 0 || (!vec[i].iov_base && vec[i].iov_len != 0)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return -1;
        }
        sum += vec[i].iov_len;
        if (sum > INT_MAX) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return -1;
        }
    }
    int total = 0;
    for (int i = 0; i < count; ++i) {
        // The length word in little-endian order, the host's own.
        PipeFrame frame{vec[i].iov_len};
        if (osal_writePipe(h, &frame, sizeof frame) < 0)
            return -1;
        if (osal_writePipe(h, vec[i].iov_base, static_cast<unsigned>(frame.length)) < 0)
            return -1;
        total += frame.length;
    }
    return total;
}

unsigned KESTLE_CALL osal_peekPipe(HANDLE h)
{
    DWORD read = 0, available = 0;
    if (!PeekNamedPipe(h, nullptr, 0, &read, &available, nullptr))
        return 0;
    return available;
}

int KESTLE_CALL osal_transactPipe(HANDLE h, const void *in, int inLen, void *out, int outLen)
{
    if (inLen < 0 || outLen < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD read = 0;
    if (!TransactNamedPipe(h, const_cast<void *>(in), static_cast<DWORD>(inLen), out, static_cast<DWORD>(outLen),
                           &read, nullptr))
        return -1;
    return static_cast<int>(read);
}

} // extern "C"
