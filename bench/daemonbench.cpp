// daemonbench: the host side's figures, each against bare code doing the
// same work, measured in the same run so that the ratios can be read:
//
//   - the log daemon's intake against a bare sink that receives and writes
//     the same file the same way (4096-byte receives, one write per receive
//     under one lock, one thread per connection);
//   - the channel broker against a bare two-thread relay (one thread each
//     way, passing on what has arrived, up to 64 KiB at a time), and both
//     against a direct connection;
//   - the input path, from a message posted to the host window until the
//     reader has its record, against a bare message hop (posted until a
//     window procedure of another process runs) and a bare pipe (24 bytes
//     written until the reader has them), p50 and p99;
//   - the socket map look-up against its own system calls made directly.
//
// Every daemon and bare counterpart runs in a process of its own: scrived
// and interrogator from the build's bin folder, the bare ones as this program
// started again in a role. The host window needs the build's X server.
//
//   daemonbench [MiB into the log] [MiB each way through a relay] [round trips] [input events]
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestle.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int64_t ticks()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double ticksToMicroseconds(int64_t t)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return t * 1e6 / static_cast<double>(f.QuadPart);
}

std::string selfPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

std::string exeDir()
{
    std::string p = selfPath();
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

// ---- processes of the run ----

// Every process this one starts ends with it, whichever way it ends.
HANDLE childJob()
{
    static HANDLE job = [] {
        HANDLE j = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (j)
            SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return j;
    }();
    return job;
}

// A started program: its process, and the read end of its standard output.
struct Program {
    HANDLE process = nullptr;
    HANDLE out = nullptr;
    std::string pending;

    // The next line it prints, or "" when it has ended.
    std::string line()
    {
        for (;;) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string l = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!l.empty() && l.back() == '\r')
                    l.pop_back();
                return l;
            }
            char buf[256];
            DWORD n = 0;
            if (!ReadFile(out, buf, sizeof buf, &n, nullptr) || n == 0)
                return "";
            pending.append(buf, n);
        }
    }
};

Program startProgram(const std::string &exe, const std::string &args)
{
    Program p;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &sa, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdError = nul;
    si.hStdOutput = writeEnd;
    PROCESS_INFORMATION pi{};
    std::string cmd = "\"" + exe + "\" " + args;
    BOOL ok = CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(nul);
    CloseHandle(writeEnd);
    if (!ok) {
        CloseHandle(readEnd);
        return p;
    }
    AssignProcessToJobObject(childJob(), pi.hProcess);
    CloseHandle(pi.hThread);
    p.process = pi.hProcess;
    p.out = readEnd;
    return p;
}

Program startRole(const std::string &role, const std::string &args = "")
{
    return startProgram(selfPath(), "--role " + role + (args.empty() ? "" : " " + args));
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

// The port a bare counterpart prints first ("port N"), or -1.
int printedPort(Program &p)
{
    std::string l = p.line();
    return l.rfind("port ", 0) == 0 ? atoi(l.c_str() + 5) : -1;
}

uint64_t fileSize(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a))
        return 0;
    return ((uint64_t)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}

double mib(size_t bytes, double seconds) { return bytes / seconds / (1024.0 * 1024.0); }

// Runs alternate between the daemon and its bare counterpart, so drift in
// the machine's load touches both; the median of each is printed.
constexpr int kRuns = 5;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, int p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * (size_t)p / 100)];
}

// ---- the bare counterparts, each a process of its own ----

