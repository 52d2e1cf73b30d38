/*
 * kestle.h - the interface of libkestle.dll.
 *
 * Every export of the library and every record it exchanges with its callers.
 * Usable from C11 and C++. All functions are cdecl unless marked otherwise;
 * the record layouts below are part of the interface (shared memory, pipes)
 * and are checked at compile time.
 *
 * The DLL's C runtime is msvcrt.dll. Blocks marked "caller frees" come from
 * its malloc: free them with msvcrt.dll's free. A program built against
 * another C runtime (UCRT, a Microsoft compiler's) must not pass them to its
 * own free; it takes msvcrt.dll's, which is loaded with the DLL:
 * GetProcAddress(GetModuleHandleA("msvcrt.dll"), "free").
 */
#ifndef KESTLE_H
#define KESTLE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <winsock2.h>
#include <windows.h>

#ifdef __cplusplus
#define KESTLE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define KESTLE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* The calling conventions of the exports: cdecl, and stdcall for the thirteen
 * osal_gl_* exports that carry decorated names (osal_gl_glBindFramebuffer@8). */
#define KESTLE_CALL __cdecl
#define KESTLE_STDCALL __stdcall

/* What ships is the i686 build; an x86-64 build of the same sources exists
 * for testing. Layouts that follow the pointer size are asserted for each:
 * KESTLE_BY_ARCH(value on i686, value on x86-64). */
#ifdef _WIN64
#define KESTLE_BY_ARCH(i686, x64) (x64)
#else
#define KESTLE_BY_ARCH(i686, x64) (i686)
#endif

/* ------------------------------------------------------------------------
 * Socket map: a registry of named loopback services in shared memory
 * "vntrellsockmap", guarded by the named mutex whose name the table holds.
 * ---------------------------------------------------------------------- */

#define SOCKMAP_MAPPING_NAME "vntrellsockmap"
#define SOCKMAP_LOCK_NAME "Local\\VantrellSockMapLock"
#define SOCKMAP_NAME_SIZE 128
#define SOCKMAP_MAX_ENTRIES 30

typedef struct SockMapEntry {
    char name[SOCKMAP_NAME_SIZE]; /* the key; not terminated when 128 bytes long; empty = deleted */
    int32_t port;                 /* loopback TCP port, host byte order */
    int32_t pid;                  /* process id of the registering process */
} SockMapEntry;

typedef struct SockMapTable {
    char lockName[32];            /* name of the mutex that guards the table */
    int32_t reserved0;
    int32_t reserved1;
    int32_t count;                /* entries appended since the last init, deleted ones included */
    SockMapEntry entries[SOCKMAP_MAX_ENTRIES];
} SockMapTable;

KESTLE_STATIC_ASSERT(sizeof(SockMapEntry) == 136, "SockMapEntry is 136 bytes");
KESTLE_STATIC_ASSERT(offsetof(SockMapEntry, port) == 128, "SockMapEntry.port at 128");
KESTLE_STATIC_ASSERT(offsetof(SockMapEntry, pid) == 132, "SockMapEntry.pid at 132");
KESTLE_STATIC_ASSERT(sizeof(SockMapTable) == 4124, "SockMapTable is 4124 bytes");
KESTLE_STATIC_ASSERT(offsetof(SockMapTable, reserved0) == 32, "SockMapTable.reserved0 at 32");
KESTLE_STATIC_ASSERT(offsetof(SockMapTable, reserved1) == 36, "SockMapTable.reserved1 at 36");
KESTLE_STATIC_ASSERT(offsetof(SockMapTable, count) == 40, "SockMapTable.count at 40");
KESTLE_STATIC_ASSERT(offsetof(SockMapTable, entries) == 44, "SockMapTable.entries at 44");

/* Creates (or opens) the table and resets its header; 0 or -1. */
int KESTLE_CALL osal_sockmap_init(void);
/* Registers or updates a key; 0, or -1 (no table, table full). */
int KESTLE_CALL osal_sockmap_add(const char *name, int port, int pid);
/* Empties a key's entry (its slot stays counted); 0, or -1 if absent. */
int KESTLE_CALL osal_sockmap_del(const char *name);
/* The port of a key, or -1. */
int KESTLE_CALL osal_sockmap_get(const char *name);
/* The pid of a key, or -1. */
int KESTLE_CALL osal_sockmap_getPid(const char *name);
/* The number of entries appended since init, or -1 when there is no table. */
int KESTLE_CALL osal_sockmap_count(void);
/* Entry `index`: 1 with *name pointing into the shared table (at most 128
 * bytes, not always terminated), 0 past the end, -1 with no table. */
int KESTLE_CALL osal_sockmap_enumrate(int index, char **name, int *port, int *pid);

/* ------------------------------------------------------------------------
 * Root directory and environment
 * ---------------------------------------------------------------------- */

/* The drive-less root of the guest's file tree, ending in '/'; computed on the
 * first call from VANTRELL_ROOT (default "c:/vantrell"), which also sets
 * ROOT_VANTRELL_ROOT and the current directory. The library owns the text. */
const char *KESTLE_CALL osal_getRootDir(void);
/* A heap copy of the variable's value (caller frees, with msvcrt.dll's free),
 * or NULL when it is missing or empty. */
char *KESTLE_CALL osal_getEnvVariable(const char *name);
/* Sets (or, with a NULL value, deletes) a variable; 0 or -GetLastError(). */
int KESTLE_CALL osal_setEnvVariable(const char *name, const char *value);
/* The root followed by path, in a heap block of at least 260 bytes that
 * always holds the whole result (caller frees, with msvcrt.dll's free); NULL
 * on a NULL path. */
char *KESTLE_CALL osal_pathTranslate(const char *path);
/* The same with ".exe" appended (caller frees, with msvcrt.dll's free). */
char *KESTLE_CALL osal_pathTranslateExe(const char *path);

/* ------------------------------------------------------------------------
 * Threads and synchronisation objects
 * ---------------------------------------------------------------------- */

/* Each export passes its arguments to the Win32 or C-runtime call it is named
 * after. Create and open exports give a handle or NULL (the Win32 error stays
 * in the thread's last error); the handles are the caller's to close. */

