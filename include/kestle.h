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

/* The drive-less root of the guest's file tree, ending in '/'; computed on the
 * first call from VANTRELL_ROOT (default "c:/vantrell"), which also sets
 * ROOT_VANTRELL_ROOT and the current directory. The library owns the text. */
const char *KESTLE_CALL osal_getRootDir(void);
/* A heap copy of the variable's value (caller frees), or NULL when it is
 * missing or empty. */
char *KESTLE_CALL osal_getEnvVariable(const char *name);
/* Sets (or, with a NULL value, deletes) a variable; 0 or -GetLastError(). */
int KESTLE_CALL osal_setEnvVariable(const char *name, const char *value);
/* The root followed by path, in a heap block of at least 260 bytes that
 * always holds the whole result (caller frees); NULL on a NULL path. */
char *KESTLE_CALL osal_pathTranslate(const char *path);
/* The same with ".exe" appended. */
char *KESTLE_CALL osal_pathTranslateExe(const char *path);

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

/* ------------------------------------------------------------------------
 * System object and guest display size
 * ---------------------------------------------------------------------- */

/* ------------------------------------------------------------------------
 * Input events
 * ---------------------------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif /* KESTLE_H */
