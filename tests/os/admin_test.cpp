// Administrator rights, elevation and integrity level. The process under test
// runs elevated with high integrity, so the other answers are produced with
// real tokens: restricted ones (Administrators deny-only), the linked token,
// handles without the access a query needs, and built label records.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "kestle.h"
#include "os/admin.h"

namespace {

// A token handle closed at the end of its scope.
class Token {
public:
    Token() = default;
    explicit Token(HANDLE h) : mHandle(h) {}
    Token(const Token &) = delete;
    Token &operator=(const Token &) = delete;
    ~Token()
    {
        if (mHandle)
            CloseHandle(mHandle);
    }
    HANDLE get() const { return mHandle; }
    HANDLE *out() { return &mHandle; }
    explicit operator bool() const { return mHandle != nullptr; }

private:
    HANDLE mHandle = nullptr;
};

Token processToken(DWORD access)
{
    HANDLE handle = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), access, &handle))
        handle = nullptr;
    return Token(handle);
}

// token with the Administrators membership turned deny-only.
HANDLE withoutAdmins(HANDLE token)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size))
        return nullptr;
    SID_AND_ATTRIBUTES disable{sid, 0};
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted))
        return nullptr;
    return restricted;
}

HANDLE linkedToken(HANDLE token)
{
    TOKEN_LINKED_TOKEN linked{};
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &length))
        return nullptr;
    return linked.LinkedToken;
}

DWORD elevationType(HANDLE token)
{
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD length = 0;
    GetTokenInformation(token, TokenElevationType, &type, sizeof type, &length);
    return static_cast<DWORD>(type);
}

struct Answers {
    int runAsAdmin;
    int elevated;
    int inAdminGroup;
    int integrity;
};

Answers ask()
{
    return {osal_isRunAsAdmin(), osal_isProcessElevated(), osal_isUserInAdminGroup(),
            osal_getProcessIntegrityLevel()};
}

TEST(AdminExports, AnElevatedProcessHasEveryRight)
{
    Answers a = ask();
    EXPECT_EQ(a.runAsAdmin, 1);
    EXPECT_NE(a.elevated, 0);
    EXPECT_EQ(a.inAdminGroup, 1);
    EXPECT_EQ(a.integrity, 0x3000);
}

// osal_isRunAsAdmin asks the thread's effective token; the others ask the
// process's, which impersonation does not change.
TEST(AdminExports, RunAsAdminFollowsTheThreadsImpersonationToken)
{
    Token process = processToken(TOKEN_ALL_ACCESS);
    ASSERT_TRUE(process);
    Token restricted(withoutAdmins(process.get()));
    ASSERT_TRUE(restricted) << "CreateRestrictedToken error " << GetLastError();

    Answers during{};
    bool impersonated = false;
    std::thread worker([&] {
        impersonated = ImpersonateLoggedOnUser(restricted.get()) != FALSE;
        during = ask();
        RevertToSelf();
    });
    worker.join();
    ASSERT_TRUE(impersonated);
    EXPECT_EQ(during.runAsAdmin, 0) << "a deny-only membership is no membership";
    EXPECT_NE(during.elevated, 0);
    EXPECT_EQ(during.inAdminGroup, 1);
    EXPECT_EQ(during.integrity, 0x3000);
    EXPECT_EQ(osal_isRunAsAdmin(), 1) << "other threads keep the process token";
}

