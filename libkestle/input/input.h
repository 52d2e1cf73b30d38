// The input device object: the guest's fixed table of two input devices (a
// keyboard and a mouse) and the reader side of the input pipe, which goes
// through the process's own event service.
#pragma once

#include <cstdint>

#include "kestle.h"

class OSALInput {
public:
    // The process's input object, made (with the system object) on first
    // use; null only when either could not be allocated.
    static OSALInput *getInstance();
    // A new object with its device table; null when the table could not be
    // allocated.
    static OSALInput *create();

    OSALInput(const OSALInput &) = delete;
    OSALInput &operator=(const OSALInput &) = delete;
    // The device table stays: the records are the guest's to read until the
    // process ends, which follows right after.
    ~OSALInput() = default;

    int32_t numDevices() const { return mNumDevices; }
    InputDeviceInfo **devices() const { return mDevices; }
    // The name of device i, or null for an index out of range.
    const char *getDevicePath(int i) const;
    // The first device, in index order, whose name equals s; null if none.
    InputDeviceInfo *getDeviceByPath(const char *s) const;

    // Whole records waiting in the pipe (connecting on first use).
    int32_t getInputNumberN();
    // Reads exactly n records: 0 once all arrived, -1 otherwise.
    int32_t getInputN(InputEvent *buf, int n);
    // No direct device backend is built in: -1 at once.
    int32_t getInputW(InputEvent *rec, int *device);

    // The host window as it was when the object was made; null if none.
    HWND mHwnd = nullptr;

private:
    OSALInput() = default;
    bool buildDeviceTable();

    InputDeviceInfo **mDevices = nullptr;
    int32_t mNumDevices = 0;
};
