// Test support: input records as the tests write them down, the key messages
// that make them, and the event-service thread that sends them on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "input/eventservice.h"
#include "kestle.h"

namespace kt {

// A record as a line "t=.. c=.. v=.. d=..".
inline std::string recordLine(unsigned type, unsigned code, int value, int device)
{
    char line[64];
    snprintf(line, sizeof line, "t=%u c=%u v=%d d=%d", type, code, value, device);
    return line;
}

// A record that came through the pipe: its fields, and a note when its time
// or reserved words are not 0.
inline std::string receivedLine(const InputEvent &e)
{
    const unsigned char *raw = reinterpret_cast<const unsigned char *>(&e);
    bool zeros = true;
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 20, 21, 22, 23})
        zeros = zeros && raw[i] == 0;
    return recordLine(e.type, e.code, e.value, e.device) + (zeros ? "" : " (time or reserved not 0)");
}

// The lParam of a key message for this scan code.
inline int32_t keyLParam(unsigned scan, bool up = false, bool extended = false)
{
    uint32_t bits = 1u | (scan << 16);
    if (extended)
        bits |= 1u << 24;
    if (up)
        bits |= 0xC0000000u;
    return static_cast<int32_t>(bits);
}

// Starts the event-service thread of this process.
inline bool startEventThread()
{
    return osal_CreateThread(nullptr, 0, eventServiceThread, nullptr, 0, nullptr) != 0;
}

} // namespace kt