TEST(AdminGroup, AnswersForEachKindOfToken)
{
    Token process = processToken(TOKEN_ALL_ACCESS);
    ASSERT_TRUE(process);
    Token restricted(withoutAdmins(process.get()));
    ASSERT_TRUE(restricted);
    struct Case {
        const char *what;
        HANDLE token;
        DWORD major;
        int expected;
    };
    std::vector<Case> cases{
        {"full process token", process.get(), 6, 1},
        {"full process token, old system", process.get(), 5, 1},
        {"Administrators deny-only", restricted.get(), 6, 0},
        {"Administrators deny-only, old system", restricted.get(), 5, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tokenUserInAdminGroup(c.token, c.major), c.expected) << c.what;
}

// A filtered (limited) token: the membership is taken from its linked full
// token, so even a limited token whose own membership is deny-only answers 1,
// while an old system (no linked tokens) checks the token itself.
TEST(AdminGroup, ALimitedTokenIsJudgedByItsLinkedFullToken)
{
    Token process = processToken(TOKEN_ALL_ACCESS);
    ASSERT_TRUE(process);
    Token limited(linkedToken(process.get()));
    if (!limited || elevationType(limited.get()) != TokenElevationTypeLimited)
        GTEST_SKIP() << "this host gives the process no limited linked token";
    Token limitedRestricted(withoutAdmins(limited.get()));
    ASSERT_TRUE(limitedRestricted);
    if (elevationType(limitedRestricted.get()) != TokenElevationTypeLimited)
        GTEST_SKIP() << "a restricted copy of the limited token is not limited here";
    EXPECT_EQ(tokenUserInAdminGroup(limited.get(), 6), 1);
    EXPECT_EQ(tokenUserInAdminGroup(limitedRestricted.get(), 6), 1) << "the linked full token decides";
    EXPECT_EQ(tokenUserInAdminGroup(limitedRestricted.get(), 5), 0) << "without linked tokens the token decides";
}

// A failing step gives 0 and leaves its own error, not one of the clean-up.
TEST(AdminFailures, ATokenWithoutQueryAccessGivesZeroAndAccessDenied)
{
    Token noQuery = processToken(TOKEN_QUERY_SOURCE);
    ASSERT_TRUE(noQuery);
    struct Case {
        const char *what;
        int (*call)(HANDLE);
    };
    std::vector<Case> cases{
        {"elevation", [](HANDLE t) { return tokenIsElevated(t); }},
        {"admin group", [](HANDLE t) { return tokenUserInAdminGroup(t, 6); }},
        {"admin group, old system", [](HANDLE t) { return tokenUserInAdminGroup(t, 5); }},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        EXPECT_EQ(c.call(noQuery.get()), 0) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << c.what;
    }
}

TEST(AdminFailures, AClosedTokenGivesZero)
{
    HANDLE stale = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &stale));
    CloseHandle(stale);
    EXPECT_EQ(tokenIsElevated(stale), 0);
    EXPECT_EQ(tokenUserInAdminGroup(stale, 6), 0);
    EXPECT_NE(GetLastError(), 0u);
}

// A TokenIntegrityLevel record built by hand: label pointer, then the SID.
struct LabelRecord {
    TOKEN_MANDATORY_LABEL label;
    BYTE sid[SECURITY_MAX_SID_SIZE];
};

LabelRecord makeLabel(BYTE subAuthorities, DWORD rid)
{
    LabelRecord record{};
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    InitializeSid(record.sid, &authority, subAuthorities);
    if (subAuthorities > 0)
        *GetSidSubAuthority(record.sid, 0) = rid;
    record.label.Label.Sid = record.sid;
    record.label.Label.Attributes = SE_GROUP_INTEGRITY;
    return record;
}

TEST(IntegrityLevel, TheLabelsIdentifierIsTheLevel)
{
    for (DWORD rid : {0x1000u, 0x2000u, 0x3000u, 0x4000u}) {
        LabelRecord record = makeLabel(1, rid);
        EXPECT_EQ(integrityFromLabel(&record, sizeof record), static_cast<int>(rid));
    }
    Token process = processToken(TOKEN_QUERY);
    ASSERT_TRUE(process);
    EXPECT_EQ(tokenIntegrityLevel(process.get()), 0x3000);
}

