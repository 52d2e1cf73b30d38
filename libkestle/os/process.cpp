// Starting, running and stopping host processes for the guest.
#include "kestle.h"

#include <tlhelp32.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <process.h>

extern "C" int KESTLE_CALL osal_newProcess(char *cmdline, void *env)
{
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof info);
    if (!CreateProcessA(nullptr, cmdline, nullptr, nullptr, TRUE, 0, env, nullptr, &startup, &info)) {
        DWORD error = GetLastError();
        printf("osal_newProcess cmdline=%s error=%d\n", cmdline, static_cast<int>(error));
        fflush(stdout);
        return -static_cast<int>(error);
    }
    // Only the id goes back to the caller, so nobody else could close these.
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<int>(info.dwProcessId);
}

extern "C" int KESTLE_CALL osal_system(const char *command)
{
    // The C runtime's question whether a command interpreter exists.
    if (!command)
        return _wsystem(nullptr);
    // Guest text is UTF-8. Stray bytes become U+FFFD as the conversion makes
    // them; the command still runs. A conversion that fails outright must not
    // hand the interpreter an unfilled block.
    int units = MultiByteToWideChar(CP_UTF8, 0, command, -1, nullptr, 0);
    if (units <= 0) {
        errno = EINVAL;
        return -1;
    }
    wchar_t *wide = static_cast<wchar_t *>(malloc(sizeof(wchar_t) * static_cast<size_t>(units)));
    if (!wide) {
        errno = ENOMEM;
        return -1;
    }
    if (MultiByteToWideChar(CP_UTF8, 0, command, -1, wide, units) != units) {
        free(wide);
        errno = EINVAL;
        return -1;
    }
    int result = _wsystem(wide);
    int savedErrno = errno;
    free(wide);
    errno = savedErrno;
    return result;
}

extern "C" int KESTLE_CALL osal_killProcessByName(const char *name)
{
    if (!name)
        return 0;
    size_t size = strlen(name) + 5;
    char *target = new (std::nothrow) char[size];
    if (!target)
        return 0;
    snprintf(target, size, "%s.exe", name);

    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32 entry;
        memset(&entry, 0, sizeof entry);
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
            // Exact and case-sensitive: Sh.exe is not sh.exe.
            entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
            if (strcmp(entry.szExeFile, target) != 0)
                continue;
            HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
            if (process) {
                TerminateProcess(process, 0);
                CloseHandle(process);
            }
            ++count;
        }
        CloseHandle(snapshot);
    }
    delete[] target;
    return count;
}

extern "C" void KESTLE_CALL osal_dieHard(void)
{
    // Stopping the guest is the stop command's business; this thread only
    // waits for the end.
    system("gueststop");
    Sleep(999999);
}
