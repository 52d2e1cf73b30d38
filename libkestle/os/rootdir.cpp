#include "os/rootdir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kEnvBufferSize = 4096;
constexpr size_t kCacheSize = 256;
constexpr size_t kPathBlockSize = 260;
const char kDefaultRoot[] = "c:/vantrell";

// The root once computed: sCache when it fits, else a heap block kept for the
// life of the process. A cut root would name another directory.
char sCache[kCacheSize];
const char *sRoot;
LONG sRootLock;
int sComputations;
kestle::rootdir::EnvReader sEnvReader;

char *readRootVariable()
{
    return sEnvReader ? sEnvReader("VANTRELL_ROOT") : osal_getEnvVariable("VANTRELL_ROOT");
}

// A spin lock taken with the interlocked compare-and-exchange, in a tight
// loop, and released with a plain store.
void lockRoot()
{
    while (InterlockedCompareExchange(&sRootLock, 1, 0) != 0) {
    }
}

void unlockRoot() { __atomic_store_n(&sRootLock, 0, __ATOMIC_RELEASE); }

// Every run of '/' and '\' becomes one '/', and a trailing one is dropped.
char *normalise(const char *value)
{
    size_t len = strlen(value);
    char *out = static_cast<char *>(malloc(len + 1));
    if (!out)
        return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = value[i];
        if (c == '/' || c == '\\') {
            if (n == 0 || out[n - 1] != '/')
                out[n++] = '/';
        } else {
            out[n++] = c;
        }
    }
    if (n > 0 && out[n - 1] == '/')
        --n;
    out[n] = '\0';
    return out;
}

// The first computation; called with the lock held. Returns nullptr only when
// memory for the root cannot be had, and then leaves everything as it was so
// that a later call tries again.
const char *computeRoot()
{
    char *value = readRootVariable();
    if (!value) {
        osal_setEnvVariable("VANTRELL_ROOT", kDefaultRoot);
        value = readRootVariable();
    }
    char *normal = normalise(value ? value : kDefaultRoot);
    free(value);
    if (!normal)
        return nullptr;

    // Shorter than a drive letter and colon (a lone separator): the drive-less
    // part is empty and the root is "/".
    size_t len = strlen(normal);
    const char *driveLess = len >= 2 ? normal + 2 : "";
    size_t rootLen = strlen(driveLess) + 1;
    char *cache = sCache;
    if (rootLen + 1 > kCacheSize) {
        cache = static_cast<char *>(malloc(rootLen + 1));
        if (!cache) {
            free(normal);
            return nullptr;
        }
    }
    char driveRoot[4] = {};
    memcpy(driveRoot, normal, len < 3 ? len : 3);

    osal_setEnvVariable("ROOT_VANTRELL_ROOT", driveLess);
    memcpy(cache, driveLess, rootLen - 1);
    cache[rootLen - 1] = '/';
    cache[rootLen] = '\0';
    SetCurrentDirectoryA(driveRoot);
    free(normal);
    __atomic_add_fetch(&sComputations, 1, __ATOMIC_RELAXED);
    return cache;
}

// "%s%s<suffix>" of the root and path, in a block of at least 260 bytes and
// always large enough for the whole result.
char *translate(const char *path, const char *suffix)
{
    if (!path)
        return nullptr;
    const char *root = osal_getRootDir();
    size_t need = strlen(root) + strlen(path) + strlen(suffix) + 1;
    char *out = static_cast<char *>(malloc(need > kPathBlockSize ? need : kPathBlockSize));
    if (!out)
        return nullptr;
    snprintf(out, need, "%s%s%s", root, path, suffix);
    return out;
}

} // namespace

namespace kestle::rootdir {

int computations() { return __atomic_load_n(&sComputations, __ATOMIC_RELAXED); }

void setEnvReader(EnvReader reader) { sEnvReader = reader; }

} // namespace kestle::rootdir

extern "C" {

const char *KESTLE_CALL osal_getRootDir(void)
{
    lockRoot();
    if (!sRoot)
        sRoot = computeRoot();
    const char *root = sRoot;
    unlockRoot();
    // Only when even the root's memory could not be had; never NULL.
    return root ? root : "";
}

char *KESTLE_CALL osal_getEnvVariable(const char *name)
{
    char stackBuffer[kEnvBufferSize];
    char *buffer = stackBuffer;
    DWORD size = kEnvBufferSize;
    for (;;) {
        DWORD got = GetEnvironmentVariableA(name, buffer, size);
        if (got == 0) {
            if (buffer != stackBuffer)
                free(buffer);
            return nullptr;
        }
        if (got < size)
            break;
        // Too small: `got` is the size needed, terminator included. The value
        // may change between the calls, so ask again until it fits.
        if (buffer != stackBuffer)
            free(buffer);
        size = got + 1;
        buffer = static_cast<char *>(malloc(size));
        if (!buffer)
            return nullptr;
    }
    size_t len = strlen(buffer);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy)
        memcpy(copy, buffer, len + 1);
    if (buffer != stackBuffer)
        free(buffer);
    return copy;
}

int KESTLE_CALL osal_setEnvVariable(const char *name, const char *value)
{
    if (SetEnvironmentVariableA(name, value))
        return 0;
    return -static_cast<int>(GetLastError());
}

char *KESTLE_CALL osal_pathTranslate(const char *path) { return translate(path, ""); }

char *KESTLE_CALL osal_pathTranslateExe(const char *path) { return translate(path, ".exe"); }

} // extern "C"
