#include "netsh_record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kt {

namespace {

const char *const kHoldVariables[] = {"KT_NETSH_HOLD_MATCH", "KT_NETSH_HOLD_MS", "KT_NETSH_HOLD_EVENT"};

std::string utf8(const std::wstring &text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

} // namespace

NetshRecorder::NetshRecorder()
{
    char temp[MAX_PATH];
    if (!GetTempPathA(sizeof temp, temp))
        return;
    // A name no earlier run can have left behind.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        char name[MAX_PATH + 64];
        snprintf(name, sizeof name, "%skt_netsh_%lu_%lu_%u", temp, GetCurrentProcessId(), GetTickCount(), attempt);
        if (CreateDirectoryA(name, nullptr)) {
            mFolder = name;
            break;
        }
    }
    if (!mFolder.empty())
        SetEnvironmentVariableA("KT_NETSH_RECORD", mFolder.c_str());
}

NetshRecorder::~NetshRecorder()
{
    SetEnvironmentVariableA("KT_NETSH_RECORD", nullptr);
    for (const char *name : kHoldVariables)
        SetEnvironmentVariableA(name, nullptr);
    if (mRelease) {
        SetEvent(mRelease);
        CloseHandle(mRelease);
    }
    if (mFolder.empty())
        return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((mFolder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileA((mFolder + "\\" + found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(mFolder.c_str());
}

void NetshRecorder::hold(const std::wstring &match, DWORD ms)
{
    if (!mRelease) {
        char name[64];
        snprintf(name, sizeof name, "kt_netsh_release_%lu", GetCurrentProcessId());
        mRelease = CreateEventA(nullptr, TRUE, FALSE, name);
        SetEnvironmentVariableA("KT_NETSH_HOLD_EVENT", name);
    }
    SetEnvironmentVariableA("KT_NETSH_HOLD_MATCH", utf8(match).c_str());
    SetEnvironmentVariableA("KT_NETSH_HOLD_MS", std::to_string(ms).c_str());
}

void NetshRecorder::release()
{
    if (mRelease)
        SetEvent(mRelease);
}

std::vector<std::string> NetshRecorder::files(const char *pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((mFolder + "\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

std::vector<DWORD> NetshRecorder::held()
{
    std::vector<DWORD> pids;
    for (const std::string &name : files("*.held"))
        pids.push_back(static_cast<DWORD>(strtoul(name.c_str(), nullptr, 10)));
    return pids;
}

std::vector<NetshRun> NetshRecorder::read()
{
    std::vector<NetshRun> runs;
    for (const std::string &name : files("*.rec")) {
        // The stand-in's rename may still hold the file for a moment: such a
        // record counts once it can be read.
        std::ifstream in(mFolder + "\\" + name, std::ios::binary);
        if (!in)
            continue;
        std::stringstream text;
        text << in.rdbuf();
        std::string all = text.str();
        size_t end = all.find('\n');
        if (end == std::string::npos)
            continue;
        NetshRun run;
        if (sscanf(all.c_str(), "%lld %lld", &run.startUs, &run.endUs) != 2)
            continue;
        std::string bytes = all.substr(end + 1);
        run.parameters.assign(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
        runs.push_back(run);
    }
    std::sort(runs.begin(), runs.end(), [](const NetshRun &a, const NetshRun &b) { return a.startUs < b.startUs; });
    return runs;
}

std::vector<NetshRun> NetshRecorder::waitFor(size_t count, int timeoutMs)
{
    if (mFolder.empty())
        return {};
    // Woken by every new file name in the folder (the stand-in's rename).
    HANDLE change = FindFirstChangeNotificationA(mFolder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs);
    std::vector<NetshRun> runs = read();
    while (runs.size() < count) {
        DWORD now = GetTickCount();
        if (static_cast<LONG>(deadline - now) <= 0)
            break;
        // Wake at least every half second, in case a notice is missed.
        DWORD wait = std::min<DWORD>(deadline - now, 500);
        if (change != INVALID_HANDLE_VALUE) {
            if (WaitForSingleObject(change, wait) == WAIT_OBJECT_0)
                FindNextChangeNotification(change);
        } else {
            Sleep(wait);
        }
        runs = read();
    }
    if (change != INVALID_HANDLE_VALUE)
        FindCloseChangeNotification(change);
    return runs;
}

} // namespace kt
