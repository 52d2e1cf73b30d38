// The library's own diagnostics: a printf-style routine whose text, like that
// of the logging exports, is formatted and then discarded.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "kestle.h"

// The size of debugPrint's buffer: at most 1031 characters and a terminator.
constexpr size_t kDebugPrintBufferSize = 1032;

// Formats (cutting a text longer than 1031 characters) and hands the text to
// osal_logf; returns osal_logf's result.
int debugPrint(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

// The formatting of debugPrint, into any buffer of size bytes: a longer text
// is cut to what the buffer holds, and one that cannot be formatted leaves
// the empty text.
void formatBounded(char *buffer, size_t size, const char *format, va_list args)
    __attribute__((format(gnu_printf, 3, 0)));

// The process-wide file-logger record. Only `name` is ever written; nothing
// reads it.
struct FloggerRecord {
    int32_t reserved;
    char name[64];
};

// The record, created (zeroed) on first use; NULL only when it could not be
// allocated.
FloggerRecord *floggerRecord();
// Sets the record's name, cut to 63 characters (a NULL name counts as empty);
// returns the name, or NULL without a record.
char *floggerSetName(const char *name);

// Copies the pieces one after another into dst, never more than capacity
// bytes in all; pieces with a NULL base or a length below 1 add nothing.
// Returns the number of bytes copied.
size_t gatherPieces(char *dst, size_t capacity, const iovec *pieces, int count);
