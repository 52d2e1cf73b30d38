// Handle inspection: the full path, drive letter first, of an open file.
#pragma once

#include <windows.h>

#include <stddef.h>

// The caller's buffer for get_file_name: drive letter, colon, at most 260
// bytes of path and a terminator.
constexpr size_t kFileNameOutSize = 263;

// Logs the object type of handle; never fails the caller.
void logHandleType(HANDLE handle);

// The type name at the start of an ObjectTypeInformation answer of `size`
// bytes, converted into text (textSize bytes, terminated). false, with text
// empty, when the counted name does not lie inside the answer.
bool typeNameText(const void *answer, size_t size, char *text, int textSize);

// The path in a FileNameInformation answer of `size` bytes, converted as
// ansiPathFromUnits does. false, with path empty, when the name's length runs
// past the answer or the name cannot be shown.
bool pathFromNameInfo(const void *answer, size_t size, char *path, int pathSize, UINT codePage);

// Writes drive and path of file into out (kFileNameOutSize bytes); 1 or 0,
// with out empty on failure.
int GetVolumeNameByHandle(HANDLE file, char *out);

// The first root in list (drive roots as GetLogicalDriveStringsA gives them,
// `size` bytes, A:\ and B:\ passed over) whose volume has `serial`, written
// as letter and colon into drive (3 bytes). false when none has.
bool pickDrive(const char *list, size_t size, DWORD serial, char *drive);

// Converts count UTF-16 units into out (size bytes, terminated) in codePage.
// false, with out empty, when the text does not fit or has a unit the code
// page cannot show exactly: such a text would name another file.
bool ansiPathFromUnits(const wchar_t *units, size_t count, char *out, int size, UINT codePage);

// Converts text into buf in the ANSI code page, at most size bytes, and logs
// it. buf must hold more than size bytes; the text in it is terminated.
void convertFileName(const wchar_t *text, char *buf, int size);
