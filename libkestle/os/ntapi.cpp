#include "os/ntapi.h"

#include "os/diagnostics.h"

namespace {

void *sZwQueryObject;
void *sZwQueryInformationFile;

} // namespace

void *resolveNtEntry(void **slot, const char *module, const char *name)
{
    if (void *known = __atomic_load_n(slot, __ATOMIC_ACQUIRE))
        return known;
    HMODULE library = LoadLibraryA(module);
    if (!library) {
        debugPrint("%s not found, lasterror=%d\n", module, static_cast<int>(GetLastError()));
        return nullptr;
    }
    void *address = reinterpret_cast<void *>(GetProcAddress(library, name));
    if (!address) {
        debugPrint("%s not found\n", name);
        return nullptr;
    }
    // Two threads resolving at once store the same address.
    __atomic_store_n(slot, address, __ATOMIC_RELEASE);
    return address;
}

bool hostIsWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

ZwQueryObjectFn ntQueryObject()
{
    return reinterpret_cast<ZwQueryObjectFn>(resolveNtEntry(&sZwQueryObject, "ntdll.dll", "ZwQueryObject"));
}

ZwQueryInformationFileFn ntQueryInformationFile()
{
    return reinterpret_cast<ZwQueryInformationFileFn>(
        resolveNtEntry(&sZwQueryInformationFile, "ntdll.dll", "ZwQueryInformationFile"));
}
