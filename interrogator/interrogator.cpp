#include "interrogator.h"

#include <winsock2.h>
#include <windows.h>

#include <process.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kestle.h"
#include "liblog.h"

namespace {

Interrogator *sInstance;

constexpr const char *kTag = "Interrogator";
constexpr const char *kServiceName = "interrogator";

#define LOGI(...) __android_log_print(KLOG_INFO, kTag, __VA_ARGS__)
#define LOGW(...) __android_log_print(KLOG_WARN, kTag, __VA_ARGS__)
#define LOGE(...) __android_log_print(KLOG_ERROR, kTag, __VA_ARGS__)

const char *roleWord(bool server) { return server ? "server" : "client"; }

// Winsock leaves the C runtime's errno alone: hand its own error over, as the
// library's socket wrappers do, so errno never holds a stale value.
int recvChecked(int32_t sock, char *buf, int len)
{
    int n = recv(static_cast<SOCKET>(sock), buf, len, 0);
    errno = WSAGetLastError();
    return n;
}

int sendChecked(int32_t sock, const char *buf, int len)
{
    int n = send(static_cast<SOCKET>(sock), buf, len, 0);
    errno = WSAGetLastError();
    return n;
}

// Frees a slot; the caller holds the lock. Its generation stays, so the next
// claim is told apart from every claim before it.
void clearSlot(ChannelEntry &e)
{
    memset(e.name, 0, sizeof e.name);
    e.mServer = nullptr;
    e.mClient = nullptr;
    e.mHolders = 0;
}

void resetHeldSlot(ChannelEntry &e)
{
    LOGI("reset channel %s\n", e.name);
    clearSlot(e);
}

bool holds(const ChannelEntry &e, uint32_t generation) { return e.mHolders > 0 && e.mGeneration == generation; }

bool isSock(const ChannelConn *conn, int32_t sock) { return conn && conn->mSock == sock; }

// Raised only under the lock, from a slot that still holds the connection,
// so the count is above zero: the connection's worker has not let go yet.
void use(ChannelConn *conn) { __atomic_add_fetch(&conn->mUses, 1, __ATOMIC_RELAXED); }

// Ends one use of the connection; the last closes its socket and frees it.
void release(ChannelConn *conn)
{
    if (__atomic_sub_fetch(&conn->mUses, 1, __ATOMIC_ACQ_REL) != 0)
        return;
    loopback::closeSocket(conn->mSock);
    delete conn;
}

} // namespace

Interrogator *Interrogator::getInstance()
{
    if (!sInstance)
        sInstance = new Interrogator();
    return sInstance;
}

Interrogator::Interrogator() : mStartThread(pthread_create)
{
    for (ChannelEntry &e : mChannels) {
        clearSlot(e);
        e.mGeneration = 0;
    }
    pthread_mutex_init(&mLock, nullptr);
}

void Interrogator::fatal(const char *message)
{
    LOGE("%s", message);
    exit(-1);
}

int Interrogator::createSocket()
{
    uint16_t portField = 0;
    loopback::Failure failed = loopback::openSocket(&mListenSock, &portField);
    if (failed == loopback::Failure::Socket)
        fatal("create listen socket failed\n");
    if (failed != loopback::Failure::None)
        fatal(loopback::failureMessage(failed));
    int port = ntohs(portField);
    LOGI("Created socket with port %d\n", port);
    return osal_sockmap_add(kServiceName, port, _getpid());
}

void Interrogator::startListen()
{
    loopback::Failure failed = loopback::startListening(mListenSock);
    if (failed != loopback::Failure::None)
        fatal(loopback::failureMessage(failed));
}

void Interrogator::run()
{
    LOGI("Interrogator started\n");
    for (;;)
        acceptOne();
}

void Interrogator::acceptOne()
{
    int32_t sock = loopback::acceptNext(mListenSock);
    if (sock >= 0)
        loopback::startConnection<Interrogator, channelWorker>(mStartThread, this, sock);
}

int Interrogator::getRole(int32_t sock)
{
    signed char role = 0;
    if (recvChecked(sock, reinterpret_cast<char *>(&role), 1) != 1) {
        LOGE("failed to get channel role\n");
        return -1;
    }
    LOGI("get channel sucker role %s\n", roleWord(role != 0));
    return role;
}

char *Interrogator::getChannelName(int32_t sock)
{
    signed char length = 0;
    if (recvChecked(sock, reinterpret_cast<char *>(&length), 1) != 1) {
        LOGE("failed to get channel name length\n");
        return nullptr;
    }
    LOGI("channel name length is %d\n", length);
    // Names are 0 to 127 bytes; a negative length names nothing.
    if (length < 0) {
        LOGE("failed to get channel name\n");
        return nullptr;
    }
    char *name = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (!name) {
        LOGE("failed to get channel name\n");
        return nullptr;
    }
    // A slow peer's name may come in pieces.
    int got = 0;
    while (got < length) {
        int n = recvChecked(sock, name + got, length - got);
        if (n <= 0) {
            LOGE("failed to get channel name\n");
            free(name);
            return nullptr;
        }
        got += n;
    }
    name[length] = '\0';
    LOGI("channel name: %s\n", name);
    return name;
}

ChannelEntry *Interrogator::getSlot(const char *name)
{
    for (int i = 0; i < kSlots; ++i) {
        ChannelEntry &e = mChannels[i];
        if (e.mHolders > 0 && strncmp(e.name, name, sizeof e.name) == 0) {
            LOGI("channel %s @ slot=%d\n", name, i);
            return &e;
        }
    }
    for (int i = 0; i < kSlots; ++i) {
        ChannelEntry &e = mChannels[i];
        if (e.mHolders == 0) {
            strncpy(e.name, name, sizeof e.name);
            ++e.mGeneration;
            LOGI("channel %s @ slot=%d\n", name, i);
            return &e;
        }
    }
    LOGE("channel %s couldn't get a slot\n", name);
    return nullptr;
}

