// The version resources of the DLL and the programs, read back as Windows
// reads them: file and product version are the project's version.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "child.h"

namespace {

struct Shipped {
    const char *file;
    DWORD type;
};

const Shipped kShipped[] = {
    {"libkestle.dll", VFT_DLL},
    {"scrived.exe", VFT_APP},
    {"interrogator.exe", VFT_APP},
    {"sockmapdump.exe", VFT_APP},
};

// A value of the resource's one string table (U.S. English, Unicode), or
// "(none)".
std::string stringValue(std::vector<char> &info, const std::string &name)
{
    char *value = nullptr;
    UINT length = 0;
    std::string key = "\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&value), &length) || !value)
        return "(none)";
    return std::string(value, length && value[length - 1] == '\0' ? length - 1 : length);
}

TEST(VersionResource, EveryShippedBinaryCarriesTheProjectVersion)
{
    const DWORD high = MAKELONG(KT_VERSION_MINOR, KT_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, KT_VERSION_PATCH);
    for (const Shipped &s : kShipped) {
        SCOPED_TRACE(s.file);
        std::string path = kt::binPath(s.file);
        DWORD unused = 0;
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), &unused);
        ASSERT_GT(size, 0u) << "no version resource (error " << GetLastError() << ")";
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
        ASSERT_EQ(length, sizeof *fixed);
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, high);
        EXPECT_EQ(fixed->dwFileVersionLS, low);
        EXPECT_EQ(fixed->dwProductVersionMS, high);
        EXPECT_EQ(fixed->dwProductVersionLS, low);
        EXPECT_EQ(fixed->dwFileType, s.type);

        EXPECT_EQ(stringValue(info, "FileVersion"), KT_PROJECT_VERSION);
        EXPECT_EQ(stringValue(info, "ProductVersion"), KT_PROJECT_VERSION);
        EXPECT_EQ(stringValue(info, "ProductName"), "libkestle");
        EXPECT_EQ(stringValue(info, "OriginalFilename"), s.file);
    }
}

} // namespace
