// The guest's fixed input device table as the exports give it.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <string>

#include "display/system.h"
#include "input/input.h"
#include "kestle.h"

namespace {

std::string str(const char *s) { return s ? std::string("\"") + s + "\"" : "NULL"; }

TEST(InputDevices, TheFirstCallMakesOneInputObjectInsideTheSystemObject)
{
    EXPECT_EQ(osal_input_getNumInputDevices(), 2);
    OSALSystem *system = OSALSystem::getInstance();
    ASSERT_NE(system, nullptr);
    OSALInput *input = system->mInput.get();
    ASSERT_NE(input, nullptr) << "the export made no input object";
    EXPECT_EQ(input->mHwnd, nullptr) << "no host window exists in this process";
    EXPECT_EQ(OSALInput::getInstance(), input);
    osal_input_getDevices();
    osal_input_getDevicePath(0);
    EXPECT_EQ(system->mInput.get(), input) << "a later call made another input object";
    EXPECT_EQ(OSALSystem::getInstance(), system);
}

TEST(InputDevices, DevicePathGivesTheNameForIndexesInRangeOnly)
{
    struct Case {
        int index;
        const char *expected;
    };
    const Case cases[] = {{0, "keyboard"}, {1, "mouse"}, {2, nullptr}, {-1, nullptr}, {INT_MAX, nullptr},
                          {INT_MIN, nullptr}};
    for (const Case &c : cases) {
        const char *got = osal_input_getDevicePath(c.index);
        EXPECT_EQ(str(got), str(c.expected)) << "osal_input_getDevicePath(" << c.index << ")";
    }
}

TEST(InputDevices, DeviceByPathMatchesNamesExactlyAndNothingElse)
{
    InputDeviceInfo **devices = osal_input_getDevices();
    ASSERT_NE(devices, nullptr);
    struct Case {
        const char *name;
        InputDeviceInfo *expected;
    };
    const Case cases[] = {
        {"keyboard", devices[0]}, {"mouse", devices[1]},   {"mouse0", nullptr}, {"qwerty.tessik", nullptr},
        {"Keyboard", nullptr},    {"MOUSE", nullptr},      {"keyboar", nullptr}, {"keyboard ", nullptr},
        {"", nullptr},            {nullptr, nullptr},
    };
    for (const Case &c : cases)
        EXPECT_EQ(osal_input_getDeviceByPath(c.name), c.expected) << "osal_input_getDeviceByPath(" << str(c.name)
                                                                  << ")";
}

TEST(InputDevices, RecordsHaveTheirFixedLayoutAndStayInPlace)
{
    InputDeviceInfo **devices = osal_input_getDevices();
    ASSERT_NE(devices, nullptr);
    struct Row {
        int32_t id;
        const char *name;
        const char *path;
        int32_t classes;
    };
    const Row rows[] = {{0, "keyboard", "qwerty.tessik", 1}, {1, "mouse", "mouse0", 4}};
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(devices[i], nullptr);
        const unsigned char *raw = reinterpret_cast<const unsigned char *>(devices[i]);
        int32_t id, classes;
        memcpy(&id, raw + 0, 4);
        memcpy(&classes, raw + 132, 4);
        EXPECT_EQ(id, rows[i].id) << "record " << i << " id at offset 0";
        EXPECT_EQ(classes, rows[i].classes) << "record " << i << " classes at offset 132";
        struct Field {
            size_t offset;
            const char *text;
        };
        for (Field f : {Field{4, rows[i].name}, Field{68, rows[i].path}}) {
            size_t len = strlen(f.text);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(raw + f.offset), len), f.text)
                << "record " << i << " at offset " << f.offset;
            bool zeros = true;
            for (size_t k = len; k < 64; ++k)
                zeros = zeros && raw[f.offset + k] == 0;
            EXPECT_TRUE(zeros) << "record " << i << " field at " << f.offset << " not zero after its text";
        }
    }
    EXPECT_EQ(osal_input_getDevices(), devices);
    EXPECT_EQ(osal_input_getDevicePath(0), devices[0]->name) << "the name inside the record, not a copy";
    EXPECT_EQ(osal_input_getDevicePath(1), osal_input_getDevicePath(1));
    EXPECT_EQ(osal_input_getDeviceByPath("mouse"), osal_input_getDeviceByPath("mouse"));
}

TEST(InputDevices, TheDirectDeviceWaitReturnsAtOnceWithoutTouchingItsArguments)
{
    InputEvent e;
    memset(&e, 0xEE, sizeof e);
    int device = 12345;
    EXPECT_EQ(osal_input_getInputW(&e, &device), -1);
    EXPECT_EQ(device, 12345);
    unsigned char expected[sizeof e];
    memset(expected, 0xEE, sizeof expected);
    EXPECT_EQ(memcmp(&e, expected, sizeof e), 0) << "the record was written";
    EXPECT_EQ(osal_input_getInputW(nullptr, nullptr), -1);
}

} // namespace
