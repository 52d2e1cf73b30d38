// Stands in for the system's netsh in tests, so that nothing on the host is
// reconfigured: it only records the parameters it was started with. It is
// built beside the test programs, where the shell's search finds it first, and
// is never installed.
//
// The record goes into the folder named by KT_NETSH_RECORD, one file per start
// ("<pid>.rec"): the parameters as the process received them in the ANSI code
// page, a line end, and the same parameters from the wide command line in
// UTF-8. It is written under a temporary name and then renamed, so a reader
// never sees half a record. Without KT_NETSH_RECORD it records nothing.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The command line after the program's own name and the blanks behind it.
template <class Char>
const Char *parametersOf(const Char *line)
{
    if (*line == '"') {
        ++line;
        while (*line && *line != '"')
            ++line;
        if (*line == '"')
            ++line;
    } else {
        while (*line && *line != ' ' && *line != '\t')
            ++line;
    }
    while (*line == ' ' || *line == '\t')
        ++line;
    return line;
}

std::string utf8(const wchar_t *text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

} // namespace

int main()
{
    char folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("KT_NETSH_RECORD", folder, sizeof folder);
    if (length == 0 || length >= sizeof folder)
        return 0;

    std::string record = parametersOf(GetCommandLineA());
    record += '\n';
    record += utf8(parametersOf(GetCommandLineW()));

    std::string base = std::string(folder) + "\\" + std::to_string(GetCurrentProcessId());
    std::string partial = base + ".part";
    FILE *file = fopen(partial.c_str(), "wb");
    if (!file)
        return 1;
    bool written = fwrite(record.data(), 1, record.size(), file) == record.size();
    if (fclose(file) != 0 || !written)
        return 1;
    return MoveFileA(partial.c_str(), (base + ".rec").c_str()) ? 0 : 1;
}
