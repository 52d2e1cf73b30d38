// Test support: TCP on the loopback. A listener at a port the system chose,
// a connected pair, and a client connection with time-outs; each closes its
// sockets when it goes.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

namespace kt {

// Starts the socket library in this process (once); whether it runs.
bool startWinsock();

// A TCP socket bound to 127.0.0.1 at a port the system chose. Until it
// listens, connections to the port are refused. The caller has started the
// socket library.
class Listener {
public:
    enum class Start { Listening, BoundOnly };
    // BoundOnly: refusing connections until listen().
    explicit Listener(Start start = Start::Listening);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Made, bound, and listening when it was asked to.
    bool valid() const { return mValid; }
    SOCKET sock() const { return mSock; }
    // The bound address and its port (host order; -1 when not bound).
    const sockaddr_in &address() const { return mAddress; }
    int port() const { return mPort; }
    bool listen();
    // Whether a connection waits to be accepted within the time.
    bool pending(int timeoutMs = 0);
    // The next connection, or INVALID_SOCKET when none came in time.
    SOCKET accept(int timeoutMs = 60000);

private:
    SOCKET mSock = INVALID_SOCKET;
    sockaddr_in mAddress{};
    int mPort = -1;
    bool mValid = false;
};

// A connected loopback pair (the socket library started). Each end gives up a receive after a minute, so
// a broken case fails instead of waiting for ever. An end set to
// INVALID_SOCKET (closed by the test) is left alone.
struct SocketPair {
    SocketPair() = default;
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;
    ~SocketPair();
    bool make();

    SOCKET mClient = INVALID_SOCKET;
    SOCKET mServer = INVALID_SOCKET;
};

// A connected loopback TCP socket that closes itself.
class Conn {
public:
    Conn() = default;
    explicit Conn(SOCKET s) : mSock(s) {}
    Conn(Conn &&o) noexcept : mSock(o.mSock) { o.mSock = INVALID_SOCKET; }
    Conn &operator=(Conn &&o) noexcept;
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    ~Conn() { close(); }

    // Connects to 127.0.0.1:port, trying again for up to retryMs while refused.
    bool connect(int port, int retryMs = 0);
    bool valid() const { return mSock != INVALID_SOCKET; }
    SOCKET sock() const { return mSock; }
    bool sendAll(const std::string &data);
    // Receives exactly n bytes; false on end of stream, error or time-out.
    bool recvExactly(size_t n, std::string *out, int timeoutMs = 60000);
    // Everything until the peer closes; false on error or time-out.
    bool recvToEnd(std::string *out, int timeoutMs = 60000);
    // True when the peer has closed the connection (end of stream or reset)
    // within the time; data that arrives first is stored in *extra.
    bool waitClosed(int timeoutMs = 60000, std::string *extra = nullptr);
    // True when at least one byte is waiting to be read.
    bool readable(int timeoutMs = 0);
    // Closes with a reset instead of an orderly end.
    void abort();
    // Ends the sending half only: the peer reads an end of stream, and this
    // side still sees the peer's own end (waitClosed).
    bool shutdownSend();
    void close();

private:
    enum class Received { Enough, End, Error, TimedOut };
    // Appends to *into until it holds `limit` bytes, the peer ends the
    // stream, a receive fails or the time is up.
    Received receiveUntil(std::string *into, size_t limit, int timeoutMs);

    SOCKET mSock = INVALID_SOCKET;
};

} // namespace kt