/* _beginthreadex: the thread's handle as an integer, 0 on failure (errno set). */
uintptr_t KESTLE_CALL osal_CreateThread(void *security, unsigned stackSize, unsigned(__stdcall *start)(void *),
                                        void *arg, unsigned initFlag, unsigned *threadId);
DWORD KESTLE_CALL osal_GetCurrentThreadId(void);
HANDLE KESTLE_CALL osal_CreateEvent(SECURITY_ATTRIBUTES *sa, int manualReset, int initialState, const char *name);
HANDLE KESTLE_CALL osal_CreateMutex(SECURITY_ATTRIBUTES *sa, int initialOwner, const char *name);
HANDLE KESTLE_CALL osal_OpenMutex(unsigned access, int inherit, const char *name);
/* 0, or the negated Win32 error (-288 when the caller does not own it). */
int KESTLE_CALL osal_ReleaseMutex(HANDLE mutex);
HANDLE KESTLE_CALL osal_CreateSemaphore(SECURITY_ATTRIBUTES *sa, int initialCount, int maximumCount, const char *name);
HANDLE KESTLE_CALL osal_OpenSemaphore(unsigned access, int inherit, const char *name);
/* ReleaseSemaphore's BOOL. */
BOOL KESTLE_CALL osal_ReleaseSemaphore(HANDLE semaphore, int count, long *previousCount);
/* 0 when the object was signalled, or when an abandoned mutex was taken (the
 * caller then owns it); OSAL_WAIT_TIMED_OUT after a time-out; otherwise the
 * negated Win32 error of the failed wait (-6 for an invalid handle). */
#define OSAL_WAIT_TIMED_OUT (-258)
int KESTLE_CALL osal_WaitForSingleObject(HANDLE h, unsigned ms);
/* SignalObjectAndWait's result unchanged. */
DWORD KESTLE_CALL osal_SignalObjectAndWait(HANDLE toSignal, HANDLE toWaitOn, unsigned ms, int alertable);
/* CloseHandle's BOOL. */
BOOL KESTLE_CALL osal_CloseHandle(HANDLE h);
/* A new, initialised (recursive) critical section on the heap; NULL when out
 * of memory. Release it only with osal_deleteCriticalSection. */
CRITICAL_SECTION *KESTLE_CALL osal_allocCriticalSection(void);
void KESTLE_CALL osal_EnterCriticalSection(CRITICAL_SECTION *cs);
void KESTLE_CALL osal_LeaveCriticalSection(CRITICAL_SECTION *cs);
/* Deletes and frees a section from osal_allocCriticalSection; NULL does nothing. */
void KESTLE_CALL osal_deleteCriticalSection(CRITICAL_SECTION *cs);

/* ------------------------------------------------------------------------
 * Sockets and socket sets
 * ---------------------------------------------------------------------- */

/* Starts the socket library (version 1.0) once per process, its clean-up
 * registered for exit, and makes sure the root directory is computed;
 * 0, or -1 when the start-up fails (the next call tries again). */
int KESTLE_CALL osal_winsockInit(void);
/* WSACleanup's result. */
int KESTLE_CALL osal_winsockExit(void);
/* One more start-up of the socket library (version 2.2); WSAStartup's result. */
int KESTLE_CALL osal_sock_startup(void);

/* Thin wrappers: each calls the Winsock function of its name with the
 * arguments unchanged, stores WSAGetLastError() into errno (after every call,
 * success included, so errno holds Winsock codes) and returns the Winsock
 * result unchanged. */
SOCKET KESTLE_CALL osal_sock_socket(int family, int type, int protocol);
int KESTLE_CALL osal_sock_bind(SOCKET s, const struct sockaddr *addr, int addrLen);
int KESTLE_CALL osal_sock_listen(SOCKET s, int backlog);
SOCKET KESTLE_CALL osal_sock_accept(SOCKET s, struct sockaddr *addr, int *addrLen);
int KESTLE_CALL osal_sock_connect(SOCKET s, const struct sockaddr *addr, int addrLen);
int KESTLE_CALL osal_sock_send(SOCKET s, const char *buf, int len, int flags);
int KESTLE_CALL osal_sock_sendto(SOCKET s, const char *buf, int len, int flags, const struct sockaddr *to, int toLen);
int KESTLE_CALL osal_sock_recv(SOCKET s, char *buf, int len, int flags);
int KESTLE_CALL osal_sock_recvfrom(SOCKET s, char *buf, int len, int flags, struct sockaddr *from, int *fromLen);
int KESTLE_CALL osal_sock_shutdown(SOCKET s, int how);
int KESTLE_CALL osal_sock_close(SOCKET s);
int KESTLE_CALL osal_sock_getsockname(SOCKET s, struct sockaddr *addr, int *addrLen);
int KESTLE_CALL osal_sock_getsockopt(SOCKET s, int level, int name, char *value, int *valueLen);
int KESTLE_CALL osal_sock_setsockopt(SOCKET s, int level, int name, const char *value, int valueLen);
int KESTLE_CALL osal_sock_getnameinfo(const struct sockaddr *addr, int addrLen, char *host, unsigned hostLen,
                                      char *serv, unsigned servLen, int flags);
int KESTLE_CALL osal_sock_select(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
                                 const struct timeval *timeout);
/* ioctlsocket FIONREAD: the number of bytes waiting, into *count. */
int KESTLE_CALL osal_sock_peekRead(SOCKET s, unsigned long *count);
/* ioctlsocket FIONBIO: non-zero `on` makes the socket non-blocking. */
int KESTLE_CALL osal_sock_setNBlock(SOCKET s, int on);

/* select, with the library's codes in place of 0 and -1: the number of ready
 * sockets, -209 on time-out, -208 when interrupted (WSAEINTR), -247 on any
 * other failure; errno holds the Winsock code after a failure. */
int KESTLE_CALL osal_sock_sockselect(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
                                     const struct timeval *timeout);
/* Waits until s is readable (forWrite 0) or writable, for usec microseconds
 * (all of it in tv_usec) or without limit when usec < 0; as sockselect. */
