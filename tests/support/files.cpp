#include "files.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "child.h"
#include "wait.h"

namespace kt {

namespace {

std::string slashes(std::string s)
{
    for (char &c : s)
        if (c == '\\')
            c = '/';
    return s;
}

} // namespace

TestRoot::TestRoot(const std::string &name, size_t padTo)
{
    // The build folder is reached through Z:, so its host path follows the drive.
    std::string bin = slashes(binDir());
    std::string build = bin.substr(0, bin.find_last_of('/'));
    std::string dir = build + "/test-roots/" + name + "-" + std::to_string(GetCurrentProcessId());
    mBase = dir;
    // Lengthened with components of at most 100 characters.
    while (padTo > dir.size() - 2 + 1) {
        size_t room = padTo - (dir.size() - 2) - 1;
        size_t take = room < 100 ? room : 100;
        if (room - take == 1)
            --take;
        dir += "/" + std::string(take, 'p');
    }
    mEnv = dir;
    std::error_code ec;
    std::filesystem::remove_all(mBase, ec);
    std::filesystem::create_directories(mEnv, ec);
}

TestRoot::~TestRoot()
{
    std::error_code ec;
    std::filesystem::remove_all(mBase, ec);
}

bool TestRoot::made() const
{
    std::error_code ec;
    return std::filesystem::is_directory(mEnv, ec);
}

bool TestRoot::makeDir(const std::string &rel) const
{
    std::error_code ec;
    std::filesystem::create_directories(path(rel), ec);
    return !ec;
}

bool writeFile(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

std::string readFile(const std::string &path, bool *ok)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (ok)
        *ok = h != INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string data;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        data.append(buf, got);
    CloseHandle(h);
    return data;
}

bool fileExists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool waitFileSize(const std::string &path, size_t size, int timeoutMs)
{
    return waitUntil(
        [&] {
            WIN32_FILE_ATTRIBUTE_DATA a;
            if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a))
                return false;
            return ((static_cast<uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow) >= size;
        },
        timeoutMs);
}

} // namespace kt