// The log daemon's work without the daemon: the same receives and the same
// writes to a file opened the same way.
int roleSink(const char *file)
{
    int port = 0;
    SOCKET l = listenAny(&port);
    int fd = _open(file, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0666);
    if (fd < 0)
        return 1;
    printf("port %d\n", port);
    fflush(stdout);
    static std::mutex lock;
    for (;;) {
        SOCKET s = accept(l, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            continue;
        std::thread([s, fd] {
            char buf[4096];
            for (;;) {
                int n = recv(s, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                std::lock_guard<std::mutex> g(lock);
                _write(fd, buf, (unsigned)n);
            }
            closesocket(s);
        }).detach();
    }
}

// The broker's relay without the broker: two connections, one thread each
// way, each passing on what has arrived, up to 64 KiB at a time, as the
// broker's workers do.
int roleRelay()
{
    int port = 0;
    SOCKET l = listenAny(&port);
    printf("port %d\n", port);
    fflush(stdout);
    SOCKET a = accept(l, nullptr, nullptr);
    SOCKET b = accept(l, nullptr, nullptr);
    auto pump = [](SOCKET from, SOCKET to) {
        std::vector<char> buf(64 * 1024);
        for (;;) {
            int n = recv(from, buf.data(), (int)buf.size(), 0);
            if (n <= 0 || !sendAll(to, buf.data(), (size_t)n))
                return;
        }
    };
    std::thread there(pump, a, b);
    std::thread back(pump, b, a);
    there.join();
    back.join();
    return 0;
}

// The host side of a guest process: the host window, its message loop and
// the input pipe's server.
int roleHost()
{
    osal_system_init();
    osal_system_wait();
    printf("ready\n");
    fflush(stdout);
    for (;;)
        Sleep(INFINITE);
}

constexpr UINT kHopMessage = WM_APP + 1;

// A bare message hop: a window whose procedure prints how long each message
// took from the poster's clock reading (carried in wParam and lParam).
LRESULT CALLBACK hopProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kHopMessage)
        return DefWindowProcA(window, message, wParam, lParam);
    int64_t now = ticks();
    int64_t sent = (int64_t)((uint64_t)(uint32_t)wParam | ((uint64_t)(uint32_t)lParam << 32));
    printf("%lld\n", (long long)(now - sent));
    fflush(stdout);
    return 0;
}

int roleHop()
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = hopProcedure;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KestleBenchHop";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    printf("window %llu\n", (unsigned long long)(uintptr_t)window);
    fflush(stdout);
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    return 0;
}

const char kBarePipe[] = "\\\\.\\pipe\\kestle_bench_pipe";
const char kBarePipeGo[] = "KestleBenchPipeGo";

// A bare pipe made as the input pipe is (byte mode, no buffer): on each
// signal one 24-byte record, stamped with the clock, is written.
int rolePipe()
{
    HANDLE pipe = CreateNamedPipeA(kBarePipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                   PIPE_UNLIMITED_INSTANCES, 0, 0, NMPWAIT_WAIT_FOREVER, nullptr);
    HANDLE go = CreateEventA(nullptr, FALSE, FALSE, kBarePipeGo);
    if (pipe == INVALID_HANDLE_VALUE || !go)
        return 1;
    printf("ready\n");
    fflush(stdout);
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        return 1;
    for (;;) {
        WaitForSingleObject(go, INFINITE);
        InputEvent record{};
        int64_t stamp = ticks();
        memcpy(&record, &stamp, sizeof stamp);
        DWORD n = 0;
        if (!WriteFile(pipe, &record, sizeof record, &n, nullptr))
            return 0;
    }
}

// ---- the log daemon ----

// `clients` connections each send total/clients bytes at once; the time until
// `arrived()` reports all of them.
double intake(int port, int clients, size_t total, const std::function<bool()> &arrived)
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

void benchLog(int logPort, const std::string &logFile, int sinkPort, const std::string &sinkFile, size_t logMiB)
{
    printf("log daemon intake, %zu MiB a run, median of %d runs\n", logMiB, kRuns);
    printf("  the bare sink: the same 4096-byte receives, each written to a file opened the same way under one "
           "lock\n");
    printf("  %-8s %14s %16s %13s\n", "clients", "scrived MiB/s", "bare sink MiB/s", "scrived/bare");
    uint64_t inLog = fileSize(logFile), inSink = fileSize(sinkFile);
    for (int clients : {1, 8}) {
        size_t total = (logMiB << 20) / clients * clients;
        std::vector<double> daemon, bare;
        for (int run = 0; run < kRuns; ++run) {
            uint64_t logTarget = inLog + total, sinkTarget = inSink + total;
            daemon.push_back(intake(logPort, clients, total, [&] { return fileSize(logFile) >= logTarget; }));
            bare.push_back(intake(sinkPort, clients, total, [&] { return fileSize(sinkFile) >= sinkTarget; }));
            inLog = logTarget;
            inSink = sinkTarget;
        }
        double td = median(daemon), tb = median(bare);
        printf("  %-8d %14.1f %16.1f %13.2f\n", clients, mib(total, td), mib(total, tb), tb / td);
    }
}

