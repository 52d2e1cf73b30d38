// Descriptors that are either C-runtime descriptors or Winsock sockets, and
// the file exports that sit beside them.
#include "os/files.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "os/diagnostics.h"

namespace {

constexpr size_t kPathSize = MAX_PATH;
constexpr long kFionbio = static_cast<long>(0x8004667EUL);

kestle::files::CreateFileFn sCreateFile;

HANDLE createFile(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    return (sCreateFile ? sCreateFile : CreateFileA)(name, access, share, nullptr, disposition, flags, nullptr);
}

// The C runtime's errno for a failed file call: the runtime's own table, so
// a caller sees what its rename would have reported.
int errnoFromWin32(DWORD error)
{
    if (error >= ERROR_WRITE_PROTECT && error <= ERROR_SHARING_BUFFER_EXCEEDED)
        return EACCES;
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED:
        return EACCES;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE:
    case ERROR_DIRECT_ACCESS_HANDLE:
        return EBADF;
    case ERROR_ARENA_TRASHED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_INVALID_BLOCK:
    case ERROR_NOT_ENOUGH_QUOTA:
        return ENOMEM;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    case ERROR_DISK_FULL:
        return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    default:
        return EINVAL;
    }
}

bool exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

} // namespace

namespace kestle::files {

void setCreateFile(CreateFileFn fn) { sCreateFile = fn; }

} // namespace kestle::files

extern "C" {

int KESTLE_CALL osal_isSocket(int fd)
{
    // Such values are never taken for sockets.
    if ((fd & 3) == 3)
        return 0;
    // Asking for the socket type has no side effect on the socket; the
    // network-event query would read and clear the events a caller of
    // WSAEventSelect is waiting to collect.
    int type = 0;
    int length = sizeof type;
    int savedError = WSAGetLastError();
    int result = getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &length);
    WSASetLastError(savedError);
    return result == 0 ? 1 : 0;
}

int KESTLE_CALL osal_read(int fd, void *buf, int n)
{
    if (osal_isSocket(fd))
        return osal_sock_recv(static_cast<SOCKET>(fd), static_cast<char *>(buf), n, 0);
    // A negative count would reach the runtime as a huge unsigned one.
    if (n < 0) {
        errno = EINVAL;
        return -1;
    }
    return _read(fd, buf, static_cast<unsigned>(n));
}

int KESTLE_CALL osal_write(int fd, const void *buf, int n)
{
    if (osal_isSocket(fd))
        return osal_sock_send(static_cast<SOCKET>(fd), static_cast<const char *>(buf), n, 0);
    if (n < 0) {
        errno = EINVAL;
        return -1;
    }
    return _write(fd, buf, static_cast<unsigned>(n));
}

int KESTLE_CALL osal_close(int fd)
{
    if (osal_isSocket(fd))
        return closesocket(static_cast<SOCKET>(fd)) == 0 ? 0 : -1;
    return _close(fd);
}

int KESTLE_CALL osal_dup(int fd)
{
    if (!osal_isSocket(fd))
        return _dup(fd);
    // A duplicated kernel handle is not a socket to Winsock everywhere;
    // Winsock's own duplication gives one that every socket call accepts.
    WSAPROTOCOL_INFOA info;
    if (WSADuplicateSocketA(static_cast<SOCKET>(fd), GetCurrentProcessId(), &info) != 0) {
        errno = WSAGetLastError();
        return -1;
    }
    SOCKET copy = WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                             WSA_FLAG_OVERLAPPED);
    if (copy == INVALID_SOCKET) {
        errno = WSAGetLastError();
        return -1;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(copy), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int>(copy);
}

intptr_t KESTLE_CALL osal_getOsHandle(int fd)
{
    if (osal_isSocket(fd))
        return fd;
    return _get_osfhandle(fd);
}

int KESTLE_CALL osal_openOsHandle(intptr_t h, int flags)
{
    if (osal_isSocket(static_cast<int>(h)))
        return static_cast<int>(h);
    return _open_osfhandle(h, flags | _O_BINARY);
}

intptr_t KESTLE_CALL osal_get_osfhandle(int fd) { return _get_osfhandle(fd); }

int KESTLE_CALL osal_open_osfhandle(intptr_t h, int flags) { return _open_osfhandle(h, flags); }

int KESTLE_CALL osal_ioctl(int fd, long request, unsigned long *arg)
{
    int r = -1;
    // Only non-blocking mode is carried out; without a value there is nothing
    // to set.
    if (request == kFionbio && arg) {
        int savedErrno = errno;
        int osHandle = static_cast<int>(_get_osfhandle(fd));
        errno = savedErrno;
        debugPrint("calling ioctlsocket(%d, FIONBIO, %d)\n", osHandle, static_cast<int>(*arg));
        r = ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, reinterpret_cast<u_long *>(arg));
    }
    debugPrint("ioctl(...)=%d\n", r);
    return r;
}

int KESTLE_CALL osal_rename(const char *from, const char *to)
{
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
    // The runtime's rename cannot remove a read-only target and reports it
    // as existing; the replacing move below would take it.
    DWORD target = GetFileAttributesA(to);
    if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_READONLY) && exists(from)) {
        errno = EEXIST;
        return -1;
    }
    // One step that replaces the target: a failed rename leaves both names as
    // they were, where removing the target first would lose it. Like the
    // runtime's rename, a file may move to another volume.
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        DWORD error = GetLastError();
        // A target that could not be replaced (a folder, a file in use) is
        // reported as the runtime's rename reports a target still there.
        bool blocked = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                       error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
        errno = blocked && target != INVALID_FILE_ATTRIBUTES && exists(to) ? EEXIST : errnoFromWin32(error);
        return -1;
    }
    return 0;
}

int KESTLE_CALL osal_stat(const char *path, struct _stat64 *st)
{
    if (!path || !st) {
        errno = EINVAL;
        return -1;
    }
    int r = _stat64(path, st);
    if (r == 0) {
        st->st_uid = static_cast<short>(osal_getuid());
        st->st_gid = static_cast<short>(osal_getgid());
    }
    return r;
}

int KESTLE_CALL osal_openTempFile(const char *prefix, unsigned size, int exec)
{
    const char *root = osal_getRootDir();
    if (!root || !*root)
        return -1;
    // A cut folder name would name another folder.
    char dir[kPathSize];
    int length = snprintf(dir, sizeof dir, "%s/tmp", root);
    if (length < 0 || static_cast<size_t>(length) >= sizeof dir)
        return -1;
    char name[kPathSize];
    if (GetTempFileNameA(dir, prefix, 0, name) == 0)
        return -1;
    DWORD access = GENERIC_READ | GENERIC_WRITE | (exec ? GENERIC_EXECUTE : 0);
    HANDLE h = createFile(name, access, 0, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE);
    if (h == INVALID_HANDLE_VALUE) {
        // The empty file is ours alone; nobody else will remove it.
        DeleteFileA(name);
        return -1;
    }
    // From here on the handle removes the file when it is closed. A file
    // shorter than asked for must not pass for a good one.
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(h, distance, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
        CloseHandle(h);
        return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_APPEND);
    if (fd == -1) {
        CloseHandle(h);
        return -1;
    }
    _lseek(fd, 0, SEEK_SET);
    return fd;
}

} // extern "C"
