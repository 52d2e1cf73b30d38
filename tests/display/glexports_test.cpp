// The OpenGL and surface exports: which ones make the surface, the forwards
// to opengl32, the framebuffer entry points on a real context (Mesa under
// Xvfb), and the DLL's export table with its stdcall names.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <cstring>
#include <string>

#include "display/surface.h"
#include "display/system.h"
#include "testwindow.h"

namespace {

constexpr GLenum kFramebuffer = 0x8D40;
constexpr GLenum kRenderbuffer = 0x8D41;
constexpr GLenum kColorAttachment0 = 0x8CE0;
constexpr GLenum kFramebufferComplete = 0x8CD5;
constexpr GLenum kRgba8 = 0x8058;
constexpr GLenum kFramebufferBinding = 0x8CA6;
constexpr GLenum kRenderbufferBinding = 0x8CA7;

TEST(SurfaceExports, ScreenInfoAsTheFirstCallMakesTheSurfaceAt1280x800)
{
    fb_var_screeninfo info;
    memset(&info, 0, sizeof info);
    ASSERT_EQ(osal_surface_getScreenInfo(&info), 0);
    EXPECT_EQ(info.xres, 1280u);
    EXPECT_EQ(info.yres, 800u);
    EXPECT_EQ(info.bits_per_pixel, 32u);
    OSALSystem *system = OSALSystem::getInstance();
    ASSERT_NE(system, nullptr);
    OSALSurface *surface = system->mSurface.get();
    ASSERT_NE(surface, nullptr) << "the export made no surface";
    EXPECT_EQ(OSALSurface::getInstance(), surface);
    EXPECT_EQ(osal_surface_getScreenInfo(nullptr), -1);
    EXPECT_EQ(system->mSurface.get(), surface) << "a later call replaced the surface";
}

TEST(SurfaceExports, StraightExportsForwardToOpenGlAndMakeNoSurface)
{
    // The system object's construction sets the client size; a surface made
    // now would find no window.
    gClientWidth = -5;
    {
        kt::TestWindow own("KtOwnGlWindow");
        kt::TestContext context(own.hwnd());
        ASSERT_TRUE(context.current());

        GLuint texture = 0;
        glGenTextures(1, &texture);
        osal_gl_glBindTexture(GL_TEXTURE_2D, texture);
        GLint bound = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
        EXPECT_EQ(GLuint(bound), texture);

        const unsigned char pixels[4 * 2 * 4] = {};
        osal_gl_glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 4, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
        GLint w = 0, h = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
        EXPECT_EQ(w, 4);
        EXPECT_EQ(h, 2);

        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        osal_gl_glOrtho(0, 8, 0, 4, -1, 1);
        GLfloat m[16];
        glGetFloatv(GL_PROJECTION_MATRIX, m);
        EXPECT_FLOAT_EQ(m[0], 2.0f / 8);
        EXPECT_FLOAT_EQ(m[5], 2.0f / 4);
        EXPECT_FLOAT_EQ(m[10], -1.0f);
        EXPECT_FLOAT_EQ(m[12], -1.0f);
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
    EXPECT_EQ(gClientWidth, -5) << "a straight export made the system object";

    kt::TestWindow window;
    fb_var_screeninfo info = {};
    ASSERT_EQ(osal_surface_getScreenInfo(&info), 0);
    ASSERT_NE(OSALSystem::getInstance()->mSurface.get(), nullptr);
    EXPECT_EQ(OSALSystem::getInstance()->mSurface.get()->mHwnd, window.hwnd())
        << "the surface was made before the window existed";
}

TEST(SurfaceExports, BeforeGlInitEntryExportsDoNothingAndPostPresentsNothing)
{
    GLuint names[2] = {0xDEAD, 0xBEEF};
    osal_gl_glGenFramebuffers(2, names);
    osal_gl_glGenRenderbuffers(2, names);
    EXPECT_EQ(names[0], 0xDEADu);
    EXPECT_EQ(names[1], 0xBEEFu);
    osal_gl_glBindFramebuffer(kFramebuffer, 1);
    osal_gl_glBindRenderbuffer(kRenderbuffer, 1);
    osal_gl_glRenderbufferStorage(kRenderbuffer, kRgba8, 4, 4);
    osal_gl_glFramebufferRenderbuffer(kFramebuffer, kColorAttachment0, kRenderbuffer, 1);
    osal_gl_glFramebufferTexture2D(kFramebuffer, kColorAttachment0, GL_TEXTURE_2D, 1, 0);
    osal_gl_glDeleteFramebuffers(2, names);
    osal_gl_glDeleteRenderbuffers(2, names);
    EXPECT_EQ(osal_gl_glCheckFramebufferStatus(kFramebuffer), 0u);
    osal_gl_glActiveTexture(0x84C1); // nothing current: not found, not called

    int arg = 0;
    EXPECT_EQ(osal_surface_post(nullptr), 0);
    EXPECT_EQ(osal_surface_post(&arg), 0);
    EXPECT_EQ(osal_surface_post(reinterpret_cast<void *>(-1)), 0);
    OSALSurface *surface = OSALSurface::getInstance();
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(surface->mHdc, nullptr);
    EXPECT_EQ(wglGetCurrentContext(), nullptr);

    void *buffers[3] = {&arg, &arg, &arg};
    for (void *&b : buffers)
        EXPECT_EQ(osal_surface_getBuffer(&b), 0);
    EXPECT_EQ(surface->mBufferIndex, 1);
    EXPECT_EQ(osal_surface_getBuffer(nullptr), -1);
}

TEST(SurfaceExports, FramebufferEntryPointsWorkOnTheContextOfGlInit)
{
    kt::TestWindow window;
    ASSERT_EQ(osal_gl_init(), 0);
    OSALSurface *surface = OSALSurface::getInstance();
    ASSERT_NE(surface, nullptr);
    ASSERT_NE(surface->mHglrc, nullptr);
    ASSERT_EQ(wglGetCurrentContext(), surface->mHglrc);

    const char *version = reinterpret_cast<const char *>(osal_gl_glGetString(GL_VERSION));
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, reinterpret_cast<const char *>(glGetString(GL_VERSION)));

    // A framebuffer without attachments: the status is exactly the entry's.
    GLuint fbo = 0;
    osal_gl_glGenFramebuffers(1, &fbo);
    ASSERT_NE(fbo, 0u);
    osal_gl_glBindFramebuffer(kFramebuffer, fbo);
    GLint binding = 0;
    osal_gl_glGetIntegerv(kFramebufferBinding, &binding);
    EXPECT_EQ(GLuint(binding), fbo);
    auto direct = surface->proc<GlCheckFramebufferStatusFn>(kGlCheckFramebufferStatus);
    GLenum incomplete = osal_gl_glCheckFramebufferStatus(kFramebuffer);
    EXPECT_NE(incomplete, kFramebufferComplete);
    EXPECT_EQ(incomplete, direct(kFramebuffer));

    // A colour renderbuffer makes it complete; clearing it reads back.
    GLuint rbo = 0;
    osal_gl_glGenRenderbuffers(1, &rbo);
    osal_gl_glBindRenderbuffer(kRenderbuffer, rbo);
    osal_gl_glGetIntegerv(kRenderbufferBinding, &binding);
    EXPECT_EQ(GLuint(binding), rbo);
    osal_gl_glRenderbufferStorage(kRenderbuffer, kRgba8, 16, 8);
    osal_gl_glFramebufferRenderbuffer(kFramebuffer, kColorAttachment0, kRenderbuffer, rbo);
    EXPECT_EQ(osal_gl_glCheckFramebufferStatus(kFramebuffer), kFramebufferComplete);
    EXPECT_EQ(direct(kFramebuffer), kFramebufferComplete);
    glViewport(0, 0, 16, 8);
    glClearColor(1, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    unsigned char px[4] = {};
    glReadPixels(3, 3, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
    EXPECT_EQ(px[0], 255);
    EXPECT_EQ(px[1], 0);
    EXPECT_EQ(px[2], 0);

    // A texture attachment instead, through the texture exports.
    GLuint tex = 0;
    osal_gl_glGenTextures(1, &tex);
    ASSERT_NE(tex, 0u);
    osal_gl_glBindTexture(GL_TEXTURE_2D, tex);
    osal_gl_glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 8, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    osal_gl_glFramebufferTexture2D(kFramebuffer, kColorAttachment0, GL_TEXTURE_2D, tex, 0);
    EXPECT_EQ(osal_gl_glCheckFramebufferStatus(kFramebuffer), kFramebufferComplete);

    osal_gl_glBindFramebuffer(kFramebuffer, 0);
    osal_gl_glDeleteFramebuffers(1, &fbo);
    osal_gl_glDeleteRenderbuffers(1, &rbo);
    using IsFn = GLboolean(WINAPI *)(GLuint);
    auto isFramebuffer = reinterpret_cast<IsFn>(reinterpret_cast<void (*)(void)>(wglGetProcAddress("glIsFramebuffer")));
    auto isRenderbuffer =
        reinterpret_cast<IsFn>(reinterpret_cast<void (*)(void)>(wglGetProcAddress("glIsRenderbuffer")));
    ASSERT_TRUE(isFramebuffer && isRenderbuffer);
    EXPECT_FALSE(isFramebuffer(fbo));
    EXPECT_FALSE(isRenderbuffer(rbo));

    // The forwards of matrices and the texture unit.
    const GLfloat m[16] = {2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 5, 6, 7, 1};
    glMatrixMode(GL_MODELVIEW);
    osal_gl_glLoadMatrixf(m);
    GLfloat got[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, got);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(got[i], m[i]) << "model-view element " << i;
    osal_gl_glActiveTexture(0x84C2);
    GLint unit = 0;
    osal_gl_glGetIntegerv(0x84E0, &unit);
    EXPECT_EQ(unit, 0x84C2);

    EXPECT_EQ(osal_surface_post(nullptr), 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST(SurfaceExports, TheDllExportsStdcallOnesUnderDecoratedNamesOnly)
{
    HMODULE dll = LoadLibraryA("libkestle.dll");
    ASSERT_NE(dll, nullptr) << GetLastError();
    const char *stdcallNames[] = {
        "osal_gl_glBindFramebuffer@8",         "osal_gl_glBindRenderbuffer@8",
        "osal_gl_glBindTexture@8",             "osal_gl_glCheckFramebufferStatus@4",
        "osal_gl_glDeleteFramebuffers@8",      "osal_gl_glDeleteRenderbuffers@8",
        "osal_gl_glFramebufferRenderbuffer@16", "osal_gl_glFramebufferTexture2D@20",
        "osal_gl_glGenFramebuffers@8",         "osal_gl_glGenRenderbuffers@8",
        "osal_gl_glOrtho@48",                  "osal_gl_glRenderbufferStorage@16",
        "osal_gl_glTexImage2D@36",
    };
    const char *cdeclNames[] = {
        "osal_gl_glActiveTexture", "osal_gl_glGenTextures",      "osal_gl_glGetIntegerv",
        "osal_gl_glGetString",     "osal_gl_glLoadMatrixf",      "osal_gl_init",
        "osal_surface_bmp_dump",   "osal_surface_getBuffer",     "osal_surface_getScreenInfo",
        "osal_surface_post",
    };
    for (const char *name : stdcallNames) {
        std::string plain(name, size_t(strchr(name, '@') - name));
#ifdef _WIN64
        // x86-64 has one calling convention and no decorations: the x64 build
        // exports these under their plain names only.
        EXPECT_NE(GetProcAddress(dll, plain.c_str()), nullptr) << plain;
        EXPECT_EQ(GetProcAddress(dll, name), nullptr) << name << " exported decorated on x86-64";
#else
        EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
        EXPECT_EQ(GetProcAddress(dll, plain.c_str()), nullptr) << plain << " exported undecorated too";
#endif
    }
    for (const char *name : cdeclNames)
        EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;

    // The DLL's own orthographic projection, called as a caller would.
    kt::TestWindow own("KtDllGlWindow");
    kt::TestContext context(own.hwnd());
    ASSERT_TRUE(context.current());
    using OrthoFn = void(__stdcall *)(double, double, double, double, double, double);
    auto ortho = reinterpret_cast<OrthoFn>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(dll, KESTLE_BY_ARCH("osal_gl_glOrtho@48", "osal_gl_glOrtho"))));
    ASSERT_NE(ortho, nullptr);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    for (int i = 0; i < 100; ++i) {
        glLoadIdentity();
        ortho(0, 10, 0, 20, 0, 1);
    }
    GLfloat m[16];
    glGetFloatv(GL_PROJECTION_MATRIX, m);
    EXPECT_FLOAT_EQ(m[0], 0.2f);
    EXPECT_FLOAT_EQ(m[5], 0.1f);

    // The DLL's BMP dump writes the same file as the code it is built from.
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    std::string path = std::string(tmp) + "kt_glexports_" + std::to_string(GetCurrentProcessId()) + ".bmp";
    using DumpFn = int(__cdecl *)(const void *, int, int, const char *);
    auto dump = reinterpret_cast<DumpFn>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(dll, "osal_surface_bmp_dump")));
    const unsigned char px[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(dump(px, 2, 1, path.c_str()), 0);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 62u);
    DeleteFileA(path.c_str());
}

} // namespace