// ---- the channel broker ----

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

// The first byte from `from` proves that `to` is reached through the middle.
bool proveReached(SOCKET from, SOCKET to)
{
    char c = 's';
    send(from, &c, 1, 0);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(to, &set);
    timeval tv{1, 0};
    return select(0, &set, nullptr, nullptr, &tv) == 1 && recvExactly(to, &c, 1);
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
    for (int i = 0; i < 100; ++i) {
        Sleep(20);
        if (proveReached(*client, *server))
            return true;
        // A client that came too early is sent away: ask again.
        closesocket(*client);
        *client = request(0);
    }
    return false;
}

void benchBroker(int brokerPort, int relayPort, size_t relayMiB, int trips)
{
    SOCKET ds, dc, bs, bc, rs, rc;
    directPair(&dc, &ds);
    if (!brokerPair(brokerPort, "bench", &bs, &bc)) {
        printf("channel broker: no channel through the broker\n");
        return;
    }
    rc = connectTo(relayPort);
    rs = connectTo(relayPort);
    if (!proveReached(rc, rs)) {
        printf("channel broker: no way through the bare relay\n");
        return;
    }
    size_t each = relayMiB << 20;
    std::vector<double> viaBroker, viaRelay, direct, tripBroker, tripRelay, tripDirect;
    for (int run = 0; run < kRuns; ++run) {
        viaBroker.push_back(bothWays(bc, bs, each));
        viaRelay.push_back(bothWays(rc, rs, each));
        direct.push_back(bothWays(dc, ds, each));
    }
    for (int run = 0; run < kRuns; ++run) {
        tripBroker.push_back(roundTrip(bc, bs, trips));
        tripRelay.push_back(roundTrip(rc, rs, trips));
        tripDirect.push_back(roundTrip(dc, ds, trips));
    }
    printf("channel broker, %zu MiB each way at once and %d 1-byte round trips a run, median of %d runs\n",
           relayMiB, trips, kRuns);
    printf("  the bare relay: two connections, one thread each way, passing on what has arrived (up to 64 KiB)\n");
    printf("  %-16s %10s %12s %10s %14s %14s\n", "", "broker", "bare relay", "direct", "broker/relay",
           "broker/direct");
    double tb = median(viaBroker), tr = median(viaRelay), td = median(direct);
    printf("  %-16s %10.2f %12.2f %10.1f %14.2f %14.4f\n", "MiB/s both ways", mib(2 * each, tb), mib(2 * each, tr),
           mib(2 * each, td), tr / tb, td / tb);
    double rb = median(tripBroker), rr = median(tripRelay), rd = median(tripDirect);
    printf("  %-16s %10.1f %12.1f %10.1f %14.2f %14.2f\n", "round trip us", rb * 1e6, rr * 1e6, rd * 1e6, rr / rb,
           rd / rb);
    for (SOCKET s : {bc, bs, rc, rs, dc, ds})
        closesocket(s);
}

// ---- the input path ----

struct Latencies {
    double p50 = 0;
    double p99 = 0;
};

Latencies summarize(const std::vector<double> &us) { return {percentile(us, 50), percentile(us, 99)}; }

// Posted to the host window as a guest key; read back from the input pipe.
bool inputPath(int events, int warmUp, Latencies *out)
{
    HWND window = nullptr;
    for (int i = 0; i < 600 && !window; ++i) {
        window = FindWindowA("Vantrell", "Vantrell");
        if (!window)
            Sleep(50);
    }
    if (!window)
        return false;
    std::vector<double> us;
    for (int i = 0; i < warmUp + events; ++i) {
        // WM_GUEST_KEY: the key code comes back as the record's code.
        unsigned code = 1 + i % 250;
        int64_t t0 = ticks();
        if (!PostMessageA(window, 1129, code, 1))
            return false;
        for (;;) {
            InputEvent record{};
            if (osal_input_getInputN(&record, 1) != 0)
                return false;
            if (record.type == 1 && record.code == code)
                break;
        }
        if (i >= warmUp)
            us.push_back(ticksToMicroseconds(ticks() - t0));
    }
    *out = summarize(us);
    return true;
}

