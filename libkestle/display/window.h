// The host window: its name, and its procedure, where keyboard, mouse,
// accelerator commands and the messages other processes send become guest
// input records, the window's size reaches the display surface, and closing
// the window stops the guest.
#pragma once

#include "kestle.h"

// The accelerator command bound to Alt+F4: stops the guest system.
constexpr unsigned IDM_STOP = 1032;

// The host window's class name, which is also its title.
constexpr const char *kHostWindowName = "Vantrell";

// The host window of this or any other process, by its class and title; NULL
// while there is none.
HWND findHostWindow();

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
