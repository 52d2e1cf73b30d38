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

void *workerEntry(void *arg) { return Interrogator::channelWorker(static_cast<ConnectionArg *>(arg)); }

const char *roleWord(bool server) { return server ? "server" : "client"; }

// Winsock leaves the C runtime's errno alone: hand its own error over, as the
// library's socket wrappers do, so errno never holds a stale value.
int recvChecked(int32_t sock, char *buf, int len)
{
    int n = recv((SOCKET)sock, buf, len, 0);
    errno = WSAGetLastError();
    return n;
}

int sendChecked(int32_t sock, const char *buf, int len)
{
    int n = send((SOCKET)sock, buf, len, 0);
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
    sockaddr_in serv{};
    serv.sin_family = AF_INET;
    serv.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    serv.sin_port = 0;

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    mListenSock = (int32_t)s;
    if (mListenSock < 0)
        fatal("create listen socket failed\n");
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on);
    if (bind(s, reinterpret_cast<const sockaddr *>(&serv), sizeof serv) < 0)
        fatal("bind socket failed");
    int len = sizeof serv;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&serv), &len) != 0)
        fatal("Failed to get allocated port");
    int port = ntohs(serv.sin_port);
    LOGI("Created socket with port %d\n", port);
    return osal_sockmap_add(kServiceName, port, _getpid());
}

void Interrogator::startListen()
{
    if (listen((SOCKET)mListenSock, SOMAXCONN) < 0)
        fatal("listen failed");
}

void Interrogator::run()
{
    LOGI("Interrogator started\n");
    for (;;)
        acceptOne();
}

void Interrogator::acceptOne()
{
    SOCKET s = accept((SOCKET)mListenSock, nullptr, nullptr);
    if ((int32_t)s < 0)
        return;
    startConnection((int32_t)s);
}

void Interrogator::startConnection(int32_t sock)
{
    // A connection without a worker would hang its peer for ever.
    auto *arg = static_cast<ConnectionArg *>(malloc(sizeof(ConnectionArg)));
    if (!arg) {
        closesocket((SOCKET)sock);
        return;
    }
    arg->owner = this;
    arg->sock = sock;
    pthread_t thread;
    if (mStartThread(&thread, nullptr, workerEntry, arg) != 0) {
        free(arg);
        closesocket((SOCKET)sock);
    }
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
    char *name = static_cast<char *>(malloc((size_t)length + 1));
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

    closesocket((SOCKET)sock);
    free(name);
    return nullptr;
}
