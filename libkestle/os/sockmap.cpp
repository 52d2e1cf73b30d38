#include "os/sockmap.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kTableSize = sizeof(SockMapTable);

// Process-wide, never unmapped: the table outlives its creator while any user
// still holds a view.
SockMapTable *sock_map;
HANDLE sMappingHandle;
// Handles the creator keeps open so the mapping and the mutex live on.
HANDLE sCreatedMapping;
HANDLE sCreatedMutex;
// A mutex this process had to create again because the table's creator (and
// with it the last handle) was gone; kept so the lock lives on for others.
HANDLE sRevivedMutex;

// `count` lies in memory any process can write: never trust it beyond the
// table's 30 entries.
int liveEntries(const SockMapTable *table)
{
    int n = table->count;
    if (n < 0)
        return 0;
    return n > SOCKMAP_MAX_ENTRIES ? SOCKMAP_MAX_ENTRIES : n;
}

// A handle to the table's mutex for one lock or unlock step. When no process
// holds the mutex any more it is created again under the same name and one
// handle is kept for the life of the process. *closeAfter says whether the
// caller owns the handle.
HANDLE openLockHandle(const char *mutexName, bool *closeAfter)
{
    // The name lies in shared memory too: read at most its 32 bytes.
    char name[sizeof(SockMapTable::lockName) + 1];
    size_t len = strnlen(mutexName, sizeof(SockMapTable::lockName));
    memcpy(name, mutexName, len);
    name[len] = '\0';
    HANDLE h = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
    if (h) {
        *closeAfter = true;
        return h;
    }
    h = CreateMutexA(nullptr, FALSE, name);
    if (!h)
        return nullptr;
    HANDLE none = nullptr;
    *closeAfter = !__atomic_compare_exchange_n(&sRevivedMutex, &none, h, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    return h;
}

} // namespace

SockMapTable *OSALSockMap::getMapAddress()
{
    if (sock_map)
        return sock_map;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, SOCKMAP_MAPPING_NAME);
    if (!mapping) {
        printf("OSALSockMap::getMapAddress: OpenFileMapping failed, error=%d\n", (int)GetLastError());
        return nullptr;
    }
    sMappingHandle = mapping;
    sock_map = static_cast<SockMapTable *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kTableSize));
    return sock_map;
}

bool OSALSockMap::lock(const char *mutexName)
{
    bool closeAfter = false;
    HANDLE h = openLockHandle(mutexName, &closeAfter);
    if (!h)
        return false;
    // An abandoned mutex still counts as taken: its owner is gone.
    DWORD r = WaitForSingleObject(h, INFINITE);
    // Ownership belongs to the thread, not the handle.
    if (closeAfter)
        CloseHandle(h);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void OSALSockMap::unlock(const char *mutexName)
{
    bool closeAfter = false;
    HANDLE h = openLockHandle(mutexName, &closeAfter);
    if (!h)
        return;
    ReleaseMutex(h);
    if (closeAfter)
        CloseHandle(h);
}

SockMapEntry *OSALSockMap::find(SockMapTable *table, const char *name)
{
    int n = liveEntries(table);
    for (int i = 0; i < n; ++i) {
        if (strncmp(table->entries[i].name, name, SOCKMAP_NAME_SIZE) == 0)
            return &table->entries[i];
    }
    return nullptr;
}

template <class Use>
int OSALSockMap::withEntry(const char *name, Use use)
{
    SockMapTable *table = getMapAddress();
    if (!table || !lock(table->lockName))
        return -1;
    int result = use(table, find(table, name));
    unlock(table->lockName);
    return result;
}

int OSALSockMap::init()
{
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kTableSize,
                                        SOCKMAP_MAPPING_NAME);
    if (!mapping) {
        puts("OSALSockMap::init: CreateFileMapping failed");
        return -1;
    }
    sock_map = static_cast<SockMapTable *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kTableSize));
    if (!sock_map) {
        CloseHandle(mapping);
        printf("OSALSockMap::init: MapViewOfFile failed, error=%d\n", (int)GetLastError());
        return -1;
    }
    sCreatedMapping = mapping;

    SockMapTable *table = sock_map;
    table->count = 0;
    memset(table->lockName, 0, sizeof table->lockName);
    strcpy(table->lockName, SOCKMAP_LOCK_NAME);
    table->reserved0 = 0;
    table->reserved1 = 0;

    HANDLE mutex = CreateMutexA(nullptr, FALSE, table->lockName);
    if (!mutex) {
        printf("OSALSockMap::init: CreateMutex failed, error=%d\n", (int)GetLastError());
        return -1;
    }
    sCreatedMutex = mutex;
    printf("OSALSockMap::init: sock_map=0x%p\n", static_cast<void *>(table));
    return 0;
}

int OSALSockMap::add(const char *name, int port, int pid)
{
    return withEntry(name, [=](SockMapTable *table, SockMapEntry *e) {
        if (e) {
            e->port = port;
            e->pid = pid;
            return 0;
        }
        int n = table->count;
        // A count outside 0..29 (full, or written by someone else) takes no
        // new key.
        if (n < 0 || n >= SOCKMAP_MAX_ENTRIES)
            return -1;
        // The entry is written first, then counted.
        SockMapEntry *slot = &table->entries[n];
        strncpy(slot->name, name, SOCKMAP_NAME_SIZE);
        slot->port = port;
        slot->pid = pid;
        table->count = n + 1;
        return 0;
    });
}

int OSALSockMap::del(const char *name)
{
    return withEntry(name, [](SockMapTable *, SockMapEntry *e) {
        if (!e)
            return -1;
        e->name[0] = '\0';
        return 0;
    });
}

int OSALSockMap::get(const char *name)
{
    return withEntry(name, [](SockMapTable *, SockMapEntry *e) { return e ? e->port : -1; });
}

int OSALSockMap::getPid(const char *name)
{
    return withEntry(name, [](SockMapTable *, SockMapEntry *e) { return e ? e->pid : -1; });
}

int OSALSockMap::count()
{
    SockMapTable *table = getMapAddress();
    if (!table)
        return -1;
    return table->count;
}

int OSALSockMap::enumrate(int index, char **name, int *port, int *pid)
{
    SockMapTable *table = getMapAddress();
    if (!table)
        return -1;
    if (index < 0 || index >= liveEntries(table))
        return 0;
    SockMapEntry *e = &table->entries[index];
    *name = e->name;
    *port = e->port;
    *pid = e->pid;
    return 1;
}

extern "C" {

int KESTLE_CALL osal_sockmap_init(void) { return OSALSockMap::init(); }
int KESTLE_CALL osal_sockmap_add(const char *name, int port, int pid) { return OSALSockMap::add(name, port, pid); }
int KESTLE_CALL osal_sockmap_del(const char *name) { return OSALSockMap::del(name); }
int KESTLE_CALL osal_sockmap_get(const char *name) { return OSALSockMap::get(name); }
int KESTLE_CALL osal_sockmap_getPid(const char *name) { return OSALSockMap::getPid(name); }
int KESTLE_CALL osal_sockmap_count(void) { return OSALSockMap::count(); }
int KESTLE_CALL osal_sockmap_enumrate(int index, char **name, int *port, int *pid)
{
    return OSALSockMap::enumrate(index, name, port, pid);
}

} // extern "C"
