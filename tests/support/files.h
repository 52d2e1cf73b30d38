// Test support: files the tests write and read back, and fresh root
// directories for the guest's file tree.
#pragma once

#include <cstddef>
#include <string>

namespace kt {

// A fresh directory tree for one test under the build folder, named in the
// drive-letter form VANTRELL_ROOT takes ("Z:" + host path), so its
// drive-less form names the same place.
class TestRoot {
public:
    // `padTo`: when non-zero, the root's host path is lengthened to exactly
    // that many characters.
    explicit TestRoot(const std::string &name, size_t padTo = 0);
    // Removes the tree (whatever is still open in it stays behind).
    ~TestRoot();
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;
    // Whether the folder was made.
    bool made() const;
    // "Z:/host/path" (no trailing '/').
    const std::string &envValue() const { return mEnv; }
    // The host path, as the library's drive-less root names it (no trailing '/').
    std::string hostPath() const { return mEnv.substr(2); }
    // A file or folder below the root, e.g. path("/dev/log/main").
    std::string path(const std::string &rel) const { return mEnv + rel; }
    bool makeDir(const std::string &rel) const;

private:
    std::string mBase;
    std::string mEnv;
};

// Writes the file anew with exactly these bytes.
bool writeFile(const std::string &path, const std::string &data);
// The file's bytes; `ok` false when it cannot be read. Others may have it
// open for writing meanwhile.
std::string readFile(const std::string &path, bool *ok = nullptr);
bool fileExists(const std::string &path);
// Polls until the file holds at least `size` bytes.
bool waitFileSize(const std::string &path, size_t size, int timeoutMs = 60000);

} // namespace kt
