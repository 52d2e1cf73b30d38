// The host path of a Windows path, from Wine's own file-name service.
#pragma once

#include <windows.h>

#include <string>

namespace kt {

// Empty where the service is missing or cannot name the path.
inline std::string hostPath(const std::string &windowsPath)
{
    using ToUnix = char *(CDECL *)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix)
        return {};
    wchar_t wide[MAX_PATH * 2];
    MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide, MAX_PATH * 2);
    char *unixPath = toUnix(wide);
    if (!unixPath)
        return {};
    std::string out = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return out;
}

} // namespace kt