int KESTLE_CALL osal_sock_selectWait(SOCKET s, int usec, int forWrite);
/* The system's message for code in UTF-8, in a heap block the caller frees
 * (with msvcrt.dll's free); "Unknown error N" when the system has none. */
char *KESTLE_CALL osal_sock_gai_strerror(int code);

/* Socket sets (the platform fd_set, 64 entries). */
/* Not initialised: osal_FD_ZERO it; free it with osal_free_fd_set. */
fd_set *KESTLE_CALL osal_alloc_fd_set(void);
void KESTLE_CALL osal_free_fd_set(fd_set *set);
void KESTLE_CALL osal_FD_ZERO(fd_set *set);
/* Adds s unless present; a full set drops it. */
void KESTLE_CALL osal_FD_SET(SOCKET s, fd_set *set);
int KESTLE_CALL osal_FD_ISSET(SOCKET s, fd_set *set);

KESTLE_STATIC_ASSERT(sizeof(SOCKET) == KESTLE_BY_ARCH(4, 8), "SOCKET is pointer-sized");
KESTLE_STATIC_ASSERT(sizeof(fd_set) == KESTLE_BY_ARCH(260, 520), "fd_set is a count and 64 sockets");
KESTLE_STATIC_ASSERT(offsetof(fd_set, fd_array) == KESTLE_BY_ARCH(4, 8), "fd_set.fd_array after the count, aligned for a SOCKET");
KESTLE_STATIC_ASSERT(sizeof(struct timeval) == 8, "timeval is two 32-bit longs");

/* ------------------------------------------------------------------------
 * Named pipes
 * ---------------------------------------------------------------------- */

/* Byte-mode, blocking named pipes. osal_writevPipe frames each iovec element
 * as a PipeFrame: its iov_len as a 32-bit little-endian word, then its bytes;
 * frames follow each other directly. */

/* One piece of a gathered buffer: osal_logv's pieces and osal_writevPipe's
 * frames. */
typedef struct iovec {
    void *iov_base;  /* the bytes */
    int32_t iov_len; /* their count */
} iovec;

KESTLE_STATIC_ASSERT(sizeof(iovec) == KESTLE_BY_ARCH(8, 16), "iovec is a pointer and a 32-bit length");
KESTLE_STATIC_ASSERT(offsetof(iovec, iov_len) == KESTLE_BY_ARCH(4, 8), "iovec.iov_len after the pointer");

/* The start of one frame; its `length` bytes follow it directly, unchanged. */
typedef struct PipeFrame {
    int32_t length; /* the element's iov_len */
} PipeFrame;

KESTLE_STATIC_ASSERT(sizeof(PipeFrame) == 4, "PipeFrame's length word is 4 bytes");

/* The server end (duplex, unlimited instances, buffer sizes 0), or NULL. */
HANDLE KESTLE_CALL osal_createPipe(const char *name);
/* ConnectNamedPipe's BOOL: FALSE with ERROR_PIPE_CONNECTED when the client
 * came first (the pipe is then connected and usable). */
BOOL KESTLE_CALL osal_waitPipeClient(HANDLE server);
/* WaitNamedPipeA without limit; FALSE at once when no such pipe exists. */
BOOL KESTLE_CALL osal_waitPipeServer(const char *name);
/* The client end; INVALID_HANDLE_VALUE when it cannot be opened, NULL when it
 * opened but byte read mode could not be set. Callers test both. */
HANDLE KESTLE_CALL osal_connectPipe(const char *name);
/* osal_waitPipeServer, then osal_connectPipe. */
HANDLE KESTLE_CALL osal_connectServerPipe(const char *name);
BOOL KESTLE_CALL osal_closePipe(HANDLE h);
/* Reads exactly len bytes: len, or -1 on failure or when the peer is gone. */
int KESTLE_CALL osal_readPipe(HANDLE h, void *buf, unsigned len);
/* Writes all len bytes: len, or -1. */
int KESTLE_CALL osal_writePipe(HANDLE h, const void *buf, unsigned len);
/* One PipeFrame per element: the data bytes written (length words not
 * counted), or -1. Invalid elements give -1 before anything is written. */
int KESTLE_CALL osal_writevPipe(HANDLE h, const iovec *vec, int count);
/* Bytes available without blocking; 0 also when the peek fails. */
unsigned KESTLE_CALL osal_peekPipe(HANDLE h);
/* TransactNamedPipe: the bytes read into out, or -1. */
int KESTLE_CALL osal_transactPipe(HANDLE h, const void *in, int inLen, void *out, int outLen);

/* ------------------------------------------------------------------------
 * Descriptors and files
 * ---------------------------------------------------------------------- */

/* A descriptor is a C-runtime descriptor or a Winsock socket; the exports
 * below ask osal_isSocket on every call and act on the answer. File results
 * are the C runtime's (-1 with errno); socket results and errno are those of
 * osal_sock_recv and osal_sock_send. */

/* 1 when Winsock takes fd for a socket, else 0; values whose low two bits
 * are both set are never sockets. The socket is left as it was. */
int KESTLE_CALL osal_isSocket(int fd);
/* recv / send with flags 0 on a socket, _read / _write otherwise (a negative
 * count gives -1 with errno EINVAL). */
int KESTLE_CALL osal_read(int fd, void *buf, int n);
int KESTLE_CALL osal_write(int fd, const void *buf, int n);
/* closesocket (0 or -1, errno untouched) or _close. */
int KESTLE_CALL osal_close(int fd);
/* _dup, or a new socket for the same connection (not inheritable); -1 on
 * failure. */
int KESTLE_CALL osal_dup(int fd);
/* The Win32 handle behind a descriptor (a socket is its own handle); -1 for
 * a descriptor that is not open. */
intptr_t KESTLE_CALL osal_getOsHandle(int fd);
/* A socket comes back as it is; a file handle gets a binary-mode C-runtime
 * descriptor (flags | _O_BINARY). */
