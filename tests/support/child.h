// Test support: real child processes with their standard streams piped back,
// so a test can drive another process and read what it prints.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kt {

// Environment changes for a child: (name, value) pairs; an empty optional-like
// value of nullptr in `unset` removes a variable.
struct EnvChanges {
    std::vector<std::pair<std::string, std::string>> set;
    std::vector<std::string> unset;
};

class StreamReader {
public:
    explicit StreamReader(HANDLE readEnd);
    ~StreamReader();
    // Waits until the text read so far contains `needle`.
    bool waitFor(const std::string &needle, int timeoutMs);
    // Waits for end of stream.
    bool waitEof(int timeoutMs);
    std::string text();

private:
    void run();
    HANDLE mHandle;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::string mText;
    bool mEof = false;
    std::thread mThread;
};

class Child {
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();

    // Starts `exe` with `args` (quoted as the C runtime parses them back).
    bool start(const std::string &exe, const std::vector<std::string> &args, const EnvChanges *env = nullptr,
               const char *cwd = nullptr);
    // Starts this test program again in a helper role (see roles.h).
    bool startRole(const std::string &role, const std::vector<std::string> &args = {},
                   const EnvChanges *env = nullptr);
    // Starts with this exact command line (no quoting).
    bool startRaw(const std::string &exe, const std::string &commandLine, const EnvChanges *env = nullptr,
                  const char *cwd = nullptr);

    bool send(const std::string &text);
    void closeStdin();
    bool waitOut(const std::string &needle, int timeoutMs = 20000) { return mOut->waitFor(needle, timeoutMs); }
    bool waitErr(const std::string &needle, int timeoutMs = 20000) { return mErr->waitFor(needle, timeoutMs); }
    // Everything printed so far, with "\r\n" folded to "\n".
    std::string out();
    std::string err();
    // Waits for the process to end; false on time-out.
    bool wait(int timeoutMs, DWORD *exitCode = nullptr);
    // Waits for exit and for both streams to close.
    bool finish(int timeoutMs, DWORD *exitCode = nullptr);
    void kill();
    DWORD pid() const { return mPid; }
    HANDLE process() const { return mProcess; }
    // Why the last start failed (GetLastError of CreateProcess); 0 after a start.
    DWORD startError() const { return mStartError; }

private:
    HANDLE mProcess = nullptr;
    DWORD mPid = 0;
    DWORD mStartError = 0;
    HANDLE mStdin = nullptr;
    std::unique_ptr<StreamReader> mOut;
    std::unique_ptr<StreamReader> mErr;
};

std::string quoteArg(const std::string &arg);
std::string selfPath();
// The folder of this test program, which holds the helpers and copies of the
// shipped DLL and programs.
std::string binDir();
std::string binPath(const std::string &exeName);
std::string foldCrLf(const std::string &text);
// Runs a program to its end and returns its standard output (CR LF folded).
std::string runToEnd(const std::string &exe, const std::vector<std::string> &args, DWORD *exitCode = nullptr,
                     const EnvChanges *env = nullptr, int timeoutMs = 30000);

// Whether a process's exit status is an exception code: an unhandled
// exception ended it (the prefixes have no crash debugger, so the exception
// code becomes the exit status at once).
bool isCrash(DWORD exitCode);
// The name of a common exception code for a report, as " (access
// violation)"; "" for others.
const char *crashName(DWORD code);
// "exception 0xC0000005 (access violation)": how a report names a crash.
std::string exceptionText(DWORD code);

// A child run to its end: whether it started and ended in time with both its
// streams closed, why it did not start, its exit status, and what it printed
// (CR LF folded).
struct Finished {
    bool ended = false;
    DWORD startError = 0;
    DWORD code = 1;
    std::string out;
    std::string err;
};
// Runs this test program in a helper role (see roles.h) to its end.
Finished runRoleToEnd(const std::string &role, const std::vector<std::string> &args = {},
                      const EnvChanges *env = nullptr, int timeoutMs = 60000);

} // namespace kt
