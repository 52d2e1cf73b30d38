// The display surface: the version test, the screen description, the buffer
// slots, BMP dumps byte for byte and onto a device or disk that refuses them,
// and OpenGL set-up on a real window (Mesa under Xvfb), including a window
// that comes late, an OpenGL too old and an entry point missing.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "display/surface.h"
#include "display/system.h"
#include "files.h"
#include "roles.h"
#include "tempdir.h"
#include "testwindow.h"

namespace {

constexpr GLenum kGlActiveTextureParam = 0x84E0; // GL_ACTIVE_TEXTURE
constexpr GLenum kGlTexture1 = 0x84C1;
constexpr GLenum kGlDrawFramebufferBinding = 0x8CA6;

// The test's own folder, named as before.
struct TempDir : kt::TempDir {
    TempDir() : kt::TempDir("kt_surface_") {}
};

std::vector<unsigned char> readAll(const std::string &path)
{
    std::string bytes = kt::readFile(path);
    return {bytes.begin(), bytes.end()};
}

void appendLe32(std::vector<unsigned char> &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// The header the file must start with, built field by field.
std::vector<unsigned char> expectedHeader(int width, int height)
{
    std::vector<unsigned char> h = {'B', 'M'};
    appendLe32(h, uint32_t(width * height * 4 + 54)); // file size
    appendLe32(h, 0);                                 // reserved
    appendLe32(h, 54);                                // pixel data offset
    appendLe32(h, 40);                                // header size
    appendLe32(h, uint32_t(width));
    appendLe32(h, uint32_t(height));
    h.insert(h.end(), {1, 0, 32, 0});                 // planes, bits per pixel
    for (int i = 0; i < 6; ++i)                       // compression .. important colours
        appendLe32(h, 0);
    return h;
}

TEST(GlVersion, TwoPointZeroOrLaterPassesAndTheComplaintNamesTheVersion)
{
    struct Case {
        const char *version;
        bool sufficient;
        const char *message;
    };
    const Case cases[] = {
        {"2.0", true, ""},
        {"2.1 Mesa 22.3.6", true, ""},
        {"4.5 (Compatibility Profile) Mesa 22.3.6", true, ""},
        {"10.0", true, ""},
        {"1.5", false, "Current OpenGL version 1.5 is too low, 2.000000 expected"},
        {"1.4.0", false, "Current OpenGL version 1.4.0 is too low, 2.000000 expected"},
        {"1.99", false, "Current OpenGL version 1.99 is too low, 2.000000 expected"},
        {"Mesa 4.5", false, "Current OpenGL version Mesa 4.5 is too low, 2.000000 expected"},
        {"", false, "Current OpenGL version  is too low, 2.000000 expected"},
        {nullptr, false, "Current OpenGL version (none) is too low, 2.000000 expected"},
    };
    for (const Case &c : cases) {
        char message[kVersionMessageSize];
        memset(message, 'x', sizeof message);
        bool got = glVersionSufficient(c.version, message);
        const char *name = c.version ? c.version : "NULL";
        EXPECT_EQ(got, c.sufficient) << "version \"" << name << "\"";
        EXPECT_STREQ(message, c.message) << "version \"" << name << "\"";
    }
}

TEST(GlVersion, AComplaintPastTheBufferIsCutAt255AndTerminated)
{
    std::string version = "1.4 " + std::string(400, 'z');
    char message[kVersionMessageSize + 1];
    message[kVersionMessageSize] = '#'; // a guard byte just past the buffer
    auto &buffer = reinterpret_cast<char (&)[kVersionMessageSize]>(message);
    EXPECT_FALSE(glVersionSufficient(version.c_str(), buffer));
    EXPECT_EQ(strlen(message), 255u);
    EXPECT_EQ(std::string(message), ("Current OpenGL version " + version).substr(0, 255));
    EXPECT_EQ(message[kVersionMessageSize], '#') << "written past the 256-byte buffer";
}

TEST(Surface, NewSurfaceDescribes1280x800AndLeavesOtherFieldsAlone)
{
    OSALSurface surface;
    fb_var_screeninfo info;
    memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(surface.getScreenInfo(&info), 0);
    EXPECT_EQ(info.xres, 1280u);
    EXPECT_EQ(info.xres_virtual, 1280u);
    EXPECT_EQ(info.yres, 800u);
    EXPECT_EQ(info.yres_virtual, 800u);
    EXPECT_EQ(info.bits_per_pixel, 32u);
    const fb_bitfield *fields[] = {&info.red, &info.green, &info.blue, &info.transp};
    const uint32_t offsets[] = {8, 16, 24, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(fields[i]->offset, offsets[i]) << "colour field " << i;
        EXPECT_EQ(fields[i]->length, 8u) << "colour field " << i;
        EXPECT_EQ(fields[i]->msb_right, 0xA5A5A5A5u) << "colour field " << i << " msb_right was touched";
    }
    // Every byte outside the written fields is as the caller left it.
    fb_var_screeninfo expected;
    memset(&expected, 0xA5, sizeof expected);
    expected.xres = expected.xres_virtual = 1280;
    expected.yres = expected.yres_virtual = 800;
    expected.bits_per_pixel = 32;
    expected.red = {8, 8, 0xA5A5A5A5u};
    expected.green = {16, 8, 0xA5A5A5A5u};
    expected.blue = {24, 8, 0xA5A5A5A5u};
    expected.transp = {0, 8, 0xA5A5A5A5u};
    const auto *got = reinterpret_cast<const unsigned char *>(&info);
    const auto *want = reinterpret_cast<const unsigned char *>(&expected);
    for (size_t i = 0; i < sizeof info; ++i)
        EXPECT_EQ(got[i], want[i]) << "byte " << i << " of fb_var_screeninfo";

    EXPECT_EQ(surface.getScreenInfo(nullptr), -1);
}

TEST(Surface, BeforeGlInitResizeOnlyStoresAndPostPresentsNothing)
{
    OSALSurface surface;
    EXPECT_EQ(surface.mHdc, nullptr);
    surface.resize(640, 480);
    EXPECT_EQ(surface.mHdc, nullptr);
    fb_var_screeninfo info = {};
    surface.getScreenInfo(&info);
    EXPECT_EQ(info.xres, 640u);
    EXPECT_EQ(info.yres, 480u);
    EXPECT_EQ(surface.post(), 0);
    surface.swapBuffers();
    EXPECT_EQ(surface.mHdc, nullptr) << "post or swapBuffers took a device context";
    EXPECT_EQ(wglGetCurrentContext(), nullptr);
}

TEST(Surface, BufferSlotsAlternateAndHandOutNoStrayPointer)
{
    OSALSurface surface;
    int marks[2];
    surface.mBuffers[0] = &marks[0];
    surface.mBuffers[1] = &marks[1];
    void *got[3] = {};
    for (void *&g : got)
        ASSERT_EQ(surface.getBuffer(&g), 0);
    EXPECT_EQ(got[0], &marks[0]);
    EXPECT_EQ(got[1], &marks[1]);
    EXPECT_EQ(got[2], &marks[0]);
    EXPECT_EQ(surface.mBufferIndex, 1);
    EXPECT_EQ(surface.getBuffer(nullptr), -1);
    EXPECT_EQ(surface.mBufferIndex, 1) << "a refused call moved to the next slot";

    OSALSurface fresh;
    void *slot = &marks[0];
    fresh.getBuffer(&slot);
    EXPECT_EQ(slot, nullptr) << "a new surface's slot must not be a stray pointer";
}

TEST(BmpDump, TwoByOneIsTheHeaderThenTheEightBytesUnchanged)
{
    TempDir dir;
    std::string path = dir.file("two.bmp");
    const unsigned char pixels[8] = {0x01, 0x02, 0x03, 0x04, 0xF1, 0xF2, 0xF3, 0xF4};
    OSALSurface surface;
    ASSERT_EQ(surface.bmpDump(pixels, 2, 1, path.c_str()), 0);
    std::vector<unsigned char> expected = expectedHeader(2, 1);
    expected.insert(expected.end(), pixels, pixels + 8);
    std::vector<unsigned char> got = readAll(path);
    ASSERT_EQ(got.size(), 62u);
    EXPECT_EQ(got, expected);
}

TEST(BmpDump, RowsKeepTheirOrderAndChannelsTheirPlace)
{
    TempDir dir;
    std::string path = dir.file("rows.bmp");
    // 3 x 2: every byte different, the first row first in memory.
    std::vector<unsigned char> pixels(3 * 2 * 4);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<unsigned char>(0x10 + i);
    ASSERT_EQ(writeBmp(pixels.data(), 3, 2, path.c_str()), 0);
    std::vector<unsigned char> got = readAll(path);
    ASSERT_EQ(got.size(), 54u + 24u);
    EXPECT_EQ(std::vector<unsigned char>(got.begin(), got.begin() + 54), expectedHeader(3, 2));
    EXPECT_EQ(std::vector<unsigned char>(got.begin() + 54, got.end()), pixels)
        << "rows reordered, padded or channels swapped";

    // An existing file is replaced, not appended to.
    const unsigned char one[4] = {9, 8, 7, 6};
    ASSERT_EQ(writeBmp(one, 1, 1, path.c_str()), 0);
    EXPECT_EQ(readAll(path).size(), 58u);
}

TEST(BmpDump, UnusableArgumentsGiveMinusOneAndCreateNothing)
{
    TempDir dir;
    const unsigned char pixels[16] = {};
    struct Case {
        const char *what;
        const void *pixels;
        int width, height;
        bool missingFolder;
    };
    const Case cases[] = {
        {"folder missing", pixels, 2, 2, true},
        {"negative width", pixels, -2, 2, false},
        {"negative height", pixels, 2, -1, false},
        {"NULL pixels", nullptr, 2, 2, false},
        {"file size past 32 bits", pixels, 65536, 16384, false},
        {"width * height * 4 wraps to 0", pixels, 65536, 16384 * 4, false},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string path = c.missingFolder ? dir.path() + "\\no_such_folder\\x.bmp"
                                           : dir.file("bad" + std::to_string(n++) + ".bmp");
        EXPECT_EQ(writeBmp(c.pixels, c.width, c.height, path.c_str()), -1) << c.what;
        EXPECT_FALSE(kt::fileExists(path)) << c.what << ": a file was left";
    }
    EXPECT_EQ(writeBmp(pixels, 1, 1, nullptr), -1);

    // An empty image is a header alone.
    std::string empty = dir.file("empty.bmp");
    EXPECT_EQ(writeBmp(nullptr, 0, 5, empty.c_str()), 0);
    EXPECT_EQ(readAll(empty), expectedHeader(0, 5));
}

// /dev/full opens and refuses every write. A small image is still in the C
// runtime's buffer when the file is closed; a large one goes past it.
TEST(BmpDump, ADeviceThatRefusesTheWriteGivesMinusOneAndIsLeftAlone)
{
    const char *device = "Z:\\dev\\full";
    FILE *probe = fopen(device, "wb");
    if (!probe)
        GTEST_SKIP() << "no /dev/full";
    fclose(probe);
    static const unsigned char pixels[64 * 64 * 4] = {};
    const int sizes[][2] = {{2, 1}, {64, 64}};
    for (const auto &size : sizes) {
        EXPECT_EQ(osal_surface_bmp_dump(pixels, size[0], size[1], device), -1) << size[0] << "x" << size[1];
        FILE *again = fopen(device, "rb");
        EXPECT_NE(again, nullptr) << "the device is gone after a " << size[0] << "x" << size[1] << " dump";
        if (again)
            fclose(again);
    }
}

// Runs as a test entry of its own, under a limit of 58 bytes on the size of
// any regular file (SIGXFSZ ignored): the kernel then refuses the writes past
// it, as a full disk would, and leaves the first 58 bytes in the file.
TEST(BmpDumpFileSizeLimit, AFileTheDiskCutShortIsRemoved)
{
    char limit[16] = {};
    if (!GetEnvironmentVariableA("KT_FILE_SIZE_LIMIT", limit, sizeof limit))
        GTEST_SKIP() << "needs a file-size limit on the wine command, named in KT_FILE_SIZE_LIMIT";
    ASSERT_STREQ(limit, "58") << "the cases are built around a 58-byte limit";
    TempDir dir;
    static const unsigned char pixels[64 * 64 * 4] = {};
    struct Case {
        const char *what;
        int width, height;
        int result;
    };
    const Case cases[] = {
        {"1x1: 58 bytes, just within the limit", 1, 1, 0},
        {"2x1: cut while in the C runtime's buffer", 2, 1, -1},
        {"64x64: cut past the buffer", 64, 64, -1},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string path = dir.file("cut" + std::to_string(n++) + ".bmp");
        EXPECT_EQ(osal_surface_bmp_dump(pixels, c.width, c.height, path.c_str()), c.result) << c.what;
        if (c.result == 0) {
            std::vector<unsigned char> whole = expectedHeader(1, 1);
            whole.resize(58, 0);
            EXPECT_EQ(readAll(path), whole) << c.what;
        } else {
            EXPECT_FALSE(kt::fileExists(path)) << c.what << ": the unfinished file was left";
        }
    }
}

// Records what the fatal path shows and does, instead of a modal box and a
// stop of the guest system.
struct FatalLog {
    static int boxes;
    static int stops;
    static std::string text, caption;
    static UINT type;
    static int WINAPI box(HWND, LPCSTR t, LPCSTR c, UINT ty)
    {
        ++boxes;
        text = t;
        caption = c;
        type = ty;
        return IDOK;
    }
    static void KESTLE_CALL stop() { ++stops; }
};
int FatalLog::boxes, FatalLog::stops;
std::string FatalLog::text, FatalLog::caption;
UINT FatalLog::type;

class SurfaceGl : public ::testing::Test {
protected:
    void SetUp() override
    {
        kestle::surface::setMessageBox(FatalLog::box);
        kestle::surface::setDie(FatalLog::stop);
    }
    void TearDown() override
    {
        kestle::surface::setMessageBox(nullptr);
        kestle::surface::setDie(nullptr);
        kestle::surface::setProcLookup(nullptr);
    }
};

// What a gl_init that went well leaves: no box and no stop, a context on
// the window, current on this thread, and every entry point found.
void expectSetUpOn(const OSALSurface &surface, HWND window)
{
    EXPECT_EQ(FatalLog::boxes, 0) << FatalLog::text;
    EXPECT_EQ(FatalLog::stops, 0);
    EXPECT_EQ(surface.mHwnd, window);
    ASSERT_NE(surface.mHdc, nullptr);
    EXPECT_EQ(WindowFromDC(surface.mHdc), window) << "the context is not on the host window";
    ASSERT_NE(surface.mHglrc, nullptr);
    EXPECT_EQ(wglGetCurrentContext(), surface.mHglrc);
    for (int i = 0; i < kGlProcCount; ++i)
        EXPECT_NE(surface.mGlProcs[i], nullptr) << kGlProcNames[i];
}

TEST_F(SurfaceGl, GlInitMakesACurrentContextSizedAndClearedOnTheHostWindow)
{
    kt::TestWindow window;
    ASSERT_NE(window.hwnd(), nullptr);
    auto *surface = new OSALSurface();
    EXPECT_EQ(surface->mHwnd, window.hwnd()) << "the surface did not find the window named Vantrell";
    surface->resize(300, 200); // before gl_init: only stored

    ASSERT_EQ(surface->gl_init(), 0);
    ASSERT_NO_FATAL_FAILURE(expectSetUpOn(*surface, window.hwnd()));

    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[0], 0);
    EXPECT_EQ(viewport[1], 0);
    EXPECT_EQ(viewport[2], 300);
    EXPECT_EQ(viewport[3], 200);
    GLint drawFramebuffer = -1;
    glGetIntegerv(kGlDrawFramebufferBinding, &drawFramebuffer);
    EXPECT_EQ(drawFramebuffer, 0) << "the window's own framebuffer is drawn to";
    GLfloat clear[4] = {1, 1, 1, 1};
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    for (float c : clear)
        EXPECT_EQ(c, 0.0f);
    unsigned char pixel[4] = {1, 1, 1, 1};
    glReadBuffer(GL_BACK);
    glReadPixels(10, 10, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    EXPECT_EQ(pixel[0] | pixel[1] | pixel[2], 0) << "not cleared to black";

    // post: a pixel projection for the current size, left in GL_PROJECTION.
    surface->resize(400, 100);
    glMatrixMode(GL_MODELVIEW);
    ASSERT_EQ(surface->post(), 0);
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_PROJECTION);
    GLfloat m[16];
    glGetFloatv(GL_PROJECTION_MATRIX, m);
    // glOrtho(0, 400, 0, 100, 0, 1): column-major scale and translation.
    const GLfloat want[16] = {2.0f / 400, 0, 0, 0, 0, 2.0f / 100, 0, 0, 0, 0, -2.0f, 0, -1, -1, -1, 1};
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(m[i], want[i], 1e-6) << "projection element " << i;
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 400);
    EXPECT_EQ(viewport[3], 100);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

