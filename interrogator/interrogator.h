// The channel broker: peers connect, name a channel and say whether they are
// its server or its client; the broker then relays bytes between the two.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "loopback_service.h"

class Interrogator;

using ConnectionArg = loopback::ConnectionArg<Interrogator>;

// One registered connection as the relays see it. Winsock hands a closed
// socket's value to the next accepted connection at once, so the socket is
// closed only by the last of its users: its own worker, and each relay in
// the middle of sending to it.
struct ChannelConn {
    int32_t mSock;
    // Changed only through the atomic builtins; it is raised under the
    // broker's lock while the connection is reachable from a slot.
    int32_t mUses;
};

// One slot of the channel table. The slot is in use while connections
// registered on it are alive; the empty name is a channel like any other, so
// the name cannot mark a free slot.
struct ChannelEntry {
    char name[512];
    // The connections registered as the channel's server and client; NULL = none.
    ChannelConn *mServer;
    ChannelConn *mClient;
    // Changes with every claim: a connection of an earlier claim must not
    // reach the peers of the channel that holds the slot now.
    uint32_t mGeneration;
    // Live connections registered on the current claim; 0 = free.
    int32_t mHolders;
};

class Interrogator {
public:
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
    static void *channelWorker(ConnectionArg *arg);
    [[noreturn]] static void fatal(const char *message);

    // The signed role byte, or -1 when it cannot be read.
    int getRole(int32_t sock);
    // The name sent after the role, NUL-terminated (caller frees), or NULL.
    char *getChannelName(int32_t sock);
    // Finds the channel's slot or claims a free one; NULL when none is free.
    // Called with mLock held.
    ChannelEntry *getSlot(const char *name);
    // The sweep of slots holding a reused socket value, then the store, which
    // makes the connection one of the slot's holders. Called with mLock held.
    void setChannelSocket(ChannelEntry *entry, ChannelConn *conn, int role);

    ChannelEntry mChannels[kSlots];
    int32_t mListenSock = -1;
    pthread_mutex_t mLock;
    loopback::ThreadStarter mStartThread;

private:
    // These take the lock as they need it and touch the slot only while it
    // still holds the claim `generation` that the connection joined.
    void relay(ChannelEntry *entry, uint32_t generation, const char *name, ChannelConn *conn, bool server);
    // The peer to send to, held for the caller until release(): NULL when the
    // channel has none, and then *slotGone tells whether the slot has moved
    // on to another claim (or come free).
    ChannelConn *takePeer(ChannelEntry *entry, uint32_t generation, bool server, bool *slotGone);
    // Frees the slot.
    void resetSlot(ChannelEntry *entry, uint32_t generation);
    // A peer that could not be written to is no longer the server's client.
    void dropClient(ChannelEntry *entry, uint32_t generation, ChannelConn *client);
    // The connection has ended: the channel's server takes the channel with
    // it; any other connection gives up its place, and the last one to go
    // frees the slot.
    void leave(ChannelEntry *entry, uint32_t generation, ChannelConn *conn, bool server);
};
