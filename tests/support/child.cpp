#include "child.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

namespace kt {

StreamReader::StreamReader(HANDLE readEnd) : mHandle(readEnd), mThread([this] { run(); }) {}

StreamReader::~StreamReader()
{
    if (mThread.joinable())
        mThread.join();
    CloseHandle(mHandle);
}

void StreamReader::run()
{
    char buf[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(mHandle, buf, sizeof buf, &got, nullptr) || got == 0)
            break;
        std::lock_guard<std::mutex> g(mMutex);
        mText.append(buf, got);
        mChanged.notify_all();
    }
    std::lock_guard<std::mutex> g(mMutex);
    mEof = true;
    mChanged.notify_all();
}

bool StreamReader::waitFor(const std::string &needle, int timeoutMs)
{
    std::unique_lock<std::mutex> g(mMutex);
    return mChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return foldCrLf(mText).find(needle) != std::string::npos || mEof;
    }) && foldCrLf(mText).find(needle) != std::string::npos;
}

bool StreamReader::waitEof(int timeoutMs)
{
    std::unique_lock<std::mutex> g(mMutex);
    return mChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return mEof; });
}

std::string StreamReader::text()
{
    std::lock_guard<std::mutex> g(mMutex);
    return mText;
}

std::string foldCrLf(const std::string &text)
{
    std::string r;
    r.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        r += text[i];
    }
    return r;
}

std::string quoteArg(const std::string &arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string r = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            r.append(backslashes * 2 + 1, '\\');
        else
            r.append(backslashes, '\\');
        backslashes = 0;
        r += c;
    }
    r.append(backslashes * 2, '\\');
    r += '"';
    return r;
}

std::string selfPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

std::string binDir()
{
    std::string p = selfPath();
    size_t cut = p.find_last_of("\\/");
    return cut == std::string::npos ? std::string(".") : p.substr(0, cut);
}

std::string binPath(const std::string &exeName) { return binDir() + "\\" + exeName; }

namespace {

std::string upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)toupper(c); });
    return s;
}

// The current environment with `changes` applied, as a CreateProcess block.
std::string environmentBlock(const EnvChanges &changes)
{
    std::map<std::string, std::string> vars; // keyed by upper-case name
    std::map<std::string, std::string> names;
    char *block = GetEnvironmentStringsA();
    for (const char *p = block; *p; p += strlen(p) + 1) {
        const char *eq = strchr(p + 1, '='); // names may start with '=' (per-drive dirs)
        if (!eq)
            continue;
        std::string name(p, eq - p);
        vars[upper(name)] = eq + 1;
        names[upper(name)] = name;
    }
    FreeEnvironmentStringsA(block);
    for (const auto &u : changes.unset) {
        vars.erase(upper(u));
        names.erase(upper(u));
    }
    for (const auto &[name, value] : changes.set) {
        vars[upper(name)] = value;
        names[upper(name)] = name;
    }
    std::string out;
    for (const auto &[key, value] : vars) {
        out += names[key] + "=" + value;
        out += '\0';
    }
    out += '\0';
    return out;
}

} // namespace

Child::~Child()
{
    if (mProcess) {
        if (WaitForSingleObject(mProcess, 0) == WAIT_TIMEOUT)
            kill();
        CloseHandle(mProcess);
    }
    closeStdin();
    // The readers end when the child and everything it passed its handles to are gone.
    mOut.reset();
    mErr.reset();
}

bool Child::start(const std::string &exe, const std::vector<std::string> &args, const EnvChanges *env,
                  const char *cwd)
{
    std::string cmd = quoteArg(exe);
    for (const auto &a : args)
        cmd += " " + quoteArg(a);
    return startRaw(exe, cmd, env, cwd);
}

bool Child::startRole(const std::string &role, const std::vector<std::string> &args, const EnvChanges *env)
{
    std::vector<std::string> all{"--role", role};
    all.insert(all.end(), args.begin(), args.end());
    return start(selfPath(), all, env);
}

bool Child::startRaw(const std::string &exe, const std::string &commandLine, const EnvChanges *env,
                     const char *cwd)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE inR, inW, outR, outW, errR, errW;
    if (!CreatePipe(&inR, &inW, &sa, 0))
        return false;
    CreatePipe(&outR, &outW, &sa, 0);
    CreatePipe(&errR, &errW, &sa, 0);
    SetHandleInformation(inW, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outR, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errR, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inR;
    si.hStdOutput = outW;
    si.hStdError = errW;
    PROCESS_INFORMATION pi{};
    std::string cmd = commandLine;
    std::string block;
    if (env)
        block = environmentBlock(*env);
    BOOL ok = CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0,
                             env ? block.data() : nullptr, cwd, &si, &pi);
    mStartError = ok ? 0 : GetLastError();
    CloseHandle(inR);
    CloseHandle(outW);
    CloseHandle(errW);
    mOut = std::make_unique<StreamReader>(outR);
    mErr = std::make_unique<StreamReader>(errR);
    mStdin = inW;
    if (!ok)
        return false;
    CloseHandle(pi.hThread);
    mProcess = pi.hProcess;
    mPid = pi.dwProcessId;
    return true;
}

bool Child::send(const std::string &text)
{
    DWORD put = 0;
    return mStdin && WriteFile(mStdin, text.data(), (DWORD)text.size(), &put, nullptr) && put == text.size();
}

void Child::closeStdin()
{
    if (mStdin) {
        CloseHandle(mStdin);
        mStdin = nullptr;
    }
}

std::string Child::out() { return mOut ? foldCrLf(mOut->text()) : std::string(); }
std::string Child::err() { return mErr ? foldCrLf(mErr->text()) : std::string(); }

bool Child::wait(int timeoutMs, DWORD *exitCode)
{
    if (!mProcess || WaitForSingleObject(mProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(mProcess, exitCode);
    return true;
}

bool Child::finish(int timeoutMs, DWORD *exitCode)
{
    if (!wait(timeoutMs, exitCode))
        return false;
    return mOut->waitEof(timeoutMs) && mErr->waitEof(timeoutMs);
}

void Child::kill()
{
    if (mProcess) {
        TerminateProcess(mProcess, 9);
        WaitForSingleObject(mProcess, 10000);
    }
}

std::string runToEnd(const std::string &exe, const std::vector<std::string> &args, DWORD *exitCode,
                     const EnvChanges *env, int timeoutMs)
{
    Child c;
    if (!c.start(exe, args, env))
        return "<could not start " + exe + ">";
    c.closeStdin();
    if (!c.finish(timeoutMs, exitCode))
        return "<timed out: " + c.out() + ">";
    return c.out();
}

bool isCrash(DWORD exitCode) { return (exitCode & 0xF0000000) == 0xC0000000; }

const char *crashName(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
        return " (access violation)";
    case EXCEPTION_STACK_OVERFLOW:
        return " (stack overflow)";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
        return " (illegal instruction)";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return " (integer division by zero)";
    case STATUS_HEAP_CORRUPTION:
        return " (heap corruption)";
    default:
        return "";
    }
}

std::string exceptionText(DWORD code)
{
    char text[64];
    snprintf(text, sizeof text, "exception 0x%08lX%s", (unsigned long)code, crashName(code));
    return text;
}

Finished runRoleToEnd(const std::string &role, const std::vector<std::string> &args, const EnvChanges *env,
                      int timeoutMs)
{
    Child c;
    Finished f;
    f.ended = c.startRole(role, args, env) && c.finish(timeoutMs, &f.code);
    f.startError = c.startError();
    f.out = c.out();
    f.err = c.err();
    return f;
}

} // namespace kt