int KESTLE_CALL osal_openOsHandle(intptr_t h, int flags);
/* The C runtime's own conversions, with no socket test. */
intptr_t KESTLE_CALL osal_get_osfhandle(int fd);
int KESTLE_CALL osal_open_osfhandle(intptr_t h, int flags);
/* Only FIONBIO (0x8004667E) is carried out, as ioctlsocket with *arg, and
 * its result returned; anything else (or a NULL arg) returns -1 and changes
 * nothing. errno is left alone. */
int KESTLE_CALL osal_ioctl(int fd, long request, unsigned long *arg);
/* Renames (a file may move to another volume), replacing an existing target
 * in the same step: 0, or -1 with the runtime's errno, and then both names
 * are as they were. A read-only file or a folder in the way stays (EEXIST). */
int KESTLE_CALL osal_rename(const char *from, const char *to);
/* _stat64, with st_uid and st_gid taken from osal_getuid and osal_getgid
 * (cut to their 16-bit fields) on success. */
int KESTLE_CALL osal_stat(const char *path, struct _stat64 *st);
/* A C-runtime descriptor (binary, append: every write goes to the end) of a
 * new anonymous file of `size` zero bytes in "%s/tmp" under the root
 * directory, read position 0, opened for reading and writing (and executing
 * when exec is non-zero), shared with nobody and removed when its last
 * handle is closed; -1 on failure, and then nothing is left behind. The
 * folder must exist. */
int KESTLE_CALL osal_openTempFile(const char *prefix, unsigned size, int exec);

KESTLE_STATIC_ASSERT(sizeof(intptr_t) == KESTLE_BY_ARCH(4, 8), "handles are pointer-sized");
KESTLE_STATIC_ASSERT(sizeof(struct _stat64) == 56, "_stat64 is 56 bytes");
KESTLE_STATIC_ASSERT(offsetof(struct _stat64, st_uid) == 10, "_stat64.st_uid at 10");
KESTLE_STATIC_ASSERT(offsetof(struct _stat64, st_gid) == 12, "_stat64.st_gid at 12");
KESTLE_STATIC_ASSERT(offsetof(struct _stat64, st_size) == 24, "_stat64.st_size at 24");

/* ------------------------------------------------------------------------
 * Processes and the stop command
 * ---------------------------------------------------------------------- */

/* Starts cmdline (writable; the new process inherits inheritable handles and,
 * with env NULL, this process's environment). The new process's id, or the
 * negated Win32 error after printing "osal_newProcess cmdline=... error=...". */
int KESTLE_CALL osal_newProcess(char *cmdline, void *env);
/* Runs a UTF-8 command through the command interpreter; _wsystem's result.
 * NULL asks whether an interpreter exists. Bytes that are not UTF-8 reach the
 * interpreter as U+FFFD. -1 with errno EINVAL when the command cannot be
 * converted at all. */
int KESTLE_CALL osal_system(const char *command);
/* Terminates every process whose executable is exactly name + ".exe"
 * (case-sensitive); the number of matching processes. */
int KESTLE_CALL osal_killProcessByName(const char *name);
/* Runs "gueststop" through the command interpreter, then sleeps 999999 ms. */
void KESTLE_CALL osal_dieHard(void);

/* ------------------------------------------------------------------------
 * Administrator rights and integrity level
 * ---------------------------------------------------------------------- */

/* Each answers from the calling process's token (osal_isRunAsAdmin: the
 * calling thread's effective token) and gives 0 on any failure, leaving the
 * failing step's Win32 error as the last error. */
/* 1 when the effective token has an enabled membership of Administrators. */
int KESTLE_CALL osal_isRunAsAdmin(void);
/* The token's TokenIsElevated value (non-zero: elevated). */
int KESTLE_CALL osal_isProcessElevated(void);
/* 1 when the user is an administrator, even while running filtered. */
int KESTLE_CALL osal_isUserInAdminGroup(void);
/* The mandatory label's relative identifier: 0x1000 low, 0x2000 medium,
 * 0x3000 high, 0x4000 system. */
int KESTLE_CALL osal_getProcessIntegrityLevel(void);
/* 1 when the process already has administrator rights or an elevated start of
 * file (NULL: this process's executable, without arguments) was launched;
 * 0 otherwise, also on systems without user account control. */
int KESTLE_CALL osal_runAsAdministrator(const char *file);

/* ------------------------------------------------------------------------
 * Identity stubs and clocks
 * ---------------------------------------------------------------------- */

/* User, group and process-group identities: plain numbers of this process,
 * 0 at start, never checked or shared. Setters store their argument as it is
 * and return 0; pid arguments and the real and saved ids are ignored. */
int KESTLE_CALL osal_getuid(void);
int KESTLE_CALL osal_geteuid(void);
int KESTLE_CALL osal_getgid(void);
int KESTLE_CALL osal_getegid(void);
int KESTLE_CALL osal_getpgid(int pid);
int KESTLE_CALL osal_setuid(int uid);
int KESTLE_CALL osal_seteuid(int euid);
int KESTLE_CALL osal_setgid(int gid);
int KESTLE_CALL osal_setegid(int egid);
int KESTLE_CALL osal_setpgid(int pid, int pgid);
int KESTLE_CALL osal_setreuid(int ruid, int euid);
int KESTLE_CALL osal_setregid(int rgid, int egid);
int KESTLE_CALL osal_setresuid(int ruid, int euid, int suid);
int KESTLE_CALL osal_setresgid(int rgid, int egid, int sgid);

/* Clocks counted from some point at or after the host's start. */
/* The host's tick count in milliseconds, as nanoseconds. */
int64_t KESTLE_CALL osal_systemTime(void);
/* Nanoseconds from the performance counter; 0 when it cannot be read. */
int64_t KESTLE_CALL osal_systemTimeNs(void);
/* Whole seconds from the performance counter (low 32 bits); 0 when it cannot
 * be read. */
int32_t KESTLE_CALL osal_systemTimeSec(void);

/* ------------------------------------------------------------------------
 * Diagnostics
 * ---------------------------------------------------------------------- */

/* The logging exports format their text and then discard it. */

/* Formats with the C runtime's _vsnprintf into 1024 bytes: the length, or -1
 * when the text was longer and cut. */
