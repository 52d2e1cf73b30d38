// daemonbench: how fast the two daemons move bytes, against bare loopback
// connections measured in the same run. Starts scrived and interrogator from
// the build's bin folder, holds the socket map itself and prints its figures.
//
//   daemonbench [MiB into the log] [MiB each way through the broker] [round trips]
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kestle.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string exeDir()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n);
    for (char &c : p)
        if (c == '\\')
            c = '/';
    return p.substr(0, p.find_last_of('/'));
}

void noDelay(SOCKET s)
{
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}

SOCKET connectTo(int port)
{
    for (int attempt = 0; attempt < 400; ++attempt) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((u_short)port);
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            noDelay(s);
            return s;
        }
        closesocket(s);
        Sleep(50);
    }
    return INVALID_SOCKET;
}

SOCKET listenAny(int *port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    listen(s, SOMAXCONN);
    *port = ntohs(a.sin_port);
    return s;
}

// A connected pair on the loopback, nobody in between.
void directPair(SOCKET *a, SOCKET *b)
{
    int port = 0;
    SOCKET l = listenAny(&port);
    *a = connectTo(port);
    *b = accept(l, nullptr, nullptr);
    noDelay(*b);
    closesocket(l);
}

bool sendAll(SOCKET s, const char *data, size_t len)
{
    while (len) {
        int n = send(s, data, len > 65536 ? 65536 : (int)len, 0);
        if (n <= 0)
            return false;
        data += n;
        len -= (size_t)n;
    }
    return true;
}

size_t recvCount(SOCKET s, size_t want)
{
    std::vector<char> buf(65536);
    size_t got = 0;
    while (got < want) {
        int n = recv(s, buf.data(), (int)buf.size(), 0);
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    return got;
}

bool recvExactly(SOCKET s, char *buf, int len)
{
    while (len > 0) {
        int n = recv(s, buf, len, 0);
        if (n <= 0)
            return false;
        buf += n;
        len -= n;
    }
    return true;
}

HANDLE startProgram(const std::string &exe)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul;
    PROCESS_INFORMATION pi{};
    std::string cmd = "\"" + exe + "\"";
    BOOL ok = CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(nul);
    if (!ok)
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// The port a program registered under `key` once the entry carries its pid.
int waitRegistered(const char *key, HANDLE process)
{
    DWORD pid = GetProcessId(process);
    for (int i = 0; i < 1000; ++i) {
        if (osal_sockmap_getPid(key) == (int)pid)
            return osal_sockmap_get(key);
        if (WaitForSingleObject(process, 20) == WAIT_OBJECT_0)
            return -1;
    }
    return -1;
}

uint64_t fileSize(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a))
        return 0;
    return ((uint64_t)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}

// `clients` connections each send total/clients bytes at once; the time until
// `arrived()` reports all of them.
template <typename Arrived>
double intake(int port, int clients, size_t total, Arrived arrived)
{
    std::vector<SOCKET> socks;
    for (int i = 0; i < clients; ++i)
        socks.push_back(connectTo(port));
    std::vector<char> data(total / clients, 'l');
    auto t0 = Clock::now();
    std::vector<std::thread> senders;
    for (SOCKET s : socks)
        senders.emplace_back([&, s] {
            sendAll(s, data.data(), data.size());
            closesocket(s);
        });
    for (auto &t : senders)
        t.join();
    while (!arrived())
        Sleep(1);
    return secondsSince(t0);
}

// A sink that takes `clients` connections and throws their bytes away.
double bareSink(int clients, size_t total)
{
    int port = 0;
    SOCKET l = listenAny(&port);
    std::atomic<size_t> received{0};
    std::thread acceptor([&] {
        std::vector<std::thread> readers;
        for (int i = 0; i < clients; ++i) {
            SOCKET s = accept(l, nullptr, nullptr);
            readers.emplace_back([&, s] {
                received += recvCount(s, SIZE_MAX);
                closesocket(s);
            });
        }
        for (auto &t : readers)
            t.join();
    });
    double t = intake(port, clients, total, [&] { return received.load() >= total; });
    acceptor.join();
    closesocket(l);
    return t;
}

// Both directions at once: the time until each side has all of the other's bytes.
double bothWays(SOCKET a, SOCKET b, size_t each)
{
    std::vector<char> data(each, 'r');
    size_t atA = 0, atB = 0;
    auto t0 = Clock::now();
    std::thread sa([&] { sendAll(a, data.data(), each); });
    std::thread sb([&] { sendAll(b, data.data(), each); });
    std::thread ra([&] { atA = recvCount(a, each); });
    std::thread rb([&] { atB = recvCount(b, each); });
    sa.join();
    sb.join();
    ra.join();
    rb.join();
    double t = secondsSince(t0);
    if (atA != each || atB != each)
        printf("  (short: %zu and %zu of %zu bytes)\n", atA, atB, each);
    return t;
}

// Mean round trip of one byte, echoed back by the other side.
double roundTrip(SOCKET a, SOCKET b, int trips)
{
    std::thread echo([&] {
        char c;
        for (int i = 0; i < trips; ++i) {
            if (!recvExactly(b, &c, 1) || send(b, &c, 1, 0) != 1)
                return;
        }
    });
    char c = 'p';
    auto t0 = Clock::now();
    for (int i = 0; i < trips; ++i) {
        if (send(a, &c, 1, 0) != 1 || !recvExactly(a, &c, 1))
            break;
    }
    double t = secondsSince(t0) / trips;
    echo.join();
    return t;
}

