// The ntdll entry points the library calls, each resolved by name on first
// use and kept for the life of the process. Only this file looks them up.
#pragma once

#include <windows.h>
#include <winternl.h>

// ObjectTypeInformation and FileNameInformation, the two queries used.
constexpr ULONG kObjectTypeInformation = 2;
constexpr ULONG kFileNameInformation = 9;

using ZwQueryObjectFn = LONG(NTAPI *)(HANDLE handle, ULONG infoClass, PVOID info, ULONG length,
                                      PULONG returnedLength);
using ZwQueryInformationFileFn = LONG(NTAPI *)(HANDLE file, IO_STATUS_BLOCK *status, PVOID info, ULONG length,
                                               ULONG infoClass);

// The entry point, or NULL (with the reason logged through debugPrint) when
// ntdll.dll or the name cannot be found; a NULL result is tried again on the
// next call.
ZwQueryObjectFn ntQueryObject();
ZwQueryInformationFileFn ntQueryInformationFile();

// Whether the host is the compatibility layer, recognisable by its ntdll's
// version export ("wine_get_version").
bool hostIsWine();

// The step behind both: returns *slot if set, else looks `name` up in
// `module`, stores a found address in *slot and returns it. The module is
// neither kept nor freed.
void *resolveNtEntry(void **slot, const char *module, const char *name);
