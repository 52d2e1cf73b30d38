// The display surface: an OpenGL context on the host window, the
// framebuffer-era entry points the guest renderer needs, presenting frames,
// following the window's size, the framebuffer-style screen description and
// BMP pixel dumps. One per process, held by the system object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestle.h"

// Indexes of OSALSurface::mGlProcs, in the order they are looked up.
enum GlProc : int {
    kGlActiveTexture,
    kGlBlitFramebuffer,
    kGlGenRenderbuffers,
    kGlBindRenderbuffer,
    kGlBindFramebuffer,
    kGlFramebufferRenderbuffer,
    kGlGenFramebuffers,
    kGlRenderbufferStorage,
    kGlFramebufferTexture2D,
    kGlGenerateMipmap,
    kGlDeleteFramebuffers,
    kGlDeleteRenderbuffers,
    kGlCheckFramebufferStatus,
    kGlProcCount
};

// The OpenGL signatures of the entry points that are called (glBlitFramebuffer
// and glGenerateMipmap are looked up and required, but nothing calls them).
using GlActiveTextureFn = void(WINAPI *)(unsigned texture);
using GlGenNamesFn = void(WINAPI *)(int n, unsigned *names);
using GlDeleteNamesFn = void(WINAPI *)(int n, const unsigned *names);
using GlBindNameFn = void(WINAPI *)(unsigned target, unsigned name);
using GlFramebufferRenderbufferFn = void(WINAPI *)(unsigned target, unsigned attachment, unsigned rbTarget,
                                                   unsigned renderbuffer);
using GlRenderbufferStorageFn = void(WINAPI *)(unsigned target, unsigned format, int width, int height);
using GlFramebufferTexture2DFn = void(WINAPI *)(unsigned target, unsigned attachment, unsigned texTarget,
                                                unsigned texture, int level);
using GlCheckFramebufferStatusFn = unsigned(WINAPI *)(unsigned target);

// The OpenGL names behind mGlProcs, by index.
extern const char *const kGlProcNames[kGlProcCount];

constexpr size_t kVersionMessageSize = 256;

// The version test of gl_init: true when `version` (glGetString(GL_VERSION),
// NULL when there is none) reads as 2.0 or later; otherwise false, with the
// complaint, cut to 255 characters, in message.
bool glVersionSufficient(const char *version, char (&message)[kVersionMessageSize]);

// BMP writer behind osal_surface_bmp_dump: 0, or -1 with nothing left
// behind when the arguments describe no image or the file cannot be opened,
// and -1 when a write fails, the unfinished file removed (a device is left
// alone).
int writeBmp(const void *pixels, int width, int height, const char *path);

// Seams for the tests: the platform calls that cannot be driven on demand
// (an entry point missing) or that would hold a test (the modal box, the
// stop of the guest system). nullptr restores the real one.
namespace kestle::surface {
using ProcLookupFn = PROC(WINAPI *)(LPCSTR name);
using MessageBoxFn = int(WINAPI *)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
using DieFn = void(KESTLE_CALL *)(void);
void setProcLookup(ProcLookupFn fn);
void setMessageBox(MessageBoxFn fn);
void setDie(DieFn fn);
} // namespace kestle::surface

class OSALSurface {
public:
    // The process's surface, made (with the system object) on first use;
    // null only when either could not be allocated.
    static OSALSurface *getInstance();

    OSALSurface();
    ~OSALSurface();
    OSALSurface(const OSALSurface &) = delete;
    OSALSurface &operator=(const OSALSurface &) = delete;

    // 0 once set up on the host window (an OpenGL too old or incomplete stops
    // the guest); -1, with nothing set up, while there is no host window.
    int gl_init();
    int post();
    void resize(int width, int height);
    void swapBuffers();
    void activeTexture(unsigned texture);
    int getScreenInfo(fb_var_screeninfo *info);
    int getBuffer(void **buffer);
    int bmpDump(const void *pixels, int width, int height, const char *path);
    bool resolveGlProcs();

    const unsigned char *glGetString(unsigned name);
    void glGenTextures(int n, unsigned *textures);
    void glGetIntegerv(unsigned pname, int *params);
    void glLoadMatrixf(const float *m);

    // The entry point at `index` as its OpenGL type; null until found.
    template <class Fn>
    Fn proc(GlProc index) const
    {
        // Through void (*)(void), the generic function pointer type.
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(mGlProcs[index]));
    }

    // All null until looked up, so an entry can never be called unfound.
    PROC mGlProcs[kGlProcCount] = {};
    HWND mHwnd = nullptr;
    HDC mHdc = nullptr;
    HGLRC mHglrc = nullptr;
    int32_t mWidth = 1280;
    int32_t mHeight = 800;
    // The surface draws with OpenGL and keeps no pixel buffers of its own:
    // the slots hand out null rather than stray pointers.
    void *mBuffers[2] = {nullptr, nullptr};
    int32_t mBufferIndex = 0;
    // 0, the window's own framebuffer: what post presents.
    unsigned mFramebuffer = 0;
};
