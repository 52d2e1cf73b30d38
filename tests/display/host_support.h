// Tests of the host window: a real host process (the "host" role of
// host_roles.cpp, started with osal_system_init) on one side, and this test
// process as the one reader of its input pipe and as the sender of window
// messages on the other.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "child.h"
#include "input_records.h"

namespace kt {

// Reads 24-byte records from the input pipe on a thread of its own.
class PipeReader {
public:
    PipeReader() = default;
    PipeReader(const PipeReader &) = delete;
    PipeReader &operator=(const PipeReader &) = delete;
    ~PipeReader();
    // Connects to the input pipe (waiting for it) and starts reading.
    bool connect(int timeoutMs = 30000);
    // The next n records as lines; fewer when they did not come in time.
    std::vector<std::string> next(size_t n, int timeoutMs = 30000);

private:
    struct Shared {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::string> lines;
        bool closed = false;
    };
    HANDLE mPipe = INVALID_HANDLE_VALUE;
    std::shared_ptr<Shared> mShared;
};

// A directory holding a stand-in "gueststop.bat" that prints "gueststop ran",
// and the environment that puts it first on the search path.
struct GuestStop {
    GuestStop();
    ~GuestStop();
    std::string dir;
    EnvChanges env;
};

// Starts the host role and waits until its window, event service and
// accelerators are up; *hwnd gets the host window.
bool startHost(Child &host, const EnvChanges *env, HWND *hwnd, const std::vector<std::string> &args = {});

// Sends the host one command and waits for its answer, the line starting
// with `answer`; *line gets what follows `answer` on it.
bool askHost(Child &host, const std::string &command, const std::string &answer, std::string *line);

// A record that nothing else produces, to mark the end of what a step made.
constexpr unsigned kMarkerCode = 999;
bool postMarker(HWND hwnd);
std::string markerLine();

} // namespace kt