// Nothing is read outside the record, and a label without an identifier has
// no level.
TEST(IntegrityLevel, AMalformedRecordGivesZero)
{
    LabelRecord noRid = makeLabel(0, 0);
    LabelRecord good = makeLabel(1, 0x2000);
    LabelRecord outside = makeLabel(1, 0x2000);
    LabelRecord other = makeLabel(1, 0x3000);
    outside.label.Label.Sid = other.sid;
    LabelRecord nullSid = makeLabel(1, 0x2000);
    nullSid.label.Label.Sid = nullptr;
    struct Case {
        const char *what;
        const void *buffer;
        DWORD size;
    };
    std::vector<Case> cases{
        {"no sub-authority", &noRid, sizeof noRid},
        {"SID outside the record", &outside, sizeof outside},
        {"NULL SID", &nullSid, sizeof nullSid},
        {"record cut before its SID's identifier", &good, sizeof(TOKEN_MANDATORY_LABEL) + 8},
        {"record shorter than a label", &good, 4},
        {"no record", nullptr, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(integrityFromLabel(c.buffer, c.size), 0) << c.what;
}

// This host answers the integrity query for any handle, so the query is
// played by a stand-in: each case says how its two calls go.
struct FakeQuery {
    BOOL sizeResult;
    DWORD sizeError;
    DWORD needed;
    BOOL fillResult;
    DWORD fillError;
    BYTE subAuthorities;
    DWORD rid;
};
FakeQuery gFake;

BOOL WINAPI fakeTokenQuery(HANDLE, TOKEN_INFORMATION_CLASS what, LPVOID buffer, DWORD size, PDWORD needed)
{
    if (what != TokenIntegrityLevel) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!buffer) {
        *needed = gFake.needed;
        SetLastError(gFake.sizeError);
        return gFake.sizeResult;
    }
    if (!gFake.fillResult) {
        SetLastError(gFake.fillError);
        return FALSE;
    }
    LabelRecord record = makeLabel(gFake.subAuthorities, gFake.rid);
    DWORD whole = sizeof(TOKEN_MANDATORY_LABEL) + GetLengthSid(record.sid);
    if (size < whole) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto *label = static_cast<TOKEN_MANDATORY_LABEL *>(buffer);
    BYTE *sid = static_cast<BYTE *>(buffer) + sizeof(TOKEN_MANDATORY_LABEL);
    memcpy(sid, record.sid, GetLengthSid(record.sid));
    label->Label.Sid = sid;
    label->Label.Attributes = SE_GROUP_INTEGRITY;
    *needed = whole;
    return TRUE;
}

TEST(IntegrityLevel, EachStepsFailureGivesZeroWithItsError)
{
    const DWORD whole = sizeof(TOKEN_MANDATORY_LABEL) + 12;
    struct Case {
        const char *what;
        FakeQuery fake;
        int expected;
        DWORD error; // 0: not looked at
    };
    std::vector<Case> cases{
        {"medium integrity", {FALSE, ERROR_INSUFFICIENT_BUFFER, whole, TRUE, 0, 1, 0x2000}, 0x2000, 0},
        {"low integrity", {FALSE, ERROR_INSUFFICIENT_BUFFER, whole, TRUE, 0, 1, 0x1000}, 0x1000, 0},
        {"size query refused", {FALSE, ERROR_ACCESS_DENIED, 0, TRUE, 0, 1, 0x2000}, 0, ERROR_ACCESS_DENIED},
        {"size query succeeds unasked", {TRUE, 0, whole, TRUE, 0, 1, 0x2000}, 0, 0},
        {"second query fails", {FALSE, ERROR_INSUFFICIENT_BUFFER, whole, FALSE, ERROR_INVALID_HANDLE, 1, 0x2000}, 0,
         ERROR_INVALID_HANDLE},
        {"size too small for the label", {FALSE, ERROR_INSUFFICIENT_BUFFER, 4, TRUE, 0, 1, 0x2000}, 0,
         ERROR_INSUFFICIENT_BUFFER},
        {"label without identifier", {FALSE, ERROR_INSUFFICIENT_BUFFER, whole, TRUE, 0, 0, 0}, 0, 0},
    };
    for (const Case &c : cases) {
        gFake = c.fake;
        SetLastError(0);
        EXPECT_EQ(tokenIntegrityLevel(nullptr, fakeTokenQuery), c.expected) << c.what;
        if (c.error) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
    }
}

TEST(Elevation, ProcessTokenIsElevated)
{
    Token process = processToken(TOKEN_QUERY);
    ASSERT_TRUE(process);
    EXPECT_NE(tokenIsElevated(process.get()), 0);
}

// ---- elevated start ----

std::string tempFile(const std::string &stem)
{
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    static int serial;
    return std::string(base) + "kt_admin_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(GetTickCount()) + "_" + std::to_string(++serial) +
           "_" + stem;
}

// The shell starts the program on its own; its mark file shows it ran.
bool waitForFile(const std::string &path, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(50);
    }
    return false;
}

class ElevatedStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        mMark = tempFile("mark");
        // A mark left by an earlier run would pass for this run's.
        DeleteFileA(mMark.c_str());
        SetEnvironmentVariableA("KT_START_MARK", mMark.c_str());
    }
    void TearDown() override
    {
        SetEnvironmentVariableA("KT_START_MARK", nullptr);
        for (int i = 0; i < 100 && !DeleteFileA(mMark.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND; ++i)
            Sleep(50);
    }
    std::string mMark;
    std::string mHelper = kt::binPath("startmark.exe");
    std::string mMissing = kt::binDir() + "\\kt_no_such_program.exe";
};