int KESTLE_CALL osal_logf(const char *format, ...);
/* Returns length; text is not read. */
int KESTLE_CALL osal_logs(const char *text, int length);
/* Gathers the pieces into one scratch buffer of total bytes (never more);
 * returns total. */
int KESTLE_CALL osal_logv(const iovec *pieces, int count, unsigned total);
/* Names the file logger (cut to 63 characters); returns the logger's name,
 * or NULL when its record could not be allocated. */
char *KESTLE_CALL osal_flogger_init(const char *name);
/* Empties the file logger's name; returns it, as osal_flogger_init. */
char *KESTLE_CALL osal_flogger_done(void);

/* ------------------------------------------------------------------------
 * Log-server connection
 * ---------------------------------------------------------------------- */

/* The caller starts the socket library (osal_winsockInit or osal_sock_startup)
 * first. Messages of these calls go to standard output. */

/* A TCP connection to the loopback port that the socket map holds for name
 * (65535 when absent), tried again every second, without limit, until it is
 * accepted; each failed attempt prints a line. The caller owns the socket.
 * Socket creation's negative result, or -1 for a NULL name. */
int KESTLE_CALL osal_connectServer(const char *name);
/* The process's one connection to the log daemon "scrived", made by the first
 * caller and never closed or renewed; concurrent callers wait for it. While no
 * socket can be created it is tried again every second, without limit. */
int KESTLE_CALL osal_connectLogServer(void);
/* The process's one handle (byte mode) to the pipe "\\.\pipe\vantrell_pipelogd",
 * waiting while every instance is busy; NULL when the pipe cannot be opened
 * (the next call tries again). Never closed or renewed. */
HANDLE KESTLE_CALL osal_connectLogServerPipe(void);

/* ------------------------------------------------------------------------
 * Handle inspection
 * ---------------------------------------------------------------------- */

/* Writes the full path of the open file, drive letter first ("C:\dir\f"),
 * into out, which must hold 263 bytes. 1 on success; 0 with out empty for a
 * directory, a handle that is no file on a lettered volume, a path longer
 * than 260 characters or one the ANSI code page cannot show exactly. */
int KESTLE_CALL get_file_name(HANDLE file, char *out);

/* ------------------------------------------------------------------------
 * System object and guest display size
 * ---------------------------------------------------------------------- */

/* The guest display size, fixed when the library first needs it: 0, or -1
 * when the library cannot allocate its system object. */
int KESTLE_CALL osal_getResolution(int *width, int *height);

/* ------------------------------------------------------------------------
 * Host window and message loop
 * ---------------------------------------------------------------------- */

/* Starts the host side once per process: a start-up thread that makes the
 * host window "Vantrell", starts the input pipe's server, makes the display
 * surface and then runs the window's message loop. Returns the thread's
 * handle (a later call returns the same one), 0 when it could not start. */
int KESTLE_CALL osal_system_init(void);
/* Returns once the host window is up (polls every 50 ms, without a limit). */
void KESTLE_CALL osal_system_wait(void);
/* Runs the message loop on the calling thread, translating the host window's
 * accelerators; never returns (WM_QUIT ends the process). */
void KESTLE_CALL osal_window_msg_loop(void);
/* Asks the host window, in this or any process, to pass an Escape press and
 * release to the guest; 0 at once when there is no host window. */
int KESTLE_CALL osal_sendActiveMsg(void);
/* Moves the foreground window to (0, 0) at 100 x 100 pixels. */
int KESTLE_CALL osal_moveWindow(void);

/* ------------------------------------------------------------------------
 * OpenGL display surface
 * ---------------------------------------------------------------------- */

/* The Linux framebuffer's variable screen information, in its published
 * layout; osal_surface_getScreenInfo fills the size and the pixel layout. */
typedef struct fb_bitfield {
    uint32_t offset;
    uint32_t length;
    uint32_t msb_right;
} fb_bitfield;

typedef struct fb_var_screeninfo {
    uint32_t xres;
    uint32_t yres;
    uint32_t xres_virtual;
    uint32_t yres_virtual;
    uint32_t xoffset;
    uint32_t yoffset;
    uint32_t bits_per_pixel;
    uint32_t grayscale;
    fb_bitfield red;
    fb_bitfield green;
    fb_bitfield blue;
    fb_bitfield transp;
    uint32_t nonstd;
    uint32_t activate;
    uint32_t height;
    uint32_t width;
    uint32_t accel_flags;
    uint32_t pixclock;
    uint32_t left_margin;
    uint32_t right_margin;
    uint32_t upper_margin;
    uint32_t lower_margin;
    uint32_t hsync_len;
    uint32_t vsync_len;
    uint32_t sync;
    uint32_t vmode;
    uint32_t rotate;
    uint32_t colorspace;
    uint32_t reserved[4];
} fb_var_screeninfo;

KESTLE_STATIC_ASSERT(sizeof(fb_bitfield) == 12, "fb_bitfield is 12 bytes");
KESTLE_STATIC_ASSERT(sizeof(fb_var_screeninfo) == 160, "fb_var_screeninfo is 160 bytes");
KESTLE_STATIC_ASSERT(offsetof(fb_var_screeninfo, bits_per_pixel) == 24, "fb_var_screeninfo.bits_per_pixel at 24");
KESTLE_STATIC_ASSERT(offsetof(fb_var_screeninfo, red) == 32, "fb_var_screeninfo.red at 32");
KESTLE_STATIC_ASSERT(offsetof(fb_var_screeninfo, transp) == 68, "fb_var_screeninfo.transp at 68");
KESTLE_STATIC_ASSERT(offsetof(fb_var_screeninfo, nonstd) == 80, "fb_var_screeninfo.nonstd at 80");
KESTLE_STATIC_ASSERT(offsetof(fb_var_screeninfo, pixclock) == 100, "fb_var_screeninfo.pixclock at 100");
KESTLE_STATIC_ASSERT(offsetof(fb_var_screeninfo, rotate) == 136, "fb_var_screeninfo.rotate at 136");
KESTLE_STATIC_ASSERT(offsetof(fb_var_screeninfo, reserved) == 144, "fb_var_screeninfo.reserved at 144");

