#include "os/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/once.h"

namespace {

constexpr size_t kLogfBufferSize = 1024;
constexpr size_t kLogvStackSize = 1024;
constexpr size_t kFloggerNameChars = sizeof(FloggerRecord::name) - 1;

constinit OnceSlot<FloggerRecord> sFlogger;

} // namespace

FloggerRecord *floggerRecord()
{
    // Value-initialised, so zeroed: the name's last byte (never written by a
    // bounded copy) ends it.
    return sFlogger.getOrCreate();
}

char *floggerSetName(const char *name)
{
    FloggerRecord *record = floggerRecord();
    if (!record)
        return nullptr;
    strncpy(record->name, name ? name : "", kFloggerNameChars);
    return record->name;
}

size_t gatherPieces(char *dst, size_t capacity, const iovec *pieces, int count)
{
    size_t used = 0;
    if (!pieces)
        return 0;
    for (int i = 0; i < count && used < capacity; ++i) {
        if (!pieces[i].iov_base || pieces[i].iov_len <= 0)
            continue;
        size_t n = static_cast<size_t>(pieces[i].iov_len);
        if (n > capacity - used)
            n = capacity - used;
        memcpy(dst + used, pieces[i].iov_base, n);
        used += n;
    }
    return used;
}

void formatBounded(char *buffer, size_t size, const char *format, va_list args)
{
    if (__mingw_vsnprintf(buffer, size, format, args) < 0)
        buffer[0] = '\0';
}

int debugPrint(const char *format, ...)
{
    char buffer[kDebugPrintBufferSize];
    va_list args;
    va_start(args, format);
    formatBounded(buffer, sizeof buffer, format, args);
    va_end(args);
    floggerRecord();
    return osal_logf("%s", buffer);
}

extern "C" {

int KESTLE_CALL osal_logf(const char *format, ...)
{
    char buffer[kLogfBufferSize];
    va_list args;
    va_start(args, format);
    // msvcrt's _vsnprintf: -1 for a text longer than the buffer.
    int n = _vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return n;
}

int KESTLE_CALL osal_logs(const char *, int length)
{
    return length;
}

int KESTLE_CALL osal_logv(const iovec *pieces, int count, unsigned total)
{
    char stackBuffer[kLogvStackSize];
    char *buffer = stackBuffer;
    char *heap = nullptr;
    if (total >= kLogvStackSize) {
        // total + 1 wraps for the largest total: no block can be had then.
        if (total < UINT32_MAX)
            heap = static_cast<char *>(malloc(static_cast<size_t>(total) + 1));
        buffer = heap;
    }
    // Without a block nothing is copied; never more than total bytes.
    if (buffer && count > 0)
        gatherPieces(buffer, total, pieces, count);
    free(heap);
    return static_cast<int>(total);
}

char *KESTLE_CALL osal_flogger_init(const char *name)
{
    return floggerSetName(name);
}

char *KESTLE_CALL osal_flogger_done(void)
{
    return floggerSetName("");
}

} // extern "C"
