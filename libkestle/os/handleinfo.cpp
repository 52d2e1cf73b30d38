// Handle inspection: the drive is the one whose volume serial number matches
// the file's; the path on that volume comes from the file system.
#include "os/handleinfo.h"

#include <process.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "kestle.h"
#include "os/diagnostics.h"
#include "os/ntapi.h"

namespace {

constexpr size_t kTypeQuerySize = 2048;
constexpr int kTypeTextSize = 1024;
constexpr size_t kDriveListSize = 500;
constexpr ULONG kNameUnits = 260;
constexpr int kPathTextSize = 261;

// FILE_NAME_INFORMATION with room for 260 units (and one spare that the
// system is never offered).
struct NameQuery {
    ULONG length;
    WCHAR name[kNameUnits + 1];
};
constexpr ULONG kNameQueryOffered = sizeof(ULONG) + kNameUnits * sizeof(WCHAR);

// The start of the type-query answer: the type name as a counted string.
struct TypeName {
    USHORT length;
    USHORT capacity;
    PWSTR units;
};

} // namespace

bool typeNameText(const void *answer, size_t size, char *text, int textSize)
{
    if (!text || textSize < 1)
        return false;
    memset(text, 0, static_cast<size_t>(textSize));
    if (!answer || size < sizeof(TypeName))
        return false;
    // The units must lie inside the answer; only those are read, and the
    // answer itself is never written.
    const TypeName *name = static_cast<const TypeName *>(answer);
    uintptr_t begin = reinterpret_cast<uintptr_t>(answer);
    uintptr_t units = reinterpret_cast<uintptr_t>(name->units);
    size_t count = name->length / sizeof(WCHAR);
    if (count == 0)
        return true;
    if (units < begin + sizeof(TypeName) || units > begin + size ||
        count > (begin + size - units) / sizeof(WCHAR))
        return false;
    // At most textSize - 1 bytes: the last one stays 0 even for a cut text.
    WideCharToMultiByte(CP_ACP, 0, name->units, static_cast<int>(count), text, textSize - 1, nullptr, nullptr);
    return true;
}

void logHandleType(HANDLE handle)
{
    ZwQueryObjectFn query = ntQueryObject();
    if (!query)
        return;
    // Aligned for the pointer the answer holds.
    alignas(8) BYTE buffer[kTypeQuerySize];
    ULONG returned = 0;
    LONG status = query(handle, kObjectTypeInformation, buffer, sizeof buffer, &returned);
    char text[kTypeTextSize];
    if (status != 0 || !typeNameText(buffer, sizeof buffer, text, sizeof text)) {
        debugPrint("ZwQueryObject() failed, no handle type got.\n");
        return;
    }
    debugPrint("handle type is %s\n", text);
}

bool pickDrive(const char *list, size_t size, DWORD serial, char *drive)
{
    if (!list || !drive)
        return false;
    size_t at = 0;
    while (at < size && list[at] != '\0') {
        const char *root = list + at;
        size_t length = strnlen(root, size - at);
        if (length == size - at)
            break; // an unterminated last entry is not a root
        at += length + 1;
        if (length < 2 || _stricmp(root, "A:\\") == 0 || _stricmp(root, "B:\\") == 0)
            continue;
        DWORD found = 0;
        if (!GetVolumeInformationA(root, nullptr, 0, &found, nullptr, nullptr, nullptr, 0))
            continue;
        if (found != serial)
            continue;
        // The root without its backslash: letter and colon.
        drive[0] = root[0];
        drive[1] = root[1];
        drive[2] = '\0';
        return true;
    }
    return false;
}

bool ansiPathFromUnits(const wchar_t *units, size_t count, char *out, int size, UINT codePage)
{
    if (!out || size < 1)
        return false;
    memset(out, 0, static_cast<size_t>(size));
    if (count == 0)
        return true;
    if (!units || count > static_cast<size_t>(INT32_MAX))
        return false;
    UINT page = codePage == CP_ACP ? GetACP() : codePage;
    // The UTF code pages take no flags and cannot report substitutions.
    bool utf = page == CP_UTF8 || page == CP_UTF7;
    BOOL substituted = FALSE;
    int written = WideCharToMultiByte(page, utf ? 0 : WC_NO_BEST_FIT_CHARS, units, static_cast<int>(count), out,
                                      size - 1, nullptr, utf ? nullptr : &substituted);
    if (written <= 0 || substituted) {
        memset(out, 0, static_cast<size_t>(size));
        return false;
    }
    out[written] = '\0';
    return true;
}

