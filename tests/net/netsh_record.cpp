#include "netsh_record.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kt {

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

std::vector<NetshStart> NetshRecorder::read()
{
    std::vector<NetshStart> starts;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((mFolder + "\\*.rec").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return starts;
    do {
        // The stand-in's rename may still hold the file for a moment: such a
        // record counts once it can be read.
        std::ifstream in(mFolder + "\\" + found.cFileName, std::ios::binary);
        if (!in)
            continue;
        std::stringstream text;
        text << in.rdbuf();
        std::string all = text.str();
        if (all.find('\n') == std::string::npos)
            continue;
        size_t end = all.find('\n');
        NetshStart start;
        start.bytes = all.substr(0, end);
        if (end != std::string::npos)
            start.utf8 = all.substr(end + 1);
        starts.push_back(start);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(starts.begin(), starts.end(),
              [](const NetshStart &a, const NetshStart &b) { return a.bytes < b.bytes; });
    return starts;
}

std::vector<NetshStart> NetshRecorder::waitFor(size_t count, int timeoutMs)
{
    if (mFolder.empty())
        return {};
    // Woken by every new file name in the folder (the stand-in's rename).
    HANDLE change = FindFirstChangeNotificationA(mFolder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs);
    std::vector<NetshStart> starts = read();
    while (starts.size() < count) {
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
        starts = read();
    }
    if (change != INVALID_HANDLE_VALUE)
        FindCloseChangeNotification(change);
    return starts;
}

} // namespace kt
