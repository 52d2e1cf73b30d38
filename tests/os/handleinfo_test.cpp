// Handle inspection: the drive-first path of an open file, the handles that
// have none, the longest paths, names the ANSI code page cannot show, and the
// steps behind it (drive choice, conversion, the ntdll look-ups).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "kestle.h"
#include "os/diagnostics.h"
#include "os/handleinfo.h"
#include "os/ntapi.h"

namespace {

// A private folder under the temporary directory (on C:), removed with what
// is in it. Works in wide "\\?\" paths so that paths longer than MAX_PATH can
// be made.
class TempTree {
public:
    TempTree()
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        static int serial;
        mRoot = std::wstring(base) + L"kt_handle_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(++serial);
        CreateDirectoryW(mRoot.c_str(), nullptr);
        mMade.push_back({mRoot, true});
    }
    ~TempTree()
    {
        for (auto it = mMade.rbegin(); it != mMade.rend(); ++it) {
            std::wstring path = L"\\\\?\\" + it->first;
            if (it->second)
                RemoveDirectoryW(path.c_str());
            else
                DeleteFileW(path.c_str());
        }
    }
    const std::wstring &root() const { return mRoot; }
    // Makes the folder path (relative to the root, '\' separated, each part
    // made in turn); returns its full path.
    std::wstring dir(const std::wstring &relative)
    {
        std::wstring path = mRoot;
        size_t start = 0;
        while (start < relative.size()) {
            size_t end = relative.find(L'\\', start);
            if (end == std::wstring::npos)
                end = relative.size();
            path += L"\\" + relative.substr(start, end - start);
            CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
            mMade.push_back({path, true});
            start = end + 1;
        }
        return path;
    }
    // Creates a file at a full path and returns an open handle to it.
    HANDLE file(const std::wstring &path)
    {
        HANDLE h = CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            mMade.push_back({path, false});
        return h;
    }

private:
    std::wstring mRoot;
    std::vector<std::pair<std::wstring, bool>> mMade;
};

// The answer for a handle: result and text. out starts filled with 'x' so
// that an unwritten buffer shows.
struct Named {
    int result;
    std::string text;
};

Named nameOf(HANDLE h)
{
    char out[kFileNameOutSize + 16];
    memset(out, 'x', sizeof out);
    out[sizeof out - 1] = '\0';
    int result = get_file_name(h, out);
    return {result, out};
}

