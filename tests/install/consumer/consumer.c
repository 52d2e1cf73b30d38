/* A program of a user's own: calls the library through its import library,
 * a stdcall export under its decorated name among them, and prints what the
 * DLL it loaded says of itself. */
#include <stdio.h>
#include <stdlib.h>

#include "kestle.h"

int main(void)
{
    char path[MAX_PATH];
    HMODULE dll = GetModuleHandleA("libkestle.dll");
    if (!dll || !GetModuleFileNameA(dll, path, sizeof path))
        return 1;

    /* The version resource of the DLL that was loaded. */
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &unused);
    void *info = size ? malloc(size) : NULL;
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (!info || !GetFileVersionInfoA(path, 0, size, info) ||
        !VerQueryValueA(info, "\\", (void **)&fixed, &length))
        return 1;
    printf("consumer: libkestle %u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
           (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS));

    /* Straight to opengl32: with no context it changes nothing. */
    osal_gl_glBindTexture(0x0DE1, 0);
    printf("consumer: root %s\n", osal_getRootDir());
    printf("consumer: thread %s\n", osal_GetCurrentThreadId() == GetCurrentThreadId() ? "same" : "different");
    free(info);
    return 0;
}
