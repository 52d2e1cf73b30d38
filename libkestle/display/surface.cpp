#include "display/surface.h"

#include <GL/gl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/system.h"
#include "display/window.h"
#include "os/diagnostics.h"

const char *const kGlProcNames[kGlProcCount] = {
    "glActiveTexture",        "glBlitFramebuffer",  "glGenRenderbuffers",   "glBindRenderbuffer",
    "glBindFramebuffer",      "glFramebufferRenderbuffer", "glGenFramebuffers", "glRenderbufferStorage",
    "glFramebufferTexture2D", "glGenerateMipmap",   "glDeleteFramebuffers", "glDeleteRenderbuffers",
    "glCheckFramebufferStatus",
};

namespace {

constexpr unsigned kGlDrawFramebuffer = 0x8CA9;
constexpr size_t kBmpHeaderSize = 54;

kestle::surface::ProcLookupFn sProcLookup = nullptr;
kestle::surface::MessageBoxFn sMessageBox = nullptr;
kestle::surface::DieFn sDie = nullptr;

// Every run-time look-up of an OpenGL entry point goes through here. Some
// drivers answer a miss with a small number or -1 instead of NULL.
PROC lookUpGlProc(const char *name)
{
    PROC proc = sProcLookup ? sProcLookup(name) : wglGetProcAddress(name);
    intptr_t value = reinterpret_cast<intptr_t>(proc);
    if (value == -1 || (value >= 0 && value <= 3))
        return nullptr;
    return proc;
}

void stopGuest()
{
    if (sDie)
        sDie();
    else
        osal_dieHard();
}

void putLe32(unsigned char *at, uint32_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

// One unit per pixel, origin at the bottom left.
void setPixelProjection(int width, int height)
{
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    osal_gl_glOrtho(0.0, width, 0.0, height, 0.0, 1.0);
}

} // namespace

namespace kestle::surface {
void setProcLookup(ProcLookupFn fn) { sProcLookup = fn; }
void setMessageBox(MessageBoxFn fn) { sMessageBox = fn; }
void setDie(DieFn fn) { sDie = fn; }
} // namespace kestle::surface

bool glVersionSufficient(const char *version, char (&message)[kVersionMessageSize])
{
    message[0] = '\0';
    // No context, no version: as unusable as one that is too old.
    if (version && atof(version) >= 2.0)
        return true;
    __mingw_snprintf(message, sizeof message, "Current OpenGL version %s is too low, %f expected",
                     version ? version : "(none)", 2.0);
    return false;
}

int writeBmp(const void *pixels, int width, int height, const char *path)
{
    if (!path || width < 0 || height < 0)
        return -1;
    // The file size field is 32 bits: a bigger image cannot be told.
    uint64_t pixelBytes = uint64_t(uint32_t(width)) * uint32_t(height) * 4;
    if (pixelBytes > UINT32_MAX - kBmpHeaderSize || pixelBytes > SIZE_MAX)
        return -1;
    if (pixelBytes && !pixels)
        return -1;

    unsigned char header[kBmpHeaderSize] = {};
    header[0] = 'B';
    header[1] = 'M';
    putLe32(header + 2, uint32_t(pixelBytes + kBmpHeaderSize));
    putLe32(header + 10, kBmpHeaderSize);
    putLe32(header + 14, 40);
    putLe32(header + 18, uint32_t(width));
    putLe32(header + 22, uint32_t(height));
    header[26] = 1;
    header[28] = 32;

    FILE *file = fopen(path, "wb");
    if (!file)
        return -1;
    // Only a file on disk is ours to remove; a device or pipe stays.
    bool onDisk = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) == FILE_TYPE_DISK;
    bool written = fwrite(header, 1, sizeof header, file) == sizeof header;
    if (written && pixelBytes)
        written = fwrite(pixels, 1, size_t(pixelBytes), file) == size_t(pixelBytes);
    // A small image is still in the C runtime's buffer here, and Wine's fclose
    // reports success even when its own flush of that buffer fails.
    if (fflush(file) != 0)
        written = false;
    if (fclose(file) != 0)
        written = false;
    if (written)
        return 0;
    // No half-written picture is left behind.
    if (onDisk)
        remove(path);
    return -1;
}

OSALSurface *OSALSurface::getInstance()
{
    OSALSystem *system = OSALSystem::getInstance();
    return system ? system->mSurface.getOrCreate() : nullptr;
}

OSALSurface::OSALSurface()
{
    mHwnd = findHostWindow();
    debugPrint("window %d found\n", static_cast<int>(reinterpret_cast<intptr_t>(mHwnd)));
}

OSALSurface::~OSALSurface()
{
    if (mHdc)
        wglMakeCurrent(mHdc, nullptr);
    if (mHglrc)
        wglDeleteContext(mHglrc);
}