bool bareHop(Program &hop, int events, int warmUp, Latencies *out)
{
    std::string l = hop.line();
    if (l.rfind("window ", 0) != 0)
        return false;
    HWND window = (HWND)(uintptr_t)strtoull(l.c_str() + 7, nullptr, 10);
    std::vector<double> us;
    for (int i = 0; i < warmUp + events; ++i) {
        uint64_t t0 = (uint64_t)ticks();
        if (!PostMessageA(window, kHopMessage, (WPARAM)(uint32_t)t0, (LPARAM)(uint32_t)(t0 >> 32)))
            return false;
        std::string took = hop.line();
        if (took.empty())
            return false;
        if (i >= warmUp)
            us.push_back(ticksToMicroseconds(strtoll(took.c_str(), nullptr, 10)));
    }
    *out = summarize(us);
    return true;
}

bool barePipe(Program &writer, int events, int warmUp, Latencies *out)
{
    if (writer.line() != "ready")
        return false;
    HANDLE go = OpenEventA(EVENT_MODIFY_STATE, FALSE, kBarePipeGo);
    if (!go || !WaitNamedPipeA(kBarePipe, NMPWAIT_WAIT_FOREVER))
        return false;
    HANDLE pipe = CreateFileA(kBarePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    if (pipe == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr))
        return false;
    std::vector<double> us;
    for (int i = 0; i < warmUp + events; ++i) {
        SetEvent(go);
        InputEvent record{};
        DWORD got = 0;
        char *p = reinterpret_cast<char *>(&record);
        while (got < sizeof record) {
            DWORD n = 0;
            if (!ReadFile(pipe, p + got, sizeof record - got, &n, nullptr) || n == 0)
                return false;
            got += n;
        }
        int64_t now = ticks(), stamp;
        memcpy(&stamp, &record, sizeof stamp);
        if (i >= warmUp)
            us.push_back(ticksToMicroseconds(now - stamp));
    }
    CloseHandle(pipe);
    CloseHandle(go);
    *out = summarize(us);
    return true;
}

void benchInput(int events)
{
    const int warmUp = 50;
    printf("input path, %d events one at a time, in us\n", events);
    printf("  %-62s %8s %8s\n", "", "p50", "p99");
    Program host = startRole("host");
    Latencies input, hop, pipe;
    if (host.line() != "ready" || !inputPath(events, warmUp, &input)) {
        printf("  no host window (is the build's X server running? build/tools/xvfb start)\n");
        return;
    }
    printf("  %-62s %8.1f %8.1f\n", "posted to the host window until the reader has the record",
           input.p50, input.p99);
    Program hopper = startRole("hop");
    if (bareHop(hopper, events, warmUp, &hop))
        printf("  %-62s %8.1f %8.1f\n", "bare message hop: posted until another process's window has it",
               hop.p50, hop.p99);
    Program writer = startRole("pipe");
    if (barePipe(writer, events, warmUp, &pipe))
        printf("  %-62s %8.1f %8.1f\n", "bare pipe: 24 bytes written until the reader has them", pipe.p50,
               pipe.p99);
    printf("  %-62s %8.2f %8.2f\n", "input path / (message hop + pipe)", (hop.p50 + pipe.p50) / input.p50,
           (hop.p99 + pipe.p99) / input.p99);
    for (Program *p : {&host, &hopper, &writer})
        TerminateProcess(p->process, 0);
}

// ---- the socket map ----

// What osal_sockmap_get does, done directly: the table's lock opened, taken
// and closed, the entries scanned, the lock opened, released and closed.
int bareLookup(const SockMapTable *table, const char *name)
{
    HANDLE h = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, table->lockName);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    int port = -1;
    for (int i = 0; i < table->count && i < SOCKMAP_MAX_ENTRIES; ++i)
        if (strncmp(table->entries[i].name, name, SOCKMAP_NAME_SIZE) == 0) {
            port = table->entries[i].port;
            break;
        }
    h = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, table->lockName);
    ReleaseMutex(h);
    CloseHandle(h);
    return port;
}