    // The destructor gives the context up.
    delete surface;
    EXPECT_EQ(wglGetCurrentContext(), nullptr);
}

TEST_F(SurfaceGl, ActiveTextureIsFoundOnFirstUseAndAMissLeavesTheUnitAlone)
{
    kt::TestWindow window;
    OSALSurface surface;
    // No context yet: the look-up finds nothing, nothing is called.
    surface.activeTexture(kGlTexture1);
    EXPECT_EQ(surface.mGlProcs[kGlActiveTexture], nullptr);

    kt::TestContext context(window.hwnd());
    ASSERT_TRUE(context.current());
    surface.activeTexture(kGlTexture1);
    EXPECT_NE(surface.mGlProcs[kGlActiveTexture], nullptr) << "the next call did not look again";
    GLint unit = 0;
    glGetIntegerv(kGlActiveTextureParam, &unit);
    EXPECT_EQ(unit, GLint(kGlTexture1));
}

// Finds every entry point but one.
const char *sMissing;
PROC WINAPI lookupAllBut(LPCSTR name)
{
    if (strcmp(name, sMissing) == 0)
        return nullptr;
    return wglGetProcAddress(name);
}

TEST_F(SurfaceGl, AMissingEntryPointStopsTheGuestAndNothingUnfoundIsCalled)
{
    kt::TestWindow window;
    // glGenRenderbuffers comes before glBindFramebuffer, which gl_init would
    // call next: a call through the unfound entry would crash here.
    sMissing = "glGenRenderbuffers";
    kestle::surface::setProcLookup(lookupAllBut);
    OSALSurface surface;
    EXPECT_EQ(surface.gl_init(), 0);
    EXPECT_EQ(FatalLog::stops, 1);
    EXPECT_EQ(FatalLog::boxes, 0) << "the version was fine: " << FatalLog::text;
    EXPECT_NE(surface.mGlProcs[kGlActiveTexture], nullptr);
    EXPECT_NE(surface.mGlProcs[kGlBlitFramebuffer], nullptr);
    for (int i = kGlGenRenderbuffers; i < kGlProcCount; ++i)
        EXPECT_EQ(surface.mGlProcs[i], nullptr) << kGlProcNames[i] << " was looked up after the miss";
    EXPECT_FALSE(surface.resolveGlProcs());
}