int OSALSurface::gl_init()
{
    debugPrint("calling gl_init()\n");
    // A surface made before the host window has none yet; it may exist now.
    if (!mHwnd)
        mHwnd = findHostWindow();
    // Without it there is only the screen's device context, on which no
    // usable context can be made: fail without stopping the guest, so that a
    // call once the window is there can succeed.
    if (!mHwnd)
        return -1;
    mHdc = GetDC(mHwnd);

    PIXELFORMATDESCRIPTOR pfd = {};
    pfd.nSize = sizeof pfd;
    pfd.nVersion = 1;
    pfd.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    pfd.iPixelType = PFD_TYPE_RGBA;
    pfd.cColorBits = 32;
    pfd.cDepthBits = 24;
    pfd.iLayerType = PFD_MAIN_PLANE;
    int format = ChoosePixelFormat(mHdc, &pfd);
    SetPixelFormat(mHdc, format, &pfd);

    mHglrc = wglCreateContext(mHdc);
    debugPrint("hrc=0x%x, errcode=%d\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(mHglrc)),
               static_cast<int>(GetLastError()));
    if (wglMakeCurrent(mHdc, mHglrc))
        debugPrint("wglMakeCurrent ok\n");
    else
        debugPrint("wglMakeCurrent error: %d\n", static_cast<int>(GetLastError()));

    const char *version = reinterpret_cast<const char *>(::glGetString(GL_VERSION));
    char message[kVersionMessageSize];
    if (!glVersionSufficient(version, message)) {
        osal_logf("%s", message);
        (sMessageBox ? sMessageBox : MessageBoxA)(nullptr, message, "Error", MB_ICONERROR);
        stopGuest();
        // Without a current context there is nothing left to set up.
        if (!version)
            return 0;
    }

    if (!resolveGlProcs()) {
        debugPrint("couldn't resolute opengl extension functions\n");
        stopGuest();
        // The entries after the missing one were never found: call none.
        return 0;
    }

    proc<GlBindNameFn>(kGlBindFramebuffer)(kGlDrawFramebuffer, mFramebuffer);
    glViewport(0, 0, mWidth, mHeight);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    return 0;
}

bool OSALSurface::resolveGlProcs()
{
    for (int i = 0; i < kGlProcCount; ++i) {
        mGlProcs[i] = lookUpGlProc(kGlProcNames[i]);
        if (!mGlProcs[i])
            return false;
    }
    return true;
}

int OSALSurface::post()
{
    if (!mHdc)
        return 0;
    setPixelProjection(mWidth, mHeight);
    SwapBuffers(mHdc);
    return 0;
}

void OSALSurface::resize(int width, int height)
{
    mWidth = width;
    mHeight = height;
    if (mHdc)
        setPixelProjection(width, height);
}

void OSALSurface::swapBuffers()
{
    if (mHdc)
        SwapBuffers(mHdc);
}

void OSALSurface::activeTexture(unsigned texture)
{
    if (!mGlProcs[kGlActiveTexture]) {
        mGlProcs[kGlActiveTexture] = lookUpGlProc("glActiveTexture");
        if (!mGlProcs[kGlActiveTexture]) {
            debugPrint("glActiveTexture resolution failed\n");
            return;
        }
    }
    debugPrint("glActiveTexture=%p\n", reinterpret_cast<void *>(mGlProcs[kGlActiveTexture]));
    proc<GlActiveTextureFn>(kGlActiveTexture)(texture);
}

int OSALSurface::getScreenInfo(fb_var_screeninfo *info)
{
    if (!info)
        return -1;
    info->xres = info->xres_virtual = uint32_t(mWidth);
    info->yres = info->yres_virtual = uint32_t(mHeight);
    info->bits_per_pixel = 32;
    info->red.offset = 8;
    info->red.length = 8;
    info->green.offset = 16;
    info->green.length = 8;
    info->blue.offset = 24;
    info->blue.length = 8;
    info->transp.offset = 0;
    info->transp.length = 8;
    return 0;
}

int OSALSurface::getBuffer(void **buffer)
{
    if (!buffer)
        return -1;
    int index = mBufferIndex;
    *buffer = mBuffers[index & 1];
    mBufferIndex = (index + 1) % 2;
    return 0;
}

int OSALSurface::bmpDump(const void *pixels, int width, int height, const char *path)
{
    return writeBmp(pixels, width, height, path);
}

const unsigned char *OSALSurface::glGetString(unsigned name)
{
    return ::glGetString(name);
}

void OSALSurface::glGenTextures(int n, unsigned *textures)
{
    ::glGenTextures(n, textures);
}

void OSALSurface::glGetIntegerv(unsigned pname, int *params)
{
    ::glGetIntegerv(pname, params);
}

void OSALSurface::glLoadMatrixf(const float *m)
{
    ::glLoadMatrixf(m);
}
