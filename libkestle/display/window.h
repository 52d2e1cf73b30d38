// The host window's procedure: keyboard, mouse, accelerator commands and the
// messages other processes send become guest input records; the window's
// size reaches the display surface; closing the window stops the guest.
#pragma once

#include <cstdint>

#include "kestle.h"

// The accelerator command bound to Alt+F4: stops the guest system.
constexpr unsigned IDM_STOP = 1032;

// Process-wide state of the procedure (host window's thread only).
extern int32_t gLeftButtonDown;
extern uint8_t gCommandSent;
extern uint8_t gSkipNextKey;

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