TEST_F(SurfaceGl, AHostWindowThatComesAfterTheSurfaceGetsTheContext)
{
    // A surface export before the host window exists makes a surface that
    // knows no window.
    fb_var_screeninfo info = {};
    ASSERT_EQ(osal_surface_getScreenInfo(&info), 0);
    OSALSurface *surface = OSALSurface::getInstance();
    ASSERT_NE(surface, nullptr);
    ASSERT_EQ(surface->mHwnd, nullptr);

    // Still no window: a failure to try again later, not a stop.
    EXPECT_EQ(osal_gl_init(), -1);
    EXPECT_EQ(FatalLog::boxes, 0) << FatalLog::text;
    EXPECT_EQ(FatalLog::stops, 0);
    EXPECT_EQ(surface->mHdc, nullptr) << "a device context without a window";
    EXPECT_EQ(wglGetCurrentContext(), nullptr);

    kt::TestWindow window;
    ASSERT_NE(window.hwnd(), nullptr);
    ASSERT_EQ(osal_gl_init(), 0);
    ASSERT_NO_FATAL_FAILURE(expectSetUpOn(*surface, window.hwnd()));
    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 1280);
    EXPECT_EQ(viewport[3], 800);
}

KT_ROLE(glInitOnOldGl)
{
    kt::TestWindow window;
    printf("window %s\n", window.hwnd() ? "up" : "missing");
    fflush(stdout);
    osal_gl_init();
    printf("gl_init returned\n");
    return 0;
}

