#include "interrogator.h"

#include <winsock2.h>
#include <windows.h>

#include <process.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
    e.serverSock = -1;
    e.clientSock = -1;
    e.mHolders = 0;
}

void resetHeldSlot(ChannelEntry &e)
{
    LOGI("reset channel %s\n", e.name);
    clearSlot(e);
}

bool holds(const ChannelEntry &e, uint32_t generation) { return e.mHolders > 0 && e.mGeneration == generation; }

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

void Interrogator::setChannelSocket(ChannelEntry *entry, int32_t sock, int role)
{
    // The value belongs to this new connection now: a slot still holding it
    // is left over from a connection that is gone.
    for (ChannelEntry &e : mChannels) {
        if (&e == entry || e.mHolders == 0)
            continue;
        if (e.serverSock == sock || e.clientSock == sock) {
            LOGI("reset channel %s, sounds obsolete\n", e.name);
            clearSlot(e);
        }
    }
    (role ? entry->serverSock : entry->clientSock) = sock;
    ++entry->mHolders;
}

int32_t Interrogator::peerOf(ChannelEntry *entry, uint32_t generation, bool server)
{
    pthread_mutex_lock(&mLock);
    int32_t peer = 0;
    if (holds(*entry, generation)) {
        peer = server ? entry->clientSock : entry->serverSock;
        if (peer <= 0)
            peer = -1;
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

void Interrogator::dropClient(ChannelEntry *entry, uint32_t generation, int32_t client)
{
    // A newer client registered meanwhile keeps its place.
    pthread_mutex_lock(&mLock);
    if (holds(*entry, generation) && entry->clientSock == client)
        entry->clientSock = -1;
    pthread_mutex_unlock(&mLock);
}

void Interrogator::leave(ChannelEntry *entry, uint32_t generation, int32_t sock, bool server)
{
    // Winsock hands a closed socket's value out again at once: left in the
    // slot, it would send a peer's bytes to an unrelated connection.
    pthread_mutex_lock(&mLock);
    if (holds(*entry, generation)) {
        bool channelGone = server && entry->serverSock == sock;
        if (entry->serverSock == sock)
            entry->serverSock = -1;
        if (entry->clientSock == sock)
            entry->clientSock = -1;
        if (--entry->mHolders == 0 || channelGone)
            resetHeldSlot(*entry);
    }
    pthread_mutex_unlock(&mLock);
}

void Interrogator::relay(ChannelEntry *entry, uint32_t generation, const char *name, int32_t sock, bool server)
{
    const char *me = roleWord(server);
    char buf[kRelayChunk];
    for (;;) {
        int n = recvChecked(sock, buf, sizeof buf);
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

        int32_t peer = peerOf(entry, generation, server);
        if (peer <= 0) {
            LOGW("chnnel %s (me:%s): peer not ready\n", name, me);
            // A server waits for its next client, unless its channel is gone.
            if (server && peer < 0)
                continue;
            return;
        }

        // All of the chunk to the same peer, or the peer is gone.
        bool broken = false;
        int sent = 0;
        while (sent < n) {
            int m = sendChecked(peer, buf + sent, n - sent);
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
        if (!broken)
            continue;
        // write-end: a server keeps its place for the next client.
        if (server) {
            dropClient(entry, generation, peer);
            continue;
        }
        resetSlot(entry, generation);
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
    int role = self->getRole(sock);
    if (role < 0) {
        LOGE("cannot get connector role\n");
    } else if (!(name = self->getChannelName(sock))) {
        LOGE("cannot get channel name\n");
    } else {
        pthread_mutex_lock(&self->mLock);
        ChannelEntry *entry = self->getSlot(name);
        uint32_t generation = 0;
        if (entry) {
            self->setChannelSocket(entry, sock, role);
            generation = entry->mGeneration;
        } else {
            LOGE("cannot allocate channel entry for %s\n", name);
        }
        pthread_mutex_unlock(&self->mLock);
        if (entry) {
            self->relay(entry, generation, name, sock, role != 0);
            self->leave(entry, generation, sock, role != 0);
        }
    }

    loopback::closeSocket(sock);
    free(name);
    return nullptr;
}