void benchSockMap(int calls)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, SOCKMAP_MAPPING_NAME);
    const SockMapTable *table =
        mapping ? static_cast<const SockMapTable *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
    if (!table) {
        printf("socket map: no table\n");
        return;
    }
    std::vector<double> library, bare;
    volatile int sink = 0;
    for (int run = 0; run < kRuns; ++run) {
        auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i)
            sink = sink + osal_sockmap_get("interrogator");
        library.push_back(secondsSince(t0) / calls);
        t0 = Clock::now();
        for (int i = 0; i < calls; ++i)
            sink = sink + bareLookup(table, "interrogator");
        bare.push_back(secondsSince(t0) / calls);
    }
    double tl = median(library), tb = median(bare);
    printf("socket map look-up of the second of two keys, %d calls a run, median of %d runs\n", calls, kRuns);
    printf("  osal_sockmap_get %8.2f us   its system calls alone %8.2f us   library/bare %.2f\n", tl * 1e6,
           tb * 1e6, tb / tl);
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

    if (argc >= 3 && strcmp(argv[1], "--role") == 0) {
        std::string role = argv[2];
        if (role == "sink" && argc >= 4)
            return roleSink(argv[3]);
        if (role == "relay")
            return roleRelay();
        if (role == "host")
            return roleHost();
        if (role == "hop")
            return roleHop();
        if (role == "pipe")
            return rolePipe();
        return 2;
    }

    size_t logMiB = argc > 1 ? strtoul(argv[1], nullptr, 10) : 32;
    size_t relayMiB = argc > 2 ? strtoul(argv[2], nullptr, 10) : 4;
    int trips = argc > 3 ? atoi(argv[3]) : 2000;
    int events = argc > 4 ? atoi(argv[4]) : 2000;

    // A root of its own in the build tree, reached through its host path; the
    // daemons are those of the build's bin folder.
    std::string tree = exeDir();
    tree = tree.substr(0, tree.find_last_of('/'));
    std::string root = tree + "/bench-root";
    std::string bin = tree + "/bin";
    std::error_code ec;
    std::filesystem::create_directories(root + "/dev/log", ec);
    SetEnvironmentVariableA("VANTRELL_ROOT", root.c_str());
    std::string logFile = root + "/dev/log/main";
    std::string sinkFile = root + "/dev/log/bare";

    if (osal_sockmap_init() != 0) {
        fprintf(stderr, "daemonbench: cannot create the socket map\n");
        return 1;
    }
    Program scrived = startProgram(bin + "/scrived.exe", "");
    Program broker = startProgram(bin + "/interrogator.exe", "");
    int logPort = scrived.process ? waitRegistered("scrived", scrived.process) : -1;
    int brokerPort = broker.process ? waitRegistered("interrogator", broker.process) : -1;
    Program sink = startRole("sink", "\"" + sinkFile + "\"");
    Program relay = startRole("relay");
    int sinkPort = printedPort(sink), relayPort = printedPort(relay);
    if (logPort <= 0 || brokerPort <= 0 || sinkPort <= 0 || relayPort <= 0) {
        fprintf(stderr, "daemonbench: not everything started (scrived %d, interrogator %d, sink %d, relay %d)\n",
                logPort, brokerPort, sinkPort, relayPort);
        return 1;
    }
    // Both listen once they take a connection.
    closesocket(connectTo(logPort));
    closesocket(connectTo(sinkPort));

    printf("ratios: the host side's speed over the bare code's (1.00: as fast, below: slower)\n");

    benchLog(logPort, logFile, sinkPort, sinkFile, logMiB);
    benchBroker(brokerPort, relayPort, relayMiB, trips);
    benchInput(events);
    benchSockMap(20000);

    for (Program *p : {&scrived, &broker, &sink, &relay})
        TerminateProcess(p->process, 0);
    return 0;
}