// Reads the text of the first static control of a dialog box.
std::string boxText(HWND box)
{
    char text[1024] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

// Run with MESA_GL_VERSION_OVERRIDE=1.4 in the environment of the wine command.
TEST(SurfaceOldGl, TooOldAnOpenGlShowsTheErrorBoxThenStopsTheGuest)
{
    char override[16] = {};
    if (!GetEnvironmentVariableA("MESA_GL_VERSION_OVERRIDE", override, sizeof override))
        GTEST_SKIP() << "needs MESA_GL_VERSION_OVERRIDE=1.4 set for the wine command";
    TempDir dir;
    std::string stop = dir.file("gueststop.bat");
    FILE *f = fopen(stop.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("@echo gueststop ran\r\n", f);
    fclose(f);
    char path[32768];
    DWORD n = GetEnvironmentVariableA("PATH", path, sizeof path);
    kt::EnvChanges env;
    env.set = {{"PATH", dir.path() + (n ? ";" + std::string(path) : std::string())},
               {"MESA_GL_VERSION_OVERRIDE", override}};

    kt::Child child;
    ASSERT_TRUE(child.startRole("glInitOnOldGl", {}, &env));
    ASSERT_TRUE(child.waitOut("window up", 60000)) << child.out();

    // The box is modal on the child's thread: find it, read it, close it.
    HWND box = nullptr;
    for (int i = 0; i < 1200 && !box; ++i) {
        HWND w = FindWindowA("#32770", "Error");
        DWORD owner = 0;
        if (w)
            GetWindowThreadProcessId(w, &owner);
        if (w && owner == child.pid())
            box = w;
        else
            Sleep(50);
    }
    ASSERT_NE(box, nullptr) << "no \"Error\" box; child printed: " << child.out();
    std::string text = boxText(box);
    EXPECT_EQ(text.rfind("Current OpenGL version 1.4", 0), 0u) << text;
    const std::string tail = " is too low, 2.000000 expected";
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_FALSE(child.waitOut("gueststop ran", 500)) << "the guest was stopped before the box was closed";
    PostMessageA(box, WM_COMMAND, IDOK, 0);

    ASSERT_TRUE(child.waitOut("gueststop ran", 60000)) << child.out();
    EXPECT_FALSE(child.wait(2000)) << "gl_init went on before the stop had run its course: " << child.out();
    EXPECT_EQ(child.out().find("gl_init returned"), std::string::npos);
    child.kill();
}

} // namespace
