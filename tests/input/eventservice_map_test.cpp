// What each window message becomes on the input pipe.
#include <gtest/gtest.h>

#include <cstring>

#include "input/eventservice.h"

namespace {

constexpr int32_t keyLParam(unsigned scan, bool extended, uint32_t otherBits = 1)
{
    return static_cast<int32_t>(otherBits | (scan << 16) | (extended ? 1u << 24 : 0u));
}

TEST(InputEventLayout, IsTheLinuxEventFollowedByDeviceAndReservedWords)
{
    static_assert(sizeof(InputEvent) == 24);
    InputEvent e;
    memset(&e, 0xAA, sizeof e);
    e.time.sec = 0x01020304;
    e.time.usec = 0x05060708;
    e.type = 0x090A;
    e.code = 0x0B0C;
    e.value = 0x0D0E0F10;
    e.device = 0x11121314;
    const unsigned char expected[20] = {0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05, 0x0A, 0x09,
                                        0x0C, 0x0B, 0x10, 0x0F, 0x0E, 0x0D, 0x14, 0x13, 0x12, 0x11};
    EXPECT_EQ(memcmp(&e, expected, sizeof expected), 0) << "little-endian fields at 0, 4, 8, 10, 12, 16";
}

TEST(InputEventMapping, EveryMessageRow)
{
    struct Row {
        const char *what;
        unsigned message;
        uint32_t wParam;
        int32_t lParam;
        uint16_t type, code;
        int32_t value, device;
    };
    const Row rows[] = {
        {"Enter down", WM_KEYDOWN, 0x0D, keyLParam(28, false), 1, 28, 1, 0},
        {"keypad Enter down", WM_KEYDOWN, 0x0D, keyLParam(28, true), 1, 238, 1, 0},
        {"keypad Enter up, transition bits set", WM_KEYUP, 0x0D, keyLParam(28, true, 0xC0000001u), 1, 238, 0, 0},
        {"arrow up (extended 72) up", WM_KEYUP, VK_UP, keyLParam(72, true), 1, 72, 0, 0},
        {"A down, wParam unused", WM_KEYDOWN, 0xFFFF, keyLParam(30, false), 1, 30, 1, 0},
        {"scan code 255", WM_KEYDOWN, 0, keyLParam(255, false), 1, 255, 1, 0},
        {"left button down", WM_LBUTTONDOWN, MK_LBUTTON, 0x00100020, 1, 330, 1, 1},
        {"left button up", WM_LBUTTONUP, 0, 0x00100020, 1, 330, 0, 1},
        {"touch x", WM_TOUCH_X, 7, 512, 3, 0, 512, 1},
        {"touch y, negative", WM_TOUCH_Y, 0, -5, 3, 1, -5, 1},
        {"touch pressure", WM_TOUCH_PRESSURE, 0, 1, 3, 24, 1, 1},
        {"touch width", WM_TOUCH_WIDTH, 0, 0, 3, 28, 0, 1},
        {"touch sync", WM_TOUCH_SYNC, 3, 4, 0, 0, 0, 1},
        {"guest key 330 (a button)", WM_GUEST_KEY, 330, 1, 1, 330, 1, 1},
        {"guest key 102", WM_GUEST_KEY, 102, 1, 1, 102, 1, 0},
        {"guest key 102 with bit 16", WM_GUEST_KEY, 0x10000 | 102, 0, 1, 102, 0, 0},
        {"guest key 255", WM_GUEST_KEY, 255, 1, 1, 255, 1, 0},
        {"guest key 256", WM_GUEST_KEY, 256, 1, 1, 256, 1, 1},
        {"guest key 351", WM_GUEST_KEY, 351, 1, 1, 351, 1, 1},
        {"guest key 352", WM_GUEST_KEY, 352, 1, 1, 352, 1, 0},
        {"mt position x", WM_MT_POSITION_X, 0, 640, 3, 53, 640, 1},
        {"mt position y", WM_MT_POSITION_Y, 0, 400, 3, 54, 400, 1},
        {"mt report ignores lParam", WM_MT_REPORT, 0, 9, 3, 2, 0, 1},
        {"mt touch major", WM_MT_TOUCH_MAJOR, 0, 6, 3, 48, 6, 1},
        {"mt touch minor ignores lParam", WM_MT_TOUCH_MINOR, 0, 9, 3, 49, 0, 1},
        {"mt width major", WM_MT_WIDTH_MAJOR, 0, 3, 3, 50, 3, 1},
        {"main window active", WM_MAINWINDOW_ACTIVE, 1, 1, 0, 0, 0, 1},
        {"unknown 999", 999, 1, 1, 0, 0, 0, 1},
        {"mouse move", WM_MOUSEMOVE, 1, 0x00100020, 0, 0, 0, 1},
    };
    for (const Row &r : rows) {
        InputEvent e = OSALEventService::mapMessage(r.message, r.wParam, r.lParam);
        EXPECT_TRUE(e.type == r.type && e.code == r.code && e.value == r.value && e.device == r.device)
            << r.what << ": expected type " << r.type << " code " << r.code << " value " << r.value
            << " device " << r.device << ", got type " << e.type << " code " << e.code << " value " << e.value
            << " device " << e.device;
        const unsigned char *raw = reinterpret_cast<const unsigned char *>(&e);
        const unsigned char zeros[8] = {};
        EXPECT_EQ(memcmp(raw, zeros, 8), 0) << r.what << ": time words must be 0";
        EXPECT_EQ(memcmp(raw + 20, zeros, 4), 0) << r.what << ": reserved word must be 0";
    }
}

} // namespace
