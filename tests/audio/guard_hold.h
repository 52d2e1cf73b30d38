// Holding a thread in the middle of a call: a thread that touches a guarded
// page stops there, inside whatever call it is in (a copy into or out of the
// audio ring, say), until the test lets it go on. One hold per process.
#pragma once

#include <windows.h>

#include <cstddef>

namespace kt {

DWORD pageSize();
// From now on, the first touch of a guarded page holds the touching thread.
void holdOnGuardedPages();
// Guards the pages of [at, at + bytes).
void guardPages(void *at, size_t bytes);
// Waits until a thread is held; false after timeoutMs.
bool waitHeld(int timeoutMs);
// Lets every held thread (and every later one) go on with its access.
void letHeldGoOn();

} // namespace kt
