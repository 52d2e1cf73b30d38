// Administrator rights, elevation and integrity level of the calling process.
// The exports answer from the process (or thread) token; the steps below take
// the token or the facts they depend on as arguments, so that answers a host
// cannot give for its own process can still be checked.
#pragma once

#include <windows.h>

// TokenIsElevated of token; 0 on failure (last error: the failing step's).
int tokenIsElevated(HANDLE token);

// Whether the user behind token is in the Administrators group, through the
// linked full token when token is a limited one (systems with a major
// version above 5 only); 0 on failure. token needs query and duplicate access.
int tokenUserInAdminGroup(HANDLE token, DWORD majorVersion);

// The token query the integrity step uses; GetTokenInformation unless a
// caller needs to see the step's own failures.
using TokenQueryFn = BOOL(WINAPI *)(HANDLE token, TOKEN_INFORMATION_CLASS what, LPVOID buffer, DWORD size,
                                    PDWORD needed);

// The relative identifier of token's mandatory label; 0 on failure.
int tokenIntegrityLevel(HANDLE token, TokenQueryFn query = GetTokenInformation);

// The relative identifier of the label held in a TokenIntegrityLevel buffer
// of `size` bytes; 0 when the buffer does not hold a label SID with a
// sub-authority.
int integrityFromLabel(const void *buffer, DWORD size);

// The program an elevated start runs: file, or with file NULL this process's
// executable, written into path (of size bytes). NULL when the executable's
// path cannot be had whole.
const char *elevationTarget(const char *file, char *path, DWORD size);

// Asks the shell to start file elevated ("runas", no parameters); 1 when the
// start was launched, else 0.
int launchElevated(const char *file);