// On a thread whose effective token is not an administrator's, the export
// asks the shell for an elevated start.
TEST_F(ElevatedStart, ANonAdministratorThreadStartsTheProgram)
{
    Token process = processToken(TOKEN_ALL_ACCESS);
    ASSERT_TRUE(process);
    Token restricted(withoutAdmins(process.get()));
    ASSERT_TRUE(restricted);
    int started = -1, admin = -1;
    std::thread worker([&] {
        if (!ImpersonateLoggedOnUser(restricted.get()))
            return;
        admin = osal_isRunAsAdmin();
        started = osal_runAsAdministrator(mHelper.c_str());
        RevertToSelf();
    });
    worker.join();
    ASSERT_EQ(admin, 0);
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(waitForFile(mMark, 60000)) << "the started program never ran";
}

// While it lives, closes every dialog box of this process: on a display the
// shell answers a start it cannot make with an error box and waits for it.
class DialogCloser {
public:
    DialogCloser() : mThread([this] { run(); }) {}
    ~DialogCloser()
    {
        __atomic_store_n(&mStop, true, __ATOMIC_RELEASE);
        mThread.join();
    }

private:
    static BOOL CALLBACK closeIfOurs(HWND window, LPARAM)
    {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        char cls[64] = {};
        GetClassNameA(window, cls, sizeof cls);
        if (pid == GetCurrentProcessId() && strcmp(cls, "#32770") == 0)
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        return TRUE;
    }
    void run()
    {
        while (!__atomic_load_n(&mStop, __ATOMIC_ACQUIRE)) {
            EnumWindows(closeIfOurs, 0);
            Sleep(50);
        }
    }
    bool mStop = false;
    std::thread mThread;
};

// Already an administrator: 1, and nothing is started (a missing program
// would have made the start fail, and its error box must not hold the test).
TEST_F(ElevatedStart, AnAdministratorStartsNothing)
{
    DialogCloser closer;
    EXPECT_EQ(osal_runAsAdministrator(mMissing.c_str()), 1);
    EXPECT_EQ(osal_runAsAdministrator(nullptr), 1);
}

TEST_F(ElevatedStart, AStartThatCannotBeMadeIsNoSuccess)
{
    DialogCloser closer;
    EXPECT_EQ(launchElevated(mMissing.c_str()), 0);

    Token process = processToken(TOKEN_ALL_ACCESS);
    ASSERT_TRUE(process);
    Token restricted(withoutAdmins(process.get()));
    ASSERT_TRUE(restricted);
    int viaExport = -1;
    std::thread worker([&] {
        if (!ImpersonateLoggedOnUser(restricted.get()))
            return;
        viaExport = osal_runAsAdministrator(mMissing.c_str());
        RevertToSelf();
    });
    worker.join();
    EXPECT_EQ(viaExport, 0) << "a non-administrator whose start cannot be made";
}

TEST_F(ElevatedStart, LaunchStartsTheProgram)
{
    EXPECT_EQ(launchElevated(mHelper.c_str()), 1);
    EXPECT_TRUE(waitForFile(mMark, 60000)) << "the started program never ran";
}

TEST(ElevationTarget, NullMeansThisProgramAndACutPathIsRefused)
{
    char path[260];
    EXPECT_STREQ(elevationTarget("other.exe", path, sizeof path), "other.exe");

    char own[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, own, sizeof own), 0u);
    const char *target = elevationTarget(nullptr, path, sizeof path);
    ASSERT_NE(target, nullptr);
    EXPECT_STREQ(target, own);

    // A path that does not fit must not start a program named by its cut form.
    size_t length = strlen(own);
    std::vector<char> small(length);
    SetLastError(0);
    EXPECT_EQ(elevationTarget(nullptr, small.data(), static_cast<DWORD>(small.size())), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<char> exact(length + 1);
    EXPECT_NE(elevationTarget(nullptr, exact.data(), static_cast<DWORD>(exact.size())), nullptr)
        << "a path with room for its terminator is whole";
    EXPECT_EQ(elevationTarget(nullptr, nullptr, 0), nullptr);
}

} // namespace
