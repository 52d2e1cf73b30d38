// The guest renderer's exports. Each finds (or makes) the surface and
// forwards; the framebuffer ones call the entry points that osal_gl_init
// found, and three go straight to opengl32 without a surface.
#include <GL/gl.h>

#include "display/surface.h"
#include "os/diagnostics.h"

namespace {

// The entry point at `index` of the process's surface, or null when there is
// no surface or osal_gl_init has not found it: a call before osal_gl_init
// then does nothing instead of jumping through an unset pointer.
template <class Fn>
Fn entry(GlProc index)
{
    OSALSurface *surface = OSALSurface::getInstance();
    return surface ? surface->proc<Fn>(index) : nullptr;
}

} // namespace

extern "C" {

int KESTLE_CALL osal_gl_init(void)
{
    OSALSurface *surface = OSALSurface::getInstance();
    return surface ? surface->gl_init() : -1;
}

void KESTLE_STDCALL osal_gl_glBindFramebuffer(unsigned int target, unsigned int framebuffer)
{
    if (auto fn = entry<GlBindNameFn>(kGlBindFramebuffer))
        fn(target, framebuffer);
}

void KESTLE_STDCALL osal_gl_glBindRenderbuffer(unsigned int target, unsigned int renderbuffer)
{
    if (auto fn = entry<GlBindNameFn>(kGlBindRenderbuffer))
        fn(target, renderbuffer);
}

unsigned int KESTLE_STDCALL osal_gl_glCheckFramebufferStatus(unsigned int target)
{
    auto fn = entry<GlCheckFramebufferStatusFn>(kGlCheckFramebufferStatus);
    return fn ? fn(target) : 0;
}

void KESTLE_STDCALL osal_gl_glDeleteFramebuffers(int n, const unsigned int *framebuffers)
{
    if (auto fn = entry<GlDeleteNamesFn>(kGlDeleteFramebuffers))
        fn(n, framebuffers);
}

void KESTLE_STDCALL osal_gl_glDeleteRenderbuffers(int n, const unsigned int *renderbuffers)
{
    if (auto fn = entry<GlDeleteNamesFn>(kGlDeleteRenderbuffers))
        fn(n, renderbuffers);
}

void KESTLE_STDCALL osal_gl_glFramebufferRenderbuffer(unsigned int target, unsigned int attachment,
                                                      unsigned int renderbuffertarget, unsigned int renderbuffer)
{
    if (auto fn = entry<GlFramebufferRenderbufferFn>(kGlFramebufferRenderbuffer))
        fn(target, attachment, renderbuffertarget, renderbuffer);
}

void KESTLE_STDCALL osal_gl_glFramebufferTexture2D(unsigned int target, unsigned int attachment,
                                                   unsigned int textarget, unsigned int texture, int level)
{
    if (auto fn = entry<GlFramebufferTexture2DFn>(kGlFramebufferTexture2D))
        fn(target, attachment, textarget, texture, level);
}

void KESTLE_STDCALL osal_gl_glGenFramebuffers(int n, unsigned int *framebuffers)
{
    if (auto fn = entry<GlGenNamesFn>(kGlGenFramebuffers))
        fn(n, framebuffers);
}

void KESTLE_STDCALL osal_gl_glGenRenderbuffers(int n, unsigned int *renderbuffers)
{
    if (auto fn = entry<GlGenNamesFn>(kGlGenRenderbuffers))
        fn(n, renderbuffers);
}

void KESTLE_STDCALL osal_gl_glRenderbufferStorage(unsigned int target, unsigned int internalformat, int width,
                                                  int height)
{
    if (auto fn = entry<GlRenderbufferStorageFn>(kGlRenderbufferStorage))
        fn(target, internalformat, width, height);
}

void KESTLE_STDCALL osal_gl_glBindTexture(unsigned int target, unsigned int texture)
{
    glBindTexture(target, texture);
}

void KESTLE_STDCALL osal_gl_glOrtho(double left, double right, double bottom, double top, double zNear,
                                    double zFar)
{
    glOrtho(left, right, bottom, top, zNear, zFar);
}

void KESTLE_STDCALL osal_gl_glTexImage2D(unsigned int target, int level, int internalformat, int width, int height,
                                         int border, unsigned int format, unsigned int type, const void *pixels)
{
    glTexImage2D(target, level, internalformat, width, height, border, format, type, pixels);
}

void KESTLE_CALL osal_gl_glActiveTexture(unsigned int texture)
{
    if (OSALSurface *surface = OSALSurface::getInstance())
        surface->activeTexture(texture);
}

void KESTLE_CALL osal_gl_glGenTextures(int n, unsigned int *textures)
{
    if (OSALSurface *surface = OSALSurface::getInstance())
        surface->glGenTextures(n, textures);
}

void KESTLE_CALL osal_gl_glGetIntegerv(unsigned int pname, int *params)
{
    if (OSALSurface *surface = OSALSurface::getInstance())
        surface->glGetIntegerv(pname, params);
}

const unsigned char *KESTLE_CALL osal_gl_glGetString(unsigned int name)
{
    OSALSurface *surface = OSALSurface::getInstance();
    return surface ? surface->glGetString(name) : nullptr;
}

void KESTLE_CALL osal_gl_glLoadMatrixf(const float *m)
{
    if (OSALSurface *surface = OSALSurface::getInstance())
        surface->glLoadMatrixf(m);
}

int KESTLE_CALL osal_surface_bmp_dump(const void *pixels, int width, int height, const char *path)
{
    OSALSurface *surface = OSALSurface::getInstance();
    return surface ? surface->bmpDump(pixels, width, height, path) : writeBmp(pixels, width, height, path);
}

int KESTLE_CALL osal_surface_getBuffer(void **buffer)
{
    OSALSurface *surface = OSALSurface::getInstance();
    if (!surface)
        return -1;
    int result = surface->getBuffer(buffer);
    if (result == 0)
        debugPrint("osal_surface_getBuffer(): buffer = %p\n", *buffer);
    return result;
}

int KESTLE_CALL osal_surface_getScreenInfo(fb_var_screeninfo *info)
{
    OSALSurface *surface = OSALSurface::getInstance();
    return surface ? surface->getScreenInfo(info) : -1;
}

int KESTLE_CALL osal_surface_post(void *)
{
    if (OSALSurface *surface = OSALSurface::getInstance())
        surface->post();
    return 0;
}

} // extern "C"
