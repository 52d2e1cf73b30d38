// The test side of the netsh stand-in (tests/helpers/netsh.cpp): a scratch
// folder, named in this process's environment so that every netsh the library
// starts from here records into it, and a wait for those records.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kt {

// The clock of the records: the performance counter in microseconds, the same
// in every process of the machine.
inline long long netshClockUs()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000000 +
           count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

struct NetshRun {
    std::wstring parameters; // exactly as the wide command line gave them
    long long startUs = 0;   // on netshClockUs
    long long endUs = 0;
};

class NetshRecorder {
public:
    NetshRecorder();
    ~NetshRecorder();
    NetshRecorder(const NetshRecorder &) = delete;
    NetshRecorder &operator=(const NetshRecorder &) = delete;

    bool ok() const { return !mFolder.empty(); }
    // Runs whose parameters contain `match` take `ms` milliseconds, or end
    // when release() is called.
    void hold(const std::wstring &match, DWORD ms);
    void release();
    // The process ids of the held runs that have started.
    std::vector<DWORD> held();
    // Waits until at least `count` runs are recorded (or the time-out ends)
    // and returns every run there is then, in the order they started.
    std::vector<NetshRun> waitFor(size_t count, int timeoutMs = 60000);

private:
    // The names of the folder's files that match the pattern.
    std::vector<std::string> files(const char *pattern);
    std::vector<NetshRun> read();
    std::string mFolder;
    HANDLE mRelease = nullptr;
};

} // namespace kt