/* ------------------------------------------------------------------------
 * OpenGL and surface exports
 * ---------------------------------------------------------------------- */

/* The guest renderer's way to the display surface. osal_gl_init makes an
 * OpenGL 2.0 (or later) context on the host window, current on the calling
 * thread only: every other osal_gl_* call and osal_surface_post belong on that
 * thread. An OpenGL older than 2.0 or one lacking a framebuffer entry point
 * shows an "Error" box and stops the guest system. 0, or -1 (nothing set up,
 * the guest not stopped) while the host window does not exist yet: a later
 * call, once it does, can succeed. */
int KESTLE_CALL osal_gl_init(void);

/* Framebuffer-era entry points found by osal_gl_init; before it (or when it
 * could not find them) they do nothing, and the status is 0. */
void KESTLE_STDCALL osal_gl_glBindFramebuffer(unsigned int target, unsigned int framebuffer);
void KESTLE_STDCALL osal_gl_glBindRenderbuffer(unsigned int target, unsigned int renderbuffer);
unsigned int KESTLE_STDCALL osal_gl_glCheckFramebufferStatus(unsigned int target);
void KESTLE_STDCALL osal_gl_glDeleteFramebuffers(int n, const unsigned int *framebuffers);
void KESTLE_STDCALL osal_gl_glDeleteRenderbuffers(int n, const unsigned int *renderbuffers);
void KESTLE_STDCALL osal_gl_glFramebufferRenderbuffer(unsigned int target, unsigned int attachment,
                                                      unsigned int renderbuffertarget, unsigned int renderbuffer);
void KESTLE_STDCALL osal_gl_glFramebufferTexture2D(unsigned int target, unsigned int attachment,
                                                   unsigned int textarget, unsigned int texture, int level);
void KESTLE_STDCALL osal_gl_glGenFramebuffers(int n, unsigned int *framebuffers);
void KESTLE_STDCALL osal_gl_glGenRenderbuffers(int n, unsigned int *renderbuffers);
void KESTLE_STDCALL osal_gl_glRenderbufferStorage(unsigned int target, unsigned int internalformat, int width,
                                                  int height);

/* Straight to opengl32; these make no surface. */
void KESTLE_STDCALL osal_gl_glBindTexture(unsigned int target, unsigned int texture);
void KESTLE_STDCALL osal_gl_glOrtho(double left, double right, double bottom, double top, double zNear,
                                    double zFar);
void KESTLE_STDCALL osal_gl_glTexImage2D(unsigned int target, int level, int internalformat, int width, int height,
                                         int border, unsigned int format, unsigned int type, const void *pixels);

/* glActiveTexture, found on first use if osal_gl_init has not found it; a
 * call that cannot find it changes nothing. */
void KESTLE_CALL osal_gl_glActiveTexture(unsigned int texture);
/* opengl32's functions of the same name. */
void KESTLE_CALL osal_gl_glGenTextures(int n, unsigned int *textures);
void KESTLE_CALL osal_gl_glGetIntegerv(unsigned int pname, int *params);
const unsigned char *KESTLE_CALL osal_gl_glGetString(unsigned int name);
void KESTLE_CALL osal_gl_glLoadMatrixf(const float *m);

/* Writes a 32-bit BMP: the 54-byte header, then width * 4 * height bytes of
 * pixels exactly as given (rows and channels untouched). -1, leaving nothing
 * behind, when the file cannot be opened or the arguments describe no image
 * (negative size, NULL pixels for a non-empty one, a file past 4 GiB); -1 also
 * when writing fails, and the unfinished file is removed (a device named by
 * path is left alone). Else 0. */
int KESTLE_CALL osal_surface_bmp_dump(const void *pixels, int width, int height, const char *path);
/* Hands out the surface's two buffer slots in turn (NULL: the surface keeps
 * no pixel buffers; it draws with OpenGL). Always 0. */
int KESTLE_CALL osal_surface_getBuffer(void **buffer);
/* Size (1280 x 800 until the host window sizes the surface), 32 bits per
 * pixel and the colour fields; every other field is left as it was. 0. */
int KESTLE_CALL osal_surface_getScreenInfo(fb_var_screeninfo *info);
/* Sets a pixel projection for the surface size and presents the frame
 * (nothing before osal_gl_init); the argument is not used. Always 0. */
int KESTLE_CALL osal_surface_post(void *unused);

/* ------------------------------------------------------------------------
 * Idle loop and shutdown
 * ---------------------------------------------------------------------- */

/* Dispatches the calling thread's messages and calls idle(arg) whenever none
 * is waiting (a NULL idle just waits for messages). Never returns: WM_QUIT
 * releases the input, audio and surface objects and ends the process with
 * exit status 0. The idle function is cdecl like the exports, also for a
 * caller whose compiler defaults to another convention: declare it
 * void KESTLE_CALL idle(int). */
void KESTLE_CALL osal_init_done(void(KESTLE_CALL *idle)(int), int arg);

/* ------------------------------------------------------------------------
 * Input events
 * ---------------------------------------------------------------------- */

/* One record on the input pipe "\\.\pipe\android_input_pipe": the Linux
 * 32-bit input event, then the guest input device (0 keyboard, 1 pointer) and
 * four reserved zero bytes. */
typedef struct InputEventTime {
    int32_t sec;       /* always 0 */
    int32_t usec;      /* always 0 */
} InputEventTime;

typedef struct InputEvent {
    InputEventTime time;
    uint16_t type;     /* 0 EV_SYN, 1 EV_KEY, 3 EV_ABS */
    uint16_t code;
    int32_t value;
    int32_t device;
    uint8_t reserved[4];
} InputEvent;

KESTLE_STATIC_ASSERT(sizeof(InputEvent) == 24, "InputEvent is 24 bytes");
KESTLE_STATIC_ASSERT(offsetof(InputEvent, time.usec) == 4, "InputEvent.time.usec at 4");
KESTLE_STATIC_ASSERT(offsetof(InputEvent, type) == 8, "InputEvent.type at 8");
KESTLE_STATIC_ASSERT(offsetof(InputEvent, code) == 10, "InputEvent.code at 10");
KESTLE_STATIC_ASSERT(offsetof(InputEvent, value) == 12, "InputEvent.value at 12");
KESTLE_STATIC_ASSERT(offsetof(InputEvent, device) == 16, "InputEvent.device at 16");
KESTLE_STATIC_ASSERT(offsetof(InputEvent, reserved) == 20, "InputEvent.reserved at 20");

