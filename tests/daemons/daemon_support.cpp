#include "daemon_support.h"

#include <ws2tcpip.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "child.h"

namespace kt {

namespace {

bool sStarted;

std::string slashes(std::string s)
{
    for (char &c : s)
        if (c == '\\')
            c = '/';
    return s;
}

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

void startWinsock()
{
    if (sStarted)
        return;
    WSADATA data;
    sStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

TestRoot::TestRoot(const std::string &name, size_t padTo)
{
    // The build folder is reached through Z:, so its host path follows the drive.
    std::string bin = slashes(binDir());
    std::string build = bin.substr(0, bin.find_last_of('/'));
    std::string dir = build + "/test-roots/" + name + "-" + std::to_string(GetCurrentProcessId());
    std::string base = dir;
    mBase = base;
    // Lengthened with components of at most 100 characters.
    while (padTo > dir.size() - 2 + 1) {
        size_t room = padTo - (dir.size() - 2) - 1;
        size_t take = room < 100 ? room : 100;
        if (room - take == 1)
            --take;
        dir += "/" + std::string(take, 'p');
    }
    mEnv = dir;
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    std::filesystem::create_directories(mEnv, ec);
}

TestRoot::~TestRoot()
{
    std::error_code ec;
    std::filesystem::remove_all(mBase, ec);
}

bool TestRoot::makeDir(const std::string &rel) const
{
    std::error_code ec;
    std::filesystem::create_directories(path(rel), ec);
    return !ec;
}

bool writeFile(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), (std::streamsize)data.size());
    return (bool)f;
}

std::string readFile(const std::string &path, bool *ok)
{
    // Shared access: the daemon keeps the file open for writing.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (ok)
        *ok = h != INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string data;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        data.append(buf, got);
    CloseHandle(h);
    return data;
}

bool fileExists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool waitFileSize(const std::string &path, size_t size, int timeoutMs)
{
    return waitUntil(
        [&] {
            WIN32_FILE_ATTRIBUTE_DATA a;
            if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a))
                return false;
            return (((uint64_t)a.nFileSizeHigh << 32) | a.nFileSizeLow) >= size;
        },
        timeoutMs);
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    int64_t end = nowMs() + timeoutMs;
    for (;;) {
        if (done())
            return true;
        if (nowMs() > end)
            return false;
        Sleep(20);
    }
}

std::string randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = (char)(gen() & 0xFF);
    return s;
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
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((u_short)port);
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
        int n = send(mSock, data.data() + done, left > 65536 ? 65536 : (int)left, 0);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

bool Conn::readable(int timeoutMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(mSock, &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
}

bool Conn::recvExactly(size_t n, std::string *out, int timeoutMs)
{
    out->clear();
    int64_t end = nowMs() + timeoutMs;
    char buf[65536];
    while (out->size() < n) {
        int64_t left = end - nowMs();
        if (left < 0 || !readable((int)left))
            return false;
        size_t want = n - out->size();
        int got = recv(mSock, buf, want > sizeof buf ? (int)sizeof buf : (int)want, 0);
        if (got <= 0)
            return false;
        out->append(buf, (size_t)got);
    }
    return true;
}

bool Conn::recvToEnd(std::string *out, int timeoutMs)
{
    out->clear();
    int64_t end = nowMs() + timeoutMs;
    char buf[65536];
    for (;;) {
        int64_t left = end - nowMs();
        if (left < 0 || !readable((int)left))
            return false;
        int got = recv(mSock, buf, sizeof buf, 0);
        if (got == 0)
            return true;
        if (got < 0)
            return false;
        out->append(buf, (size_t)got);
    }
}

bool Conn::waitClosed(int timeoutMs, std::string *extra)
{
    int64_t end = nowMs() + timeoutMs;
    char buf[4096];
    for (;;) {
        int64_t left = end - nowMs();
        if (left < 0 || !readable((int)left))
            return false;
        int got = recv(mSock, buf, sizeof buf, 0);
        if (got <= 0)
            return true;
        if (extra)
            extra->append(buf, (size_t)got);
    }
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