void Interrogator::setChannelSocket(ChannelEntry *entry, ChannelConn *conn, int role)
{
    // The value belongs to this new connection now: a slot still holding it
    // is left over from a connection that is gone. (Connections leave their
    // slots before their sockets close, so this finds none.)
    for (ChannelEntry &e : mChannels) {
        if (&e == entry || e.mHolders == 0)
            continue;
        if (isSock(e.mServer, conn->mSock) || isSock(e.mClient, conn->mSock)) {
            LOGI("reset channel %s, sounds obsolete\n", e.name);
            clearSlot(e);
        }
    }
    (role ? entry->mServer : entry->mClient) = conn;
    ++entry->mHolders;
}

ChannelConn *Interrogator::takePeer(ChannelEntry *entry, uint32_t generation, bool server, bool *slotGone)
{
    pthread_mutex_lock(&mLock);
    ChannelConn *peer = nullptr;
    *slotGone = !holds(*entry, generation);
    if (!*slotGone) {
        peer = server ? entry->mClient : entry->mServer;
        if (peer)
            use(peer);
    }
    pthread_mutex_unlock(&mLock);
    return peer;
}

void Interrogator::resetSlot(ChannelEntry *entry, uint32_t generation)
{
    pthread_mutex_lock(&mLock);
    if (holds(*entry, generation))
        resetHeldSlot(*entry);
    pthread_mutex_unlock(&mLock);
}

void Interrogator::dropClient(ChannelEntry *entry, uint32_t generation, ChannelConn *client)
{
    // A newer client registered meanwhile keeps its place.
    pthread_mutex_lock(&mLock);
    if (holds(*entry, generation) && entry->mClient == client)
        entry->mClient = nullptr;
    pthread_mutex_unlock(&mLock);
}

void Interrogator::leave(ChannelEntry *entry, uint32_t generation, ChannelConn *conn, bool server)
{
    // Out of the slot before its socket can close: no relay finds it after this.
    pthread_mutex_lock(&mLock);
    if (holds(*entry, generation)) {
        bool channelGone = server && entry->mServer == conn;
        if (entry->mServer == conn)
            entry->mServer = nullptr;
        if (entry->mClient == conn)
            entry->mClient = nullptr;
        if (--entry->mHolders == 0 || channelGone)
            resetHeldSlot(*entry);
    }
    pthread_mutex_unlock(&mLock);
}

void Interrogator::relay(ChannelEntry *entry, uint32_t generation, const char *name, ChannelConn *conn, bool server)
{
    const char *me = roleWord(server);
    char buf[kRelayChunk];
    for (;;) {
        int n = recvChecked(conn->mSock, buf, sizeof buf);
        if (n == 0) {
            LOGI("channel %s (me:%s) is broken, read fail, errno=%d\n", name, me, errno);
            return;
        }
        if (n < 0) {
            int err = errno;
            LOGI("channel %s (me:%s) read fail, errno=%d", name, me, err);
            if (err == WSAEINTR)
                continue;
            return;
        }

        bool slotGone = false;
        ChannelConn *peer = takePeer(entry, generation, server, &slotGone);
        if (!peer) {
            LOGW("chnnel %s (me:%s): peer not ready\n", name, me);
            // A server waits for its next client, unless its channel is gone.
            if (server && !slotGone)
                continue;
            return;
        }

        // All of the chunk to the same peer, or the peer is gone.
        bool broken = false;
        int sent = 0;
        while (sent < n) {
            int m = sendChecked(peer->mSock, buf + sent, n - sent);
            if (m > 0) {
                sent += m;
                continue;
            }
            if (m < 0) {
                int err = errno;
                LOGI("channel %s (me:%s) write fail, errno=%d", name, me, err);
                if (err == WSAEINTR)
                    continue;
            } else {
                LOGE("channel %s (me:%s) is broken, write fail, errno=%d\n", name, me, errno);
            }
            broken = true;
            break;
        }
        if (broken) {
            // write-end: a server keeps its place for the next client.
            if (server)
                dropClient(entry, generation, peer);
            else
                resetSlot(entry, generation);
        }
        release(peer);
        if (broken && !server)
            return;
    }
}

void *Interrogator::channelWorker(ConnectionArg *arg)
{
    Interrogator *self = arg->owner;
    int32_t sock = arg->sock;
    free(arg);
    LOGI("new worker thread created\n");

    char *name = nullptr;
    ChannelConn *conn = nullptr;
    int role = self->getRole(sock);
    if (role < 0) {
        LOGE("cannot get connector role\n");
    } else if (!(name = self->getChannelName(sock))) {
        LOGE("cannot get channel name\n");
    } else {
        conn = new (std::nothrow) ChannelConn{sock, 1};
        pthread_mutex_lock(&self->mLock);
        ChannelEntry *entry = conn ? self->getSlot(name) : nullptr;
        uint32_t generation = 0;
        if (entry) {
            self->setChannelSocket(entry, conn, role);
            generation = entry->mGeneration;
        } else {
            LOGE("cannot allocate channel entry for %s\n", name);
        }
        pthread_mutex_unlock(&self->mLock);
        if (entry) {
            self->relay(entry, generation, name, conn, role != 0);
            self->leave(entry, generation, conn, role != 0);
        }
    }

    // A relay still sending to the connection keeps its socket open until
    // that send returns (the peer reads or goes), and then closes it.
    if (conn)
        release(conn);
    else
        loopback::closeSocket(sock);
    free(name);
    return nullptr;
}
