#include "liblog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char priorityLetter(int priority)
{
    static const char kLetters[] = "VDIWEF";
    if (priority < KLOG_VERBOSE || priority > KLOG_FATAL)
        return '?';
    return kLetters[priority - KLOG_VERBOSE];
}

} // namespace

extern "C" int __android_log_print(int priority, const char *tag, const char *format, ...)
{
    if (!tag)
        tag = "";
    if (!format)
        format = "";

    // "X/" + tag + ": " in front of the text, "\n" possibly behind it.
    char prefix[4] = {priorityLetter(priority), '/', '\0'};
    size_t tagLen = strlen(tag);
    size_t head = 2 + tagLen + 2;

    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int textLen = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (textLen < 0) {
        va_end(again);
        return -1;
    }

    // Most lines are short: a stack buffer, the heap only for long ones.
    char small[1024];
    size_t size = head + static_cast<size_t>(textLen) + 2;
    char *line = size <= sizeof small ? small : static_cast<char *>(malloc(size));
    if (!line) {
        va_end(again);
        return -1;
    }
    memcpy(line, prefix, 2);
    memcpy(line + 2, tag, tagLen);
    memcpy(line + 2 + tagLen, ": ", 2);
    vsnprintf(line + head, static_cast<size_t>(textLen) + 1, format, again);
    va_end(again);
    size_t len = head + static_cast<size_t>(textLen);
    if (textLen == 0 || line[len - 1] != '\n')
        line[len++] = '\n';

    // One write per line: the stream's lock keeps other threads' lines out.
    size_t put = fwrite(line, 1, len, stderr);
    fflush(stderr);
    if (line != small)
        free(line);
    return put == len ? static_cast<int>(len) : -1;
}