/* ------------------------------------------------------------------------
 * Input devices
 * ---------------------------------------------------------------------- */

/* One of the guest's input devices as the library describes it. The records
 * belong to the library and stay in place for the life of the process: read
 * them, never free or change them. */
typedef struct InputDeviceInfo {
    int32_t id;        /* 0 keyboard, 1 mouse: the `device` of an InputEvent */
    char name[64];     /* NUL-terminated, zero after the text */
    char path[64];     /* NUL-terminated, zero after the text */
    int32_t classes;   /* device class bits: 1 keyboard, 4 mouse */
} InputDeviceInfo;

KESTLE_STATIC_ASSERT(sizeof(InputDeviceInfo) == 136, "InputDeviceInfo is 136 bytes");
KESTLE_STATIC_ASSERT(offsetof(InputDeviceInfo, name) == 4, "InputDeviceInfo.name at 4");
KESTLE_STATIC_ASSERT(offsetof(InputDeviceInfo, path) == 68, "InputDeviceInfo.path at 68");
KESTLE_STATIC_ASSERT(offsetof(InputDeviceInfo, classes) == 132, "InputDeviceInfo.classes at 132");

/* Number of guest input devices: 2 (0 when the library cannot allocate its
 * device table). */
int32_t KESTLE_CALL osal_input_getNumInputDevices(void);
/* The device table: osal_input_getNumInputDevices() pointers, or NULL. */
InputDeviceInfo **KESTLE_CALL osal_input_getDevices(void);
/* The `name` of device i (not its `path`); NULL for an index out of range. */
const char *KESTLE_CALL osal_input_getDevicePath(int i);
/* The first device whose `name` equals s exactly (case-sensitive); NULL when
 * none does or s is NULL. */
InputDeviceInfo *KESTLE_CALL osal_input_getDeviceByPath(const char *s);
/* Whole InputEvent records waiting in the input pipe; never waits once the
 * process is connected (the first reader call waits for the host's pipe).
 * 0 once the host has gone. */
int32_t KESTLE_CALL osal_input_getInputNumberN(void);
/* Reads exactly n records into buf, waiting until they have all arrived:
 * 0 when they have (n = 0 reads nothing but still connects), -1 when the
 * host has gone before all came; -1 at once, without connecting, for n < 0
 * or a NULL buf with n > 0. Records not read leave their part of buf as it
 * was. */
int32_t KESTLE_CALL osal_input_getInputN(InputEvent *buf, int n);
/* Waiting for direct device input is not available: -1 at once, without
 * touching rec or device. */
int32_t KESTLE_CALL osal_input_getInputW(InputEvent *rec, int *device);

/* ------------------------------------------------------------------------
 * Audio exports
 * ---------------------------------------------------------------------- */

/* The guest's audio interface. The first call of any of these (even one that
 * only answers a constant) constructs the process's audio device: it waits
 * for the desktop window, sets up DirectSound and starts the pump thread.
 * The one format, for the life of the process: 44100 Hz, 2 channels, 16-bit
 * signed little-endian PCM, channels interleaved (4 bytes per frame).
 * The format queries answer -1 only when no device could be allocated. */

/* Queues all len bytes for playback and returns len, or queues nothing and
 * returns 0 when they do not fit (the queue holds up to 0x1BFFFFF bytes, and a
 * block is never split); never waits for playback. -1 for a negative len or a
 * NULL data with len > 0. One writing thread at a time. */
int32_t KESTLE_CALL osal_audio_streamout_write(const void *data, int len);
/* Stops playback; the queued bytes stay and play again in the pump's next
 * cycle. 0. */
int32_t KESTLE_CALL osal_audio_streamout_standby(void);
/* Plays the named sound file and returns when it has ended: non-zero when it
 * was played, 0 when it could not be (also for a NULL path). Independent of
 * the stream. */
int32_t KESTLE_CALL osal_audio_streamout_playfile(const char *path);
/* 2 (logs "channelsOut=%d"). */
int32_t KESTLE_CALL osal_audio_streamout_channels(void);
/* 1 for PCM, otherwise -1 (logs "formatOut=%d"). */
int32_t KESTLE_CALL osal_audio_streamout_format(void);
/* 44100. */
int32_t KESTLE_CALL osal_audio_streamout_samplerate(void);
/* 0 whatever is queued. */
int32_t KESTLE_CALL osal_audio_streamout_latency(void);
/* 0; the volume does not change. */
int32_t KESTLE_CALL osal_audio_streamout_setVolume(int32_t left, int32_t right);
/* 0. */
int32_t KESTLE_CALL osal_audio_streamout_getParameters(int32_t keys);
int32_t KESTLE_CALL osal_audio_streamout_setParameters(int32_t keyValuePairs);
int32_t KESTLE_CALL osal_audio_streamout_dump(int32_t fd, int32_t args);
/* The input direction has no buffer: write takes and drops the bytes and
 * returns len; the queries report the output format without a log line. */
int32_t KESTLE_CALL osal_audio_streamin_write(const void *data, int len);
int32_t KESTLE_CALL osal_audio_streamin_standby(void);
int32_t KESTLE_CALL osal_audio_streamin_channels(void);
int32_t KESTLE_CALL osal_audio_streamin_format(void);
int32_t KESTLE_CALL osal_audio_streamin_samplerate(void);
int32_t KESTLE_CALL osal_audio_streamin_latency(void);
int32_t KESTLE_CALL osal_audio_streamin_setVolume(int32_t left, int32_t right);
int32_t KESTLE_CALL osal_audio_streamin_getParameters(int32_t keys);
int32_t KESTLE_CALL osal_audio_streamin_setParameters(int32_t keyValuePairs);
int32_t KESTLE_CALL osal_audio_streamin_dump(int32_t fd, int32_t args);

