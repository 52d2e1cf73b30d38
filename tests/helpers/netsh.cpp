// Stands in for the system's netsh in tests, so that nothing on the host is
// reconfigured: it only records how it was run. It is built beside the test
// programs, where the shell's search finds it first, and is never installed.
//
// The record goes into the folder named by KT_NETSH_RECORD, one file per run
// ("<pid>.rec"): a first line with the run's start and end on the
// performance counter, in microseconds ("<start> <end>\n"), then the
// parameters exactly as the wide command line gave them, as UTF-16LE bytes.
// It is written under a temporary name and then renamed, so a reader never
// sees half a record. Without KT_NETSH_RECORD it records nothing.
//
// A run whose parameters contain the text of KT_NETSH_HOLD_MATCH (UTF-8)
// takes KT_NETSH_HOLD_MS milliseconds, or less when the event named by
// KT_NETSH_HOLD_EVENT is set before then: a slow netsh. Before it waits it
// leaves an empty "<pid>.held" in the folder, so a test can tell whether it
// is still running.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../net/netsh_record.h"

namespace {

// The command line after the program's own name and the blanks behind it.
const wchar_t *parametersOf(const wchar_t *line)
{
    if (*line == L'"') {
        ++line;
        while (*line && *line != L'"')
            ++line;
        if (*line == L'"')
            ++line;
    } else {
        while (*line && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

std::string variable(const char *name)
{
    char value[1024];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length && length < sizeof value ? std::string(value, length) : std::string();
}

std::wstring fromUtf8(const std::string &text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

void hold(const std::string &folder, const std::wstring &parameters)
{
    std::string match = variable("KT_NETSH_HOLD_MATCH");
    if (match.empty() || parameters.find(fromUtf8(match)) == std::wstring::npos)
        return;
    if (FILE *held = fopen((folder + "\\" + std::to_string(GetCurrentProcessId()) + ".held").c_str(), "wb"))
        fclose(held);
    DWORD ms = static_cast<DWORD>(strtoul(variable("KT_NETSH_HOLD_MS").c_str(), nullptr, 10));
    std::string event = variable("KT_NETSH_HOLD_EVENT");
    HANDLE release = event.empty() ? nullptr : OpenEventA(SYNCHRONIZE, FALSE, event.c_str());
    if (release) {
        WaitForSingleObject(release, ms);
        CloseHandle(release);
    } else {
        Sleep(ms);
    }
}

} // namespace

int main()
{
    long long start = kt::netshClockUs();
    std::string folder = variable("KT_NETSH_RECORD");
    if (folder.empty())
        return 0;

    std::wstring parameters = parametersOf(GetCommandLineW());
    hold(folder, parameters);

    char times[64];
    snprintf(times, sizeof times, "%lld %lld\n", start, kt::netshClockUs());
    std::string record = times;
    record.append(reinterpret_cast<const char *>(parameters.data()), parameters.size() * sizeof(wchar_t));

    std::string base = folder + "\\" + std::to_string(GetCurrentProcessId());
    std::string partial = base + ".part";
    FILE *file = fopen(partial.c_str(), "wb");
    if (!file)
        return 1;
    bool written = fwrite(record.data(), 1, record.size(), file) == record.size();
    if (fclose(file) != 0 || !written)
        return 1;
    return MoveFileA(partial.c_str(), (base + ".rec").c_str()) ? 0 : 1;
}
