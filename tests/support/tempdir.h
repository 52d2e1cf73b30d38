// A private folder under the temporary directory, removed with its files.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

namespace kt {

class TempDir {
public:
    // The folder is named from the prefix, the process and a per-process count.
    explicit TempDir(const char *prefix)
    {
        char base[MAX_PATH];
        GetTempPathA(sizeof base, base);
        static int serial;
        mPath = std::string(base) + prefix + std::to_string(GetCurrentProcessId()) + "_" +
                std::to_string(++serial);
        mMade = CreateDirectoryA(mPath.c_str(), nullptr) != 0;
    }
    // Whatever files the test left in it go too.
    ~TempDir()
    {
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA(file("*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileA(file(found.cFileName).c_str());
            } while (FindNextFileA(find, &found));
            FindClose(find);
        }
        RemoveDirectoryA(mPath.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    bool made() const { return mMade; }
    const std::string &path() const { return mPath; }
    // A file in the folder.
    std::string file(const std::string &name) const { return mPath + "\\" + name; }

private:
    std::string mPath;
    bool mMade = false;
};

} // namespace kt
