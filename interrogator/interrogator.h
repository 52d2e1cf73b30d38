// The channel broker: peers connect, name a channel and say whether they are
// its server or its client; the broker then relays bytes between the two.
#pragma once

#include <pthread.h>

#include <cstdint>

class Interrogator;

// Handed from the accept loop to the worker of one connection, which takes
// both fields and frees the record first thing.
struct ConnectionArg {
    Interrogator *owner;
    int32_t sock;
};

// One slot of the channel table; an empty name marks a free slot. A socket
// value of 0 or less is no peer.
struct ChannelEntry {
    char name[512];
    int32_t serverSock;
    int32_t clientSock;
};

class Interrogator {
public:
    // pthread_create's shape, so the accept loop can be shown a starter that fails.
    using ThreadStarter = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

    static constexpr int kSlots = 200;
    // The relay moves what has arrived, up to this much at a time.
    static constexpr int kRelayChunk = 64 * 1024;

    static Interrogator *getInstance();
    Interrogator();

    // Created, bound and registered as "interrogator"; the registration's result.
    int createSocket();
    void startListen();
    [[noreturn]] void run();
    // One turn of the accept loop.
    void acceptOne();
    // Gives an accepted connection its worker; on failure the connection is closed.
    void startConnection(int32_t sock);
    static void *channelWorker(ConnectionArg *arg);
    [[noreturn]] static void fatal(const char *message);

    // The signed role byte, or -1 when it cannot be read.
    int getRole(int32_t sock);
    // The name sent after the role, NUL-terminated (caller frees), or NULL.
    char *getChannelName(int32_t sock);
    // Finds the channel's slot or claims a free one; NULL when none is free.
    // Called with mLock held.
    ChannelEntry *getSlot(const char *name);
    // The sweep of slots holding a reused socket value, then the store.
    // Called with mLock held.
    void setChannelSocket(ChannelEntry *entry, int32_t sock, int role);

    ChannelEntry mChannels[kSlots];
    int32_t mListenSock = -1;
    pthread_mutex_t mLock;
    ThreadStarter mStartThread;

private:
    void relay(ChannelEntry *entry, const char *name, int32_t sock, bool server);
    // Empties a slot still in use (name and both sockets).
    void resetSlot(ChannelEntry *entry);
    // Takes the lock and clears the slot's fields that hold sock.
    void forgetSocket(ChannelEntry *entry, int32_t sock);
    void clearClient(ChannelEntry *entry);
};