// A server and a client paired through the broker on one channel.
bool brokerPair(int port, const std::string &channel, SOCKET *server, SOCKET *client)
{
    auto request = [&](int role) {
        SOCKET s = connectTo(port);
        std::string r;
        r += (char)role;
        r += (char)channel.size();
        r += channel;
        sendAll(s, r.data(), r.size());
        return s;
    };
    *server = request(1);
    Sleep(200); // the server's worker registers before the client's
    *client = request(0);
    // The client's first byte proves both are in place.
    char c = 's';
    for (int i = 0; i < 100; ++i) {
        Sleep(20);
        send(*client, &c, 1, 0);
        fd_set set;
        FD_ZERO(&set);
        FD_SET(*server, &set);
        timeval tv{1, 0};
        if (select(0, &set, nullptr, nullptr, &tv) == 1)
            return recvExactly(*server, &c, 1);
        closesocket(*client);
        *client = request(0);
    }
    return false;
}

double mib(size_t bytes, double seconds) { return bytes / seconds / (1024.0 * 1024.0); }

// Runs alternate between the daemon and its bare counterpart, so drift in the
// machine's load touches both; the median of each is printed.
constexpr int kRuns = 5;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    size_t logMiB = argc > 1 ? strtoul(argv[1], nullptr, 10) : 32;
    size_t relayMiB = argc > 2 ? strtoul(argv[2], nullptr, 10) : 4;
    int trips = argc > 3 ? atoi(argv[3]) : 2000;
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

    // A root of its own in the build tree, reached through its host path; the
    // daemons are those of the build's bin folder.
    std::string dir = exeDir();
    std::string tree = dir.substr(0, dir.find_last_of('/'));
    std::string root = tree + "/bench-root";
    std::string bin = tree + "/bin";
    std::error_code ec;
    std::filesystem::create_directories(root + "/dev/log", ec);
    SetEnvironmentVariableA("VANTRELL_ROOT", root.c_str());
    std::string logFile = root + "/dev/log/main";

    if (osal_sockmap_init() != 0) {
        fprintf(stderr, "daemonbench: cannot create the socket map\n");
        return 1;
    }
    HANDLE scrived = startProgram(bin + "/scrived.exe");
    HANDLE broker = startProgram(bin + "/interrogator.exe");
    int logPort = scrived ? waitRegistered("scrived", scrived) : -1;
    int brokerPort = broker ? waitRegistered("interrogator", broker) : -1;
    if (logPort <= 0 || brokerPort <= 0) {
        fprintf(stderr, "daemonbench: the daemons did not start (scrived %d, interrogator %d)\n", logPort,
                brokerPort);
        return 1;
    }
    SOCKET probe = connectTo(logPort);
    closesocket(probe);

    printf("log daemon intake, %zu MiB a run, median of %d runs (bare sink: recv of 64 KiB, bytes discarded)\n",
           logMiB, kRuns);
    printf("  %-8s %14s %14s %8s\n", "clients", "scrived MiB/s", "bare MiB/s", "ratio");
    uint64_t inFile = fileSize(logFile);
    for (int clients : {1, 8}) {
        size_t total = (logMiB << 20) / clients * clients;
        std::vector<double> daemon, bare;
        for (int run = 0; run < kRuns; ++run) {
            uint64_t target = inFile + total;
            daemon.push_back(intake(logPort, clients, total, [&] { return fileSize(logFile) >= target; }));
            inFile = target;
            bare.push_back(bareSink(clients, total));
        }
        double td = median(daemon), tb = median(bare);
        printf("  %-8d %14.1f %14.1f %8.2f\n", clients, mib(total, td), mib(total, tb), tb / td);
    }

    SOCKET ds, dc, bs, bc;
    directPair(&dc, &ds);
    if (!brokerPair(brokerPort, "bench", &bs, &bc)) {
        fprintf(stderr, "daemonbench: no channel through the broker\n");
        return 1;
    }
    size_t each = relayMiB << 20;
    printf("channel broker, %zu MiB each way at once and %d 1-byte round trips a run, median of %d runs\n",
           relayMiB, trips, kRuns);
    std::vector<double> viaBroker, direct, tripBroker, tripDirect;
    for (int run = 0; run < kRuns; ++run) {
        viaBroker.push_back(bothWays(bc, bs, each));
        direct.push_back(bothWays(dc, ds, each));
    }
    for (int run = 0; run < kRuns; ++run) {
        tripBroker.push_back(roundTrip(bc, bs, trips));
        tripDirect.push_back(roundTrip(dc, ds, trips));
    }
    double tb = median(viaBroker), td = median(direct);
    printf("  throughput   broker %8.1f MiB/s   direct %8.1f MiB/s   ratio %.2f (goal >= 0.50)\n",
           mib(2 * each, tb), mib(2 * each, td), td / tb);
    double rb = median(tripBroker), rd = median(tripDirect);
    printf("  round trip   broker %8.1f us      direct %8.1f us      ratio %.2f (direct / broker)\n", rb * 1e6,
           rd * 1e6, rd / rb);

    closesocket(bc);
    closesocket(bs);
    closesocket(dc);
    closesocket(ds);
    TerminateProcess(scrived, 0);
    TerminateProcess(broker, 0);
    return 0;
}