// The file's path as this program spelled it, in the ANSI code page.
std::string ansi(const std::wstring &path)
{
    char text[1024] = {};
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

TEST(GetFileName, AFileOnCGivesItsDriveAndPath)
{
    TempTree tree;
    std::wstring path = tree.root() + L"\\report.txt";
    HANDLE h = tree.file(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(path.substr(0, 3), L"C:\\") << "the temporary folder is expected on C:";
    Named named = nameOf(h);
    CloseHandle(h);
    EXPECT_EQ(named.result, 1);
    EXPECT_EQ(named.text, ansi(path));
}

// The drive is found by the volume's serial number, so a file on another
// drive gets that drive's letter.
TEST(GetFileName, AFileOnAnotherDriveGetsThatDrivesLetter)
{
    std::string self = kt::selfPath();
    HANDLE h = CreateFileA(self.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << self;
    Named named = nameOf(h);
    CloseHandle(h);
    EXPECT_EQ(named.result, 1);
    EXPECT_EQ(_stricmp(named.text.c_str(), self.c_str()), 0) << "got " << named.text << ", expected " << self;
}

TEST(GetFileName, HandlesWithoutAFileNameGiveZeroAndAnEmptyText)
{
    TempTree tree;
    std::wstring folder = tree.dir(L"folder");
    HANDLE dir = CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(dir, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    HANDLE closed = tree.file(tree.root() + L"\\closed.txt");
    CloseHandle(closed);
    struct Case {
        const char *what;
        HANDLE handle;
    };
    std::vector<Case> cases{
        {"directory", dir},
        {"event", event},
        {"pipe", readEnd},
        {"this process (INVALID_HANDLE_VALUE)", INVALID_HANDLE_VALUE},
        {"NULL", nullptr},
        {"closed handle", closed},
    };
    for (const Case &c : cases) {
        Named named = nameOf(c.handle);
        EXPECT_EQ(named.result, 0) << c.what;
        EXPECT_EQ(named.text, "") << c.what;
    }
    CloseHandle(dir);
    CloseHandle(event);
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
}

TEST(GetFileName, NoOutputBufferGivesZero)
{
    TempTree tree;
    HANDLE h = tree.file(tree.root() + L"\\any.txt");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(get_file_name(h, nullptr), 0);
    CloseHandle(h);
}

// A file whose path on the volume (after "C:") is exactly `units` long.
std::wstring pathOfUnits(TempTree &tree, size_t units)
{
    std::wstring base = tree.root().substr(2); // without "C:"
    std::wstring relative;
    size_t left = units - base.size();
    // Folders of 100 characters, then a file name for the rest.
    while (left > 1 + 100 + 1 + 20) {
        relative += (relative.empty() ? L"" : L"\\") + std::wstring(100, L'd');
        left -= 101;
    }
    std::wstring folder = relative.empty() ? tree.root() : tree.dir(relative);
    return folder + L"\\" + std::wstring(left - 1, L'f');
}

TEST(GetFileName, ThePathMayTakeUpTo260Characters)
{
    TempTree tree;
    struct Case {
        size_t units;
        int expected;
    };
    for (const Case &c : std::vector<Case>{{259, 1}, {260, 1}, {261, 0}, {400, 0}}) {
        std::wstring path = pathOfUnits(tree, c.units);
        ASSERT_EQ(path.size(), c.units + 2);
        HANDLE h = tree.file(path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "could not make a path of " << c.units;
        Named named = nameOf(h);
        CloseHandle(h);
        EXPECT_EQ(named.result, c.expected) << "a path of " << c.units << " characters";
        EXPECT_EQ(named.text, c.expected ? ansi(path) : "") << "a path of " << c.units << " characters";
        if (c.expected) {
            EXPECT_EQ(named.text.size(), c.units + 2);
        }
    }
}

// A name the ANSI code page can only approximate would name another file (or
// none): no answer is better than a wrong one. The test run sets the locale
// (U.S. English: code page 1252, which lacks the last two names' characters).
TEST(GetFileName, ANameTheCodePageCannotShowGivesZero)
{
    ASSERT_EQ(GetACP(), 1252u) << "the test run sets LC_ALL=en_US.UTF-8 and LOCPATH for this test";
    TempTree tree;
    struct Case {
        const wchar_t *name;
        bool representable;
    };
    for (const Case &c : std::vector<Case>{{L"plain.txt", true},
                                           {L"\x4e2d\x6587.txt", false},
                                           {L"a\x0101.txt", false}}) {
        std::wstring path = tree.root() + L"\\" + c.name;
        BOOL substituted = FALSE;
        char probe[MAX_PATH * 2];
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, c.name, -1, probe, sizeof probe, nullptr, &substituted);
        ASSERT_EQ(substituted == FALSE, c.representable) << ansi(path);
        HANDLE h = tree.file(path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << ansi(path);
        Named named = nameOf(h);
        CloseHandle(h);
        EXPECT_EQ(named.result, c.representable ? 1 : 0) << ansi(path);
        EXPECT_EQ(named.text, c.representable ? ansi(path) : "") << ansi(path);
    }
}

TEST(GetFileName, NamesTheLoggerRecord)
{
    floggerSetName("someone else");
    nameOf(nullptr);
    ASSERT_NE(floggerRecord(), nullptr);
    EXPECT_STREQ(floggerRecord()->name, "osal_filename");
}

TEST(GetFileName, IsExportOrdinalOne)
{
    HMODULE dll = LoadLibraryA(kt::binPath("libkestle.dll").c_str());
    ASSERT_NE(dll, nullptr);
    FARPROC byName = GetProcAddress(dll, "get_file_name");
    EXPECT_NE(byName, nullptr);
    EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(1)), byName);
    FreeLibrary(dll);
}

// ---- the steps ----

DWORD serialOf(const char *root)
{
    DWORD serial = 0;
    GetVolumeInformationA(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
    return serial;
}

TEST(PickDrive, TheFirstLetteredVolumeWithTheSerialWins)
{
    DWORD c = serialOf("C:\\");
    ASSERT_NE(c, 0u);
    struct Case {
        const char *what;
        std::string list;
        DWORD serial;
        const char *expected; // NULL: none
    };
    using namespace std::string_literals;
    std::vector<Case> cases{
        {"C: alone", "C:\\\0\0"s, c, "C:"},
        {"A: and B: are passed over", "A:\\\0B:\\\0a:\\\0C:\\\0\0"s, c, "C:"},
        {"only A: and B:", "A:\\\0b:\\\0\0"s, c, nullptr},
        {"a missing drive is passed over", "Q:\\\0C:\\\0\0"s, c, "C:"},
        {"the first of two roots wins", "c:\\\0C:\\\0\0"s, c, "c:"},
        {"no volume has the serial", "C:\\\0\0"s, c + 1, nullptr},
        {"empty list", "\0"s, c, nullptr},
    };
    for (const Case &cs : cases) {
        char drive[3] = {'?', '?', '?'};
        bool found = pickDrive(cs.list.data(), cs.list.size(), cs.serial, drive);
        EXPECT_EQ(found, cs.expected != nullptr) << cs.what;
        if (found && cs.expected) {
            EXPECT_STREQ(drive, cs.expected) << cs.what;
        }
    }
}

// A list without its terminator is read no further than its size.
TEST(PickDrive, StopsAtTheEndOfAnUnterminatedList)
{
    std::vector<char> list{'C', ':', '\\'};
    char drive[3] = {};
    EXPECT_FALSE(pickDrive(list.data(), list.size(), serialOf("C:\\"), drive));
    EXPECT_FALSE(pickDrive(nullptr, 10, 0, drive));
}

TEST(AnsiPath, FitsOrFailsWhole)
{
    struct Case {
        const char *what;
        std::wstring units;
        UINT codePage;
        int size;
        bool ok;
        size_t bytes;
    };
    std::vector<Case> cases{
        {"plain text", L"\\dir\\file.txt", 1252, 261, true, 13},
        {"empty", L"", 1252, 261, true, 0},
        {"260 bytes exactly", std::wstring(260, L'a'), 1252, 261, true, 260},
        {"261 bytes", std::wstring(261, L'a'), 1252, 261, false, 0},
        {"130 double-byte characters make 260 bytes", std::wstring(130, L'\x4e2d'), 936, 261, true, 260},
        {"131 double-byte characters do not fit", std::wstring(131, L'\x4e2d'), 936, 261, false, 0},
        {"a character without a form", L"\\\x4e2d.txt", 1252, 261, false, 0},
        {"a best-fit character", L"\\a\x0101.txt", 1252, 261, false, 0},
        {"UTF-8 shows everything", L"\\\x4e2d.txt", CP_UTF8, 261, true, 8},
    };
    for (const Case &c : cases) {
        std::vector<char> out(static_cast<size_t>(c.size) + 1, 'x');
        bool ok = ansiPathFromUnits(c.units.data(), c.units.size(), out.data(), c.size, c.codePage);
        EXPECT_EQ(ok, c.ok) << c.what;
        EXPECT_EQ(strlen(out.data()), c.bytes) << c.what;
        EXPECT_EQ(out[static_cast<size_t>(c.size)], 'x') << c.what << ": written past the buffer";
    }
}

// The type answer's counted name is taken only from inside the answer.
TEST(TypeName, IsReadOnlyFromInsideTheAnswer)
{
    struct alignas(8) Answer {
        USHORT length;
        USHORT capacity;
        PWSTR units;
        WCHAR text[8];
    };
    auto make = [](const wchar_t *text) {
        Answer a{};
        wcscpy(a.text, text);
        a.length = static_cast<USHORT>(wcslen(text) * sizeof(WCHAR));
        a.capacity = sizeof a.text;
        a.units = a.text;
        return a;
    };
    char text[16];
    Answer file = make(L"File");
    EXPECT_TRUE(typeNameText(&file, sizeof file, text, sizeof text));
    EXPECT_STREQ(text, "File");

    Answer tooLong = make(L"Event");
    tooLong.length = 0xFFFE;
    WCHAR elsewhere[] = L"Mutant";
    Answer outside = make(L"File");
    outside.units = elsewhere;
    Answer overlapsHeader = make(L"File");
    overlapsHeader.units = reinterpret_cast<PWSTR>(&overlapsHeader);
    struct Case {
        const char *what;
        const Answer *answer;
        size_t size;
    };
    for (const Case &c : std::vector<Case>{{"length past the answer", &tooLong, sizeof tooLong},
                                           {"units outside the answer", &outside, sizeof outside},
                                           {"units over the header", &overlapsHeader, sizeof overlapsHeader},
                                           {"answer cut before the name", &file, 10},
                                           {"answer shorter than its header", &file, 4}}) {
        memset(text, 'x', sizeof text);
        EXPECT_FALSE(typeNameText(c.answer, c.size, text, sizeof text)) << c.what;
        EXPECT_STREQ(text, "") << c.what;
    }

    // A name longer than the text keeps what fits, terminated.
    char small[4];
    EXPECT_TRUE(typeNameText(&file, sizeof file, small, sizeof small));
    EXPECT_EQ(strlen(small), 3u);
}

// The file system's name length is held to the answer's room.
TEST(NameInfo, ALengthPastTheAnswerIsRefused)
{
    struct Answer {
        ULONG length;
        WCHAR name[8];
    };
    Answer good{12, L"\\a.txt"};
    char path[32];
    EXPECT_TRUE(pathFromNameInfo(&good, sizeof good, path, sizeof path, 1252));
    EXPECT_STREQ(path, "\\a.txt");
    EXPECT_TRUE(pathFromNameInfo(&good, sizeof(ULONG) + 12, path, sizeof path, 1252)) << "a name filling the answer";

    for (ULONG length : std::vector<ULONG>{sizeof good.name + 2, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Answer bad = good;
        bad.length = length;
        memset(path, 'x', sizeof path);
        EXPECT_FALSE(pathFromNameInfo(&bad, sizeof bad, path, sizeof path, 1252)) << "length " << length;
        EXPECT_STREQ(path, "") << "length " << length;
    }
    EXPECT_FALSE(pathFromNameInfo(&good, 2, path, sizeof path, 1252)) << "an answer without its length";
}

TEST(ConvertFileName, WritesAtMostSizeBytesAndATerminator)
{
    struct Case {
        const wchar_t *text;
        int size;
        const char *expected;
    };
    for (const Case &c : std::vector<Case>{{L"abc", 10, "abc"}, {L"abc", 3, "abc"}, {L"abcdef", 2, "ab"},
                                           {L"", 5, ""}}) {
        std::vector<char> buf(static_cast<size_t>(c.size) + 1, 'x');
        convertFileName(c.text, buf.data(), c.size);
        EXPECT_STREQ(buf.data(), c.expected) << "size " << c.size;
    }
    char untouched[4] = "zz";
    convertFileName(nullptr, untouched, 3);
    convertFileName(L"abc", untouched, 0);
    EXPECT_STREQ(untouched, "zz");
    convertFileName(L"abc", nullptr, 3);
}

// A look-up that fails leaves the slot empty, so a later call tries again;
// once found, the address stays.
TEST(NtEntries, FailedLookUpsAreTriedAgainAndFoundOnesKept)
{
    void *slot = nullptr;
    EXPECT_EQ(resolveNtEntry(&slot, "kt_no_such_module.dll", "ZwQueryObject"), nullptr);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(resolveNtEntry(&slot, "ntdll.dll", "ZwNoSuchEntryPoint"), nullptr);
    EXPECT_EQ(slot, nullptr);
    void *real = reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "ZwQueryObject"));
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(resolveNtEntry(&slot, "ntdll.dll", "ZwQueryObject"), real);
    EXPECT_EQ(slot, real);
    EXPECT_EQ(resolveNtEntry(&slot, "kt_no_such_module.dll", "ZwNoSuchEntryPoint"), real) << "kept once found";

    EXPECT_EQ(reinterpret_cast<void *>(ntQueryObject()), real);
    EXPECT_EQ(reinterpret_cast<void *>(ntQueryInformationFile()),
              reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "ZwQueryInformationFile")));
}

} // namespace
