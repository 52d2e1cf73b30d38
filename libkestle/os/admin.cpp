// Administrator rights and integrity level: every answer comes from the
// token; failures are folded into 0 with the first failing step's Win32 error
// left as the last error.
#include "os/admin.h"

#include <shellapi.h>

#include <cstring>

#include "kestle.h"

namespace {

constexpr DWORD kMaxSidSize = 68;
constexpr DWORD kModulePathSize = 260;

// The last error of the first failing step survives the clean-up after it.
class FirstError {
public:
    void note()
    {
        if (!mSet) {
            mError = GetLastError();
            mSet = true;
        }
    }
    void restore() const
    {
        if (mSet)
            SetLastError(mError);
    }

private:
    DWORD mError = 0;
    bool mSet = false;
};

bool majorVersion(DWORD *major)
{
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BOOL ok = GetVersionExA(&version);
#pragma GCC diagnostic pop
    if (!ok)
        return false;
    *major = version.dwMajorVersion;
    return true;
}

// The answer of step(token) for the process token, opened with access; 0 when
// the token cannot be opened. A 0 answer keeps the error it left across the
// closing of the token.
template <class Step>
int fromProcessToken(DWORD access, Step step)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), access, &token))
        return 0;
    FirstError error;
    int answer = step(token);
    if (!answer)
        error.note();
    CloseHandle(token);
    error.restore();
    return answer;
}

} // namespace

int tokenIsElevated(HANDLE token)
{
    TOKEN_ELEVATION elevation;
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &length))
        return 0;
    return static_cast<int>(elevation.TokenIsElevated);
}

int tokenUserInAdminGroup(HANDLE token, DWORD majorVersion)
{
    FirstError error;
    HANDLE check = nullptr;
    BOOL member = FALSE;
    bool failed = false;
    if (majorVersion > 5) {
        TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
        DWORD length = 0;
        if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &length)) {
            error.note();
            failed = true;
        } else if (type == TokenElevationTypeLimited) {
            // The filtered token hides the membership; the full one shows it.
            TOKEN_LINKED_TOKEN linked;
            linked.LinkedToken = nullptr;
            if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &length)) {
                error.note();
                failed = true;
            } else {
                check = linked.LinkedToken;
            }
        }
    }
    // Membership is checked on an impersonation-level token.
    if (!failed && !check && !DuplicateToken(token, SecurityIdentification, &check)) {
        error.note();
        failed = true;
        check = nullptr;
    }
    if (!failed) {
        BYTE sid[kMaxSidSize];
        DWORD sidSize = sizeof sid;
        if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize) ||
            !CheckTokenMembership(check, sid, &member)) {
            error.note();
            failed = true;
        }
    }
    if (check)
        CloseHandle(check);
    error.restore();
    return failed ? 0 : (member ? 1 : 0);
}

int integrityFromLabel(const void *buffer, DWORD size)
{
    if (!buffer || size < sizeof(TOKEN_MANDATORY_LABEL))
        return 0;
    PSID sid = static_cast<const TOKEN_MANDATORY_LABEL *>(buffer)->Label.Sid;
    // The SID must lie inside the buffer and carry the identifier asked for.
    const BYTE *begin = static_cast<const BYTE *>(buffer);
    const BYTE *at = static_cast<const BYTE *>(sid);
    if (!sid || at < begin || at + 8 > begin + size)
        return 0;
    const SID *label = static_cast<const SID *>(sid);
    DWORD whole = 8 + 4 * static_cast<DWORD>(label->SubAuthorityCount);
    if (label->SubAuthorityCount < 1 || at + whole > begin + size || !IsValidSid(sid))
        return 0;
    return static_cast<int>(*GetSidSubAuthority(sid, 0));
}

int tokenIntegrityLevel(HANDLE token, TokenQueryFn query)
{
    DWORD needed = 0;
    // The size query must fail for want of room; anything else ends the call.
    if (query(token, TokenIntegrityLevel, nullptr, 0, &needed)) {
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return 0;
    FirstError error;
    int level = 0;
    void *buffer = LocalAlloc(LPTR, needed);
    if (!buffer) {
        error.note();
    } else if (DWORD filled = needed; !query(token, TokenIntegrityLevel, buffer, needed, &filled)) {
        error.note();
    } else {
        // Never read past the block, whatever length came back.
        level = integrityFromLabel(buffer, filled < needed ? filled : needed);
        if (!level) {
            SetLastError(ERROR_INVALID_SID);
            error.note();
        }
    }
    if (buffer)
        LocalFree(buffer);
    error.restore();
    return level;
}

const char *elevationTarget(const char *file, char *path, DWORD size)
{
    if (file)
        return file;
    if (!path || size == 0)
        return nullptr;
    // A cut path would name another program: only a whole one is used.
    DWORD length = GetModuleFileNameA(nullptr, path, size);
    if (length == 0)
        return nullptr;
    if (length >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nullptr;
    }
    return path;
}

int launchElevated(const char *file)
{
    SHELLEXECUTEINFOA info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NO_CONSOLE;
    info.hwnd = nullptr;
    info.lpVerb = "runas";
    info.lpFile = file;
    info.lpParameters = nullptr;
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExA(&info) ? 1 : 0;
}

extern "C" {

int KESTLE_CALL osal_isRunAsAdmin(void)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins))
        return 0;
    FirstError error;
    // No token: the calling thread's effective token is checked.
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, admins, &member)) {
        error.note();
        member = FALSE;
    }
    FreeSid(admins);
    error.restore();
    return member ? 1 : 0;
}

int KESTLE_CALL osal_isProcessElevated(void)
{
    return fromProcessToken(TOKEN_QUERY, [](HANDLE token) { return tokenIsElevated(token); });
}

int KESTLE_CALL osal_isUserInAdminGroup(void)
{
    return fromProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE, [](HANDLE token) {
        DWORD major = 0;
        return majorVersion(&major) ? tokenUserInAdminGroup(token, major) : 0;
    });
}

int KESTLE_CALL osal_getProcessIntegrityLevel(void)
{
    return fromProcessToken(TOKEN_QUERY, [](HANDLE token) { return tokenIntegrityLevel(token); });
}

int KESTLE_CALL osal_runAsAdministrator(const char *file)
{
    // Only systems with user account control are served.
    DWORD major = 0;
    if (!majorVersion(&major) || major <= 5)
        return 0;
    if (osal_isRunAsAdmin())
        return 1;
    char path[kModulePathSize];
    const char *target = elevationTarget(file, path, sizeof path);
    if (!target)
        return 0;
    return launchElevated(target);
}

} // extern "C"
