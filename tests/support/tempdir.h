// A private folder under the temporary directory, removed with its files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

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
        CreateDirectoryA(mPath.c_str(), nullptr);
    }
    ~TempDir()
    {
        for (const auto &f : mFiles)
            DeleteFileA(f.c_str());
        RemoveDirectoryA(mPath.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return mPath; }
    // A file in the folder, removed with it.
    std::string file(const std::string &name)
    {
        mFiles.push_back(mPath + "\\" + name);
        return mFiles.back();
    }

private:
    std::string mPath;
    std::vector<std::string> mFiles;
};

} // namespace kt