/* ------------------------------------------------------------------------
 * Network adapter table
 * ---------------------------------------------------------------------- */

/* The host's adapters as the osal_net_* exports see them: a table of up to
 * five Ethernet-type adapters in the host's order, each wireless or wired.
 * A label asks for a wireless adapter when it contains "wifi" in any mix of
 * cases, for a wired one otherwise; the first adapter of that kind answers.
 * The table is built on first need and kept until osal_net_getAdaptersInfo
 * or osal_net_dhcp_do_request builds it again. */

/* Builds the table now: its number of entries (0 to 5), or -1 when the host's
 * adapter list could not be fetched (the previous table is kept). */
int KESTLE_CALL osal_net_getAdaptersInfo(void);
/* The number of table entries, building the table first when no adapter list
 * is held. */
int KESTLE_CALL osal_net_getNumberOfAdapters(void);

/* ------------------------------------------------------------------------
 * Network queries by label
 * ---------------------------------------------------------------------- */

/* Each answers for the adapter a label names (see the adapter table above):
 * 0, or -1 when the table has no adapter of the label's kind (or, for the
 * configuration queries, no adapter has an address), and then nothing is
 * written. A NULL label finds nothing; NULL out-arguments are skipped.
 *
 * The hardware address and the interface index are those of the matched
 * adapter. The IPv4 configuration is that of the first adapter in the host's
 * list that has an address, of any kind. Addresses are in network byte order
 * (or dotted text in 16-byte fields, zero-filled); a missing one is 0 or
 * "0.0.0.0". The DNS servers are the host's first two, fetched afresh; the
 * DHCP server and the lease's end (the low 32 bits of its time) are 0 unless
 * DHCP is on. A prefix length counts the mask's bits from the first octet's
 * lowest bit up, to the first clear bit. */

/* Copies the adapter's hardware address (at most 8 bytes, no length). */
int KESTLE_CALL osal_net_get_hwaddr(const char *label, void *buf);
int KESTLE_CALL osal_net_get_ifindex(const char *label, uint32_t *index);
int KESTLE_CALL osal_net_getAdapterInfoByLabel(const char *label, uint32_t *ip, uint32_t *gateway, uint32_t *mask,
                                               uint32_t *dns1, uint32_t *dns2, uint32_t *server, uint32_t *lease);
/* *flags is always 0. */
int KESTLE_CALL osal_net_getAdapterInfoByLabelNumber(const char *label, uint32_t *addr, int *prefixLen, int *flags);
int KESTLE_CALL osal_net_getAdapterInfoByLabelString(const char *label, char ip[16], char gateway[16], int *prefixLen,
                                                     char dns1[16], char dns2[16], char server[16], uint32_t *lease);

/* ------------------------------------------------------------------------
 * Network cached tables
 * ---------------------------------------------------------------------- */

/* Each fetch replaces the library's copy of one host table: the network
 * parameters (host and domain name, DNS servers), the interface list and the
 * IPv4 address table. 0, or -1 when the host's call failed (the old copy is
 * gone then too). */
int KESTLE_CALL osal_net_getNetworkInfo(void);
int KESTLE_CALL osal_net_getInterfaceInfo(void);
int KESTLE_CALL osal_net_getAddressTableInfo(void);
/* Diagnostic dumps of the copies held (the adapter list of the last adapter
 * table build), for the library's discarded diagnostics; they fetch nothing. */
void KESTLE_CALL osal_net_showNetworkInfo(void);
void KESTLE_CALL osal_net_showAdaptersInfo(void);
void KESTLE_CALL osal_net_showInterfaceInfo(void);
void KESTLE_CALL osal_net_showAddressTableInfo(void);

/* ------------------------------------------------------------------------
 * Network connection names and netsh
 * ---------------------------------------------------------------------- */

/* Address values of osal_net_configure carry the first dotted number in the
 * most significant byte (192.168.1.10 is 0xC0A8010A), the reverse of the
 * inet_addr values the queries deliver; 0 stands for no address ("none").
 * Labels name connections exactly: "wifi" and "bluetooth" have names of their
 * own, every other label the local connection; which names, depends on the
 * system's locale. netsh runs on its own: 0 means it was started, -1 that it
 * could not be (or that there was no label). */

/* Switches the label's connection to DHCP. */
int KESTLE_CALL osal_net_startDHCP(const char *label);
/* Sets the connection's static address, mask and gateway, its first DNS
 * server, and adds a second one: three netsh commands, started in this order
 * without waiting; -1 when any of them could not be started. */
int KESTLE_CALL osal_net_configure(const char *label, uint32_t ip, uint32_t mask, uint32_t gateway, uint32_t dns1,
                                   uint32_t dns2);

/* ------------------------------------------------------------------------
 * Network DHCP and addresses
 * ---------------------------------------------------------------------- */

/* Starts the DHCP command for the label, gives it one second, reads the
 * adapter list again and answers as osal_net_getAdapterInfoByLabel (inet_addr
 * values); -1, with nothing written, when no adapter is found, when netsh
 * could not be started, or when the label or an out-argument is NULL (then
 * nothing is started). */
int KESTLE_CALL osal_net_dhcp_do_request(const char *label, uint32_t *ip, uint32_t *gateway, uint32_t *mask,
                                         uint32_t *dns1, uint32_t *dns2, uint32_t *server, uint32_t *lease);
/* Changes nothing on the host (the adapter list is fetched when none is held
 * yet); always 0. */
int KESTLE_CALL osal_net_stopDHCP(const char *label);
/* Adds the dotted address with its mask to the interface of the first row of
 * the address table that osal_net_getAddressTableInfo fetched, and remembers
 * it for osal_net_delIP; -1 when a text is no address, when there is no such
 * table or row, or when the system refuses. */
int KESTLE_CALL osal_net_addIP(const char *ip, const char *mask);
/* Deletes the address the last successful osal_net_addIP added; 0 when there
 * is none (any more), -1 when the system refuses (it stays remembered). */
int KESTLE_CALL osal_net_delIP(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTLE_H */
