/*
 * kestle.h - the interface of libkestle.dll.
 *
 * Every export of the library and every record it exchanges with its callers.
 * Usable from C11 and C++. All functions are cdecl unless marked otherwise;
 * the record layouts below are part of the interface (shared memory, pipes)
 * and are checked at compile time.
 */
#ifndef KESTLE_H
#define KESTLE_H

#include <stddef.h>
#include <stdint.h>
#include <winsock2.h>
#include <windows.h>

#ifdef __cplusplus
#define KESTLE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define KESTLE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define KESTLE_CALL __cdecl

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

/* ------------------------------------------------------------------------
 * Sockets and socket sets
 * ---------------------------------------------------------------------- */

/* ------------------------------------------------------------------------
 * Diagnostics
 * ---------------------------------------------------------------------- */

/* ------------------------------------------------------------------------
 * Threads and synchronisation objects
 * ---------------------------------------------------------------------- */

/* ------------------------------------------------------------------------
 * Named pipes
 * ---------------------------------------------------------------------- */

/* ------------------------------------------------------------------------
 * Processes and the stop command
 * ---------------------------------------------------------------------- */

/* Starts cmdline (writable; the new process inherits inheritable handles and,
 * with env NULL, this process's environment). The new process's id, or the
 * negated Win32 error after printing "osal_newProcess cmdline=... error=...". */
int KESTLE_CALL osal_newProcess(char *cmdline, void *env);
/* Runs a UTF-8 command through the command interpreter; _wsystem's result.
 * NULL asks whether an interpreter exists. -1 with errno EINVAL when the
 * command is not valid UTF-8. */
int KESTLE_CALL osal_system(const char *command);
/* Terminates every process whose executable is exactly name + ".exe"
 * (case-sensitive); the number of matching processes. */
int KESTLE_CALL osal_killProcessByName(const char *name);
/* Runs "gueststop" through the command interpreter, then sleeps 999999 ms. */
void KESTLE_CALL osal_dieHard(void);

/* ------------------------------------------------------------------------
 * System object and guest display size
 * ---------------------------------------------------------------------- */

/* The guest display size, fixed when the library first needs it: 0, or -1
 * when the library cannot allocate its system object. */
int KESTLE_CALL osal_getResolution(int *width, int *height);

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

#ifdef __cplusplus
}
#endif

#endif /* KESTLE_H */
