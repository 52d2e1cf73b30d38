#include "host_support.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "input/eventservice.h"

namespace kt {

PipeReader::~PipeReader()
{
    // The reading thread owns the handle's use; closing it ends the read.
    if (mPipe != INVALID_HANDLE_VALUE)
        CloseHandle(mPipe);
}

bool PipeReader::connect(int timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        mPipe = CreateFileA(kInputPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (mPipe != INVALID_HANDLE_VALUE)
            break;
        if (GetTickCount() - start > static_cast<DWORD>(timeoutMs))
            return false;
        Sleep(20);
    }
    mShared = std::make_shared<Shared>();
    std::thread([pipe = mPipe, shared = mShared] {
        for (;;) {
            InputEvent e;
            DWORD got = 0, total = 0;
            unsigned char *p = reinterpret_cast<unsigned char *>(&e);
            while (total < sizeof e && ReadFile(pipe, p + total, sizeof e - total, &got, nullptr) && got)
                total += got;
            std::lock_guard<std::mutex> hold(shared->lock);
            if (total < sizeof e) {
                shared->closed = true;
                shared->changed.notify_all();
                return;
            }
            shared->lines.push_back(receivedLine(e));
            shared->changed.notify_all();
        }
    }).detach();
    return true;
}

std::vector<std::string> PipeReader::next(size_t n, int timeoutMs)
{
    std::vector<std::string> out;
    if (!mShared)
        return out;
    std::unique_lock<std::mutex> hold(mShared->lock);
    mShared->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [&] { return mShared->lines.size() >= n || mShared->closed; });
    while (out.size() < n && !mShared->lines.empty()) {
        out.push_back(mShared->lines.front());
        mShared->lines.pop_front();
    }
    return out;
}

GuestStop::GuestStop()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    char name[64];
    snprintf(name, sizeof name, "kt-gueststop-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    dir = std::string(temp) + name;
    CreateDirectoryA(dir.c_str(), nullptr);
    FILE *f = fopen((dir + "\\gueststop.bat").c_str(), "wb");
    if (f) {
        fputs("@echo gueststop ran\r\n", f);
        fclose(f);
    }
    char path[32768];
    DWORD n = GetEnvironmentVariableA("PATH", path, sizeof path);
    env.set = {{"PATH", dir + (n ? ";" + std::string(path) : std::string())}};
}

GuestStop::~GuestStop()
{
    DeleteFileA((dir + "\\gueststop.bat").c_str());
    RemoveDirectoryA(dir.c_str());
}

bool startHost(Child &host, const EnvChanges *env, HWND *hwnd, const std::vector<std::string> &args)
{
    if (!host.startRole("host", args, env) || !host.waitOut("ready ", 60000) || !host.waitOut("\n", 60000))
        return false;
    std::string out = host.out();
    size_t at = out.find("ready ");
    unsigned long value = strtoul(out.c_str() + at + 6, nullptr, 16);
    *hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
    return *hwnd && FindWindowA("Vantrell", "Vantrell") == *hwnd;
}

bool askHost(Child &host, const std::string &command, const std::string &answer, std::string *line)
{
    size_t before = host.out().size();
    if (!host.send(command + "\n"))
        return false;
    for (int i = 0; i < 600; ++i) {
        std::string out = host.out();
        size_t at = out.find(answer, before);
        size_t end = at == std::string::npos ? at : out.find('\n', at);
        if (end != std::string::npos) {
            *line = out.substr(at + answer.size(), end - at - answer.size());
            return true;
        }
        Sleep(50);
    }
    return false;
}

bool postMarker(HWND hwnd) { return PostMessageA(hwnd, WM_GUEST_KEY, kMarkerCode, 1); }

std::string markerLine() { return recordLine(1, kMarkerCode, 1, 0); }

} // namespace kt
