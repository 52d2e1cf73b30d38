#include "loopback.h"

#include <ws2tcpip.h>

#include "wait.h"

namespace kt {

namespace {

bool sStarted;

constexpr int kReceiveLimitMs = 60000;

// Whether `s` has something to read (for a listener: a connection) within the time.
bool readableWithin(SOCKET s, int timeoutMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
}

sockaddr_in loopbackAddress(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<u_short>(port));
    return a;
}

} // namespace

bool startWinsock()
{
    if (!sStarted) {
        WSADATA data;
        sStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    return sStarted;
}

Listener::Listener(Start start)
{
    mSock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (mSock == INVALID_SOCKET)
        return;
    mAddress = loopbackAddress(0);
    int len = sizeof mAddress;
    if (bind(mSock, reinterpret_cast<sockaddr *>(&mAddress), sizeof mAddress) != 0 ||
        getsockname(mSock, reinterpret_cast<sockaddr *>(&mAddress), &len) != 0)
        return;
    mPort = ntohs(mAddress.sin_port);
    mValid = start == Start::BoundOnly || listen();
}

Listener::~Listener()
{
    if (mSock != INVALID_SOCKET)
        closesocket(mSock);
}

bool Listener::listen()
{
    mValid = mPort > 0 && ::listen(mSock, SOMAXCONN) == 0;
    return mValid;
}

bool Listener::pending(int timeoutMs) { return readableWithin(mSock, timeoutMs); }

SOCKET Listener::accept(int timeoutMs)
{
    if (!pending(timeoutMs))
        return INVALID_SOCKET;
    return ::accept(mSock, nullptr, nullptr);
}

SocketPair::~SocketPair()
{
    for (SOCKET s : {mClient, mServer})
        if (s != INVALID_SOCKET)
            closesocket(s);
}

bool SocketPair::make()
{
    Listener listener;
    if (!listener.valid())
        return false;
    mClient = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (mClient == INVALID_SOCKET ||
        connect(mClient, reinterpret_cast<const sockaddr *>(&listener.address()), sizeof listener.address()) != 0)
        return false;
    mServer = listener.accept();
    if (mServer == INVALID_SOCKET)
        return false;
    DWORD limit = kReceiveLimitMs;
    for (SOCKET s : {mClient, mServer})
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit);
    return true;
}

Conn &Conn::operator=(Conn &&o) noexcept
{
    if (this != &o) {
        close();
        mSock = o.mSock;
        o.mSock = INVALID_SOCKET;
    }
    return *this;
}

bool Conn::connect(int port, int retryMs)
{
    startWinsock();
    close();
    int64_t end = nowMs() + retryMs;
    for (;;) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET)
            return false;
        sockaddr_in a = loopbackAddress(port);
        if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            BOOL on = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
            mSock = s;
            return true;
        }
        closesocket(s);
        if (nowMs() > end)
            return false;
        Sleep(50);
    }
}

bool Conn::sendAll(const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        size_t left = data.size() - done;
        int n = send(mSock, data.data() + done, left > 65536 ? 65536 : static_cast<int>(left), 0);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Conn::readable(int timeoutMs) { return readableWithin(mSock, timeoutMs); }

Conn::Received Conn::receiveUntil(std::string *into, size_t limit, int timeoutMs)
{
    int64_t end = nowMs() + timeoutMs;
    char buf[65536];
    while (into->size() < limit) {
        int64_t left = end - nowMs();
        if (left < 0 || !readable(static_cast<int>(left)))
            return Received::TimedOut;
        size_t want = limit - into->size();
        int got = recv(mSock, buf, want > sizeof buf ? static_cast<int>(sizeof buf) : static_cast<int>(want), 0);
        if (got == 0)
            return Received::End;
        if (got < 0)
            return Received::Error;
        into->append(buf, static_cast<size_t>(got));
    }
    return Received::Enough;
}

bool Conn::recvExactly(size_t n, std::string *out, int timeoutMs)
{
    out->clear();
    return receiveUntil(out, n, timeoutMs) == Received::Enough;
}

bool Conn::recvToEnd(std::string *out, int timeoutMs)
{
    out->clear();
    return receiveUntil(out, std::string::npos, timeoutMs) == Received::End;
}

bool Conn::waitClosed(int timeoutMs, std::string *extra)
{
    std::string ignored;
    Received r = receiveUntil(extra ? extra : &ignored, std::string::npos, timeoutMs);
    return r == Received::End || r == Received::Error;
}

void Conn::abort()
{
    if (mSock == INVALID_SOCKET)
        return;
    linger l{1, 0};
    setsockopt(mSock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l);
    close();
}

bool Conn::shutdownSend() { return shutdown(mSock, SD_SEND) == 0; }

void Conn::close()
{
    if (mSock != INVALID_SOCKET) {
        closesocket(mSock);
        mSock = INVALID_SOCKET;
    }
}

} // namespace kt
