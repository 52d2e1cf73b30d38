// The test side of the netsh stand-in (tests/helpers/netsh.cpp): a scratch
// folder, named in this process's environment so that every netsh the library
// starts from here records into it, and a wait for those records.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kt {

struct NetshStart {
    std::string bytes; // the parameters in the ANSI code page, as received
    std::string utf8;  // the same parameters from the wide command line
};

class NetshRecorder {
public:
    NetshRecorder();
    ~NetshRecorder();
    NetshRecorder(const NetshRecorder &) = delete;
    NetshRecorder &operator=(const NetshRecorder &) = delete;

    bool ok() const { return !mFolder.empty(); }
    // Waits until at least `count` starts are recorded (or the time-out ends)
    // and returns every record there is then, sorted by their bytes.
    std::vector<NetshStart> waitFor(size_t count, int timeoutMs = 60000);

private:
    std::vector<NetshStart> read();
    std::string mFolder;
};

} // namespace kt
