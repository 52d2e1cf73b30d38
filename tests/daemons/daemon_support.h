// Test support for the two daemons: fresh root directories, loopback
// connections with time-outs, and waiting for what a daemon registers or writes.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kt {

// Starts the socket library in this process (once).
void startWinsock();

// A fresh directory tree for one test under the build folder, named in the
// drive-letter form a daemon's VANTRELL_ROOT takes ("Z:" + host path), so
// its drive-less form names the same place.
class TestRoot {
public:
    // `padTo`: when non-zero, the root's host path is lengthened to exactly
    // that many characters.
    explicit TestRoot(const std::string &name, size_t padTo = 0);
    // Removes the tree (whatever is still open in it stays behind).
    ~TestRoot();
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;
    // "Z:/host/path" (no trailing '/').
    const std::string &envValue() const { return mEnv; }
    // The host path, as the daemon's drive-less root names it (no trailing '/').
    std::string hostPath() const { return mEnv.substr(2); }
    // A file or folder below the root, e.g. path("/dev/log/main").
    std::string path(const std::string &rel) const { return mEnv + rel; }
    bool makeDir(const std::string &rel) const;

private:
    std::string mBase;
    std::string mEnv;
};

bool writeFile(const std::string &path, const std::string &data);
// The file's bytes; `ok` false when it cannot be read.
std::string readFile(const std::string &path, bool *ok = nullptr);
bool fileExists(const std::string &path);
// Polls until the file holds at least `size` bytes.
bool waitFileSize(const std::string &path, size_t size, int timeoutMs = 60000);

// Polls `done` every 20 ms until it is true or the time is up.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 60000);

// Pseudo-random bytes, the same for the same seed.
std::string randomBytes(size_t n, uint32_t seed);

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
    SOCKET mSock = INVALID_SOCKET;
};

} // namespace kt
