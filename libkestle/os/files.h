// Descriptors that may be sockets, and the file exports beside them. The seam
// lets tests make the temporary file's open step fail or hand back a handle
// that cannot be resized, which a healthy host never does on its own.
#pragma once

#include "kestle.h"

namespace kestle::files {

using CreateFileFn = HANDLE(WINAPI *)(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                      DWORD disposition, DWORD flags, HANDLE templateFile);

// nullptr restores CreateFileA.
void setCreateFile(CreateFileFn fn);

} // namespace kestle::files
