#include "input/input.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "display/system.h"
#include "display/window.h"
#include "input/eventservice.h"
#include "os/diagnostics.h"

namespace {

struct DeviceRow {
    const char *name;
    const char *path;
    int32_t classes;
};

constexpr DeviceRow kDeviceRows[] = {
    {"keyboard", "qwerty.tessik", 1},
    {"mouse", "mouse0", 4},
};
constexpr int32_t kNumDevices = sizeof kDeviceRows / sizeof kDeviceRows[0];

// The field stays terminated and zero after the text (calloc'd record).
void copyField(char (&field)[64], const char *text)
{
    strncpy(field, text, sizeof field - 1);
}

} // namespace

OSALInput *OSALInput::create()
{
    OSALInput *input = new (std::nothrow) OSALInput();
    if (!input)
        return nullptr;
    if (!input->buildDeviceTable()) {
        delete input;
        return nullptr;
    }
    return input;
}

OSALInput *OSALInput::getInstance()
{
    OSALSystem *system = OSALSystem::getInstance();
    if (!system)
        return nullptr;
    return system->mInput.getOrCreate(&OSALInput::create);
}

bool OSALInput::buildDeviceTable()
{
    mHwnd = findHostWindow();
    auto **table = static_cast<InputDeviceInfo **>(calloc(kNumDevices, sizeof(InputDeviceInfo *)));
    if (!table)
        return false;
    for (int32_t i = 0; i < kNumDevices; ++i) {
        auto *record = static_cast<InputDeviceInfo *>(calloc(1, sizeof(InputDeviceInfo)));
        if (!record) {
            // A half-made table is never shown to the guest.
            for (int32_t j = 0; j < i; ++j)
                free(table[j]);
            free(table);
            return false;
        }
        record->id = i;
        copyField(record->name, kDeviceRows[i].name);
        copyField(record->path, kDeviceRows[i].path);
        record->classes = kDeviceRows[i].classes;
        table[i] = record;
        if (i == 0)
            debugPrint("%s %s\n\n", record->name, record->path);
    }
    mDevices = table;
    mNumDevices = kNumDevices;
    debugPrint("end enumrate input devices, now waiting for input\n");
    return true;
}

const char *OSALInput::getDevicePath(int i) const
{
    if (i < 0 || i >= mNumDevices)
        return nullptr;
    return mDevices[i]->name;
}

InputDeviceInfo *OSALInput::getDeviceByPath(const char *s) const
{
    if (!s)
        return nullptr;
    for (int32_t i = 0; i < mNumDevices; ++i)
        if (strcmp(mDevices[i]->name, s) == 0)
            return mDevices[i];
    return nullptr;
}

int32_t OSALInput::getInputNumberN()
{
    OSALEventService *service = OSALEventService::getInstance();
    if (!service)
        return 0;
    // A pipe never holds anywhere near 2^31 records; the clamp keeps the
    // count from turning negative all the same.
    unsigned records = service->countRecords();
    return records > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(records);
}

int32_t OSALInput::getInputN(InputEvent *buf, int n)
{
    OSALEventService *service = OSALEventService::getInstance();
    if (!service)
        return -1;
    return service->readRecords(buf, n);
}

int32_t OSALInput::getInputW(InputEvent *, int *)
{
    return -1;
}

extern "C" {

int32_t KESTLE_CALL osal_input_getNumInputDevices(void)
{
    OSALInput *input = OSALInput::getInstance();
    return input ? input->numDevices() : 0;
}

InputDeviceInfo **KESTLE_CALL osal_input_getDevices(void)
{
    OSALInput *input = OSALInput::getInstance();
    return input ? input->devices() : nullptr;
}

const char *KESTLE_CALL osal_input_getDevicePath(int i)
{
    OSALInput *input = OSALInput::getInstance();
    return input ? input->getDevicePath(i) : nullptr;
}

InputDeviceInfo *KESTLE_CALL osal_input_getDeviceByPath(const char *s)
{
    OSALInput *input = OSALInput::getInstance();
    return input ? input->getDeviceByPath(s) : nullptr;
}

int32_t KESTLE_CALL osal_input_getInputNumberN(void)
{
    OSALInput *input = OSALInput::getInstance();
    return input ? input->getInputNumberN() : 0;
}

int32_t KESTLE_CALL osal_input_getInputN(InputEvent *buf, int n)
{
    OSALInput *input = OSALInput::getInstance();
    return input ? input->getInputN(buf, n) : -1;
}

int32_t KESTLE_CALL osal_input_getInputW(InputEvent *rec, int *device)
{
    OSALInput *input = OSALInput::getInstance();
    return input ? input->getInputW(rec, device) : -1;
}

} // extern "C"
