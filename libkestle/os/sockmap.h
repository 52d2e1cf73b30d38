// The socket map: one fixed table of (key, port, pid) in named shared memory,
// shared by every process of the log-on session.
#pragma once

#include "kestle.h"

class OSALSockMap {
public:
    static int init();
    static int add(const char *name, int port, int pid);
    static int del(const char *name);
    static int get(const char *name);
    static int getPid(const char *name);
    static int count();
    static int enumrate(int index, char **name, int *port, int *pid);

    // This process's view of the table, mapped on first use; NULL when the
    // mapping cannot be opened.
    static SockMapTable *getMapAddress();

private:
    static bool lock(const char *mutexName);
    static void unlock(const char *mutexName);
    static SockMapEntry *find(SockMapTable *table, const char *name);
    // use(table, entry) under the table's lock, with the first live entry
    // whose key is name (null when there is none); its result, or -1 when
    // there is no table or the lock cannot be taken.
    template <class Use>
    static int withEntry(const char *name, Use use);
};