bool pathFromNameInfo(const void *answer, size_t size, char *path, int pathSize, UINT codePage)
{
    if (!path || pathSize < 1)
        return false;
    memset(path, 0, static_cast<size_t>(pathSize));
    if (!answer || size < sizeof(ULONG))
        return false;
    // The length is the file system's word; it is held to the answer's room.
    ULONG length = *static_cast<const ULONG *>(answer);
    if (length > size - sizeof(ULONG))
        return false;
    const wchar_t *units = reinterpret_cast<const wchar_t *>(static_cast<const BYTE *>(answer) + sizeof(ULONG));
    return ansiPathFromUnits(units, length / sizeof(WCHAR), path, pathSize, codePage);
}

int GetVolumeNameByHandle(HANDLE file, char *out)
{
    ZwQueryInformationFileFn query = ntQueryInformationFile();
    if (!query)
        return 0;
    char drives[kDriveListSize];
    memset(drives, 0, sizeof drives);

    BY_HANDLE_FILE_INFORMATION info;
    memset(&info, 0, sizeof info);
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        debugPrint("GetFileInformationByHandle failed, lasterror=%d\n", static_cast<int>(GetLastError()));
        return 0;
    }
    debugPrint("dwFileAttributes=0x%x\n", static_cast<unsigned>(info.dwFileAttributes));
    debugPrint("dwVolumeSerialNumber=0x%x\n", static_cast<unsigned>(info.dwVolumeSerialNumber));
    debugPrint("nFileSizeHigh=0x%x\n", static_cast<unsigned>(info.nFileSizeHigh));
    debugPrint("nFileSizeLow=0x%x\n", static_cast<unsigned>(info.nFileSizeLow));
    debugPrint("nNumberOfLinks=0x%x\n", static_cast<unsigned>(info.nNumberOfLinks));
    debugPrint("nFileIndexHigh=0x%x\n", static_cast<unsigned>(info.nFileIndexHigh));
    debugPrint("nFileIndexLow=0x%x\n", static_cast<unsigned>(info.nFileIndexLow));

    // One byte stays 0, so the list always ends.
    DWORD listed = GetLogicalDriveStringsA(sizeof drives - 1, drives);
    if (listed == 0) {
        debugPrint("oo, your machine has no drive\n");
        return 0;
    }
    char drive[3];
    if (listed >= sizeof drives - 1 || !pickDrive(drives, sizeof drives, info.dwVolumeSerialNumber, drive)) {
        debugPrint("ahh, no drive holds this file\n");
        return 0;
    }

    NameQuery name;
    memset(&name, 0, sizeof name);
    IO_STATUS_BLOCK status;
    memset(&status, 0, sizeof status);
    // A name longer than 260 units does not fit and is reported as such.
    LONG result = query(file, &status, &name, kNameQueryOffered, kFileNameInformation);
    if (result != 0) {
        debugPrint("something is wrong\n");
        return 0;
    }
    char path[kPathTextSize];
    if (!pathFromNameInfo(&name, kNameQueryOffered, path, sizeof path, CP_ACP)) {
        debugPrint("something is wrong\n");
        return 0;
    }
    snprintf(out, kFileNameOutSize, "%s%s", drive, path);
    return 1;
}

void convertFileName(const wchar_t *text, char *buf, int size)
{
    if (!text || !buf || size < 1)
        return;
    size_t length = wcslen(text);
    if (length > static_cast<size_t>(INT32_MAX))
        return;
    int n = static_cast<int>(length);
    int need = WideCharToMultiByte(CP_ACP, 0, text, n, nullptr, 0, nullptr, nullptr);
    int room = need < size ? need : size;
    int written = room > 0 ? WideCharToMultiByte(CP_ACP, 0, text, n, buf, room, nullptr, nullptr) : 0;
    // A cut text leaves up to room bytes; the terminator goes after them.
    buf[written > 0 ? written : (need > size ? room : 0)] = '\0';
    debugPrint("File name is %s, pid=%d\n", buf, _getpid());
    debugPrint("end\n");
}

extern "C" int KESTLE_CALL get_file_name(HANDLE file, char *out)
{
    floggerSetName("osal_filename");
    debugPrint("start\n");
    if (!out)
        return 0;
    out[0] = '\0';
    logHandleType(file);
    if (!GetVolumeNameByHandle(file, out)) {
        out[0] = '\0';
        debugPrint("GetVolumeNameByHandle failed\n");
        return 0;
    }
    if (out[0] == '\0')
        return 0;
    debugPrint("File name is %s, pid=%d\n", out, _getpid());
    return 1;
}
