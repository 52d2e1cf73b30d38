/*
 * guest: an example guest session, what a guest program does with the host
 * side, one step after another, each printed as it happens:
 *
 *   log      log lines through the log library to the log daemon scrived
 *   channel  the named channel "example" to a second program (peer.c)
 *            through the channel broker interrogator, a message each way
 *   window   the host window, and one frame drawn through the surface exports
 *   input    a key press posted to the host window, read back from the input
 *            pipe by a third program (inputreader.c)
 *   audio    a short tone through the audio exports, where the host has a
 *            sound device
 *   stop     closing the host window runs the stop command "gueststop"
 *            (gueststop.c), and the session ends
 *
 *   guest [--stay]
 *
 * With --stay the host window stays open after the audio step, until it is
 * closed. scripts/run starts this program once the socket map, scrived and
 * interrogator are up, with VANTRELL_ROOT naming the root folder.
 *
 * Built as a program of your own would be: against kestle.h and liblog.h
 * only, linked with the import library and the log library.
 */
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "example.h"
#include "kestle.h"
#include "liblog.h"

static const char kTag[] = "guest";

static int gFailed;
static HANDLE gStop;
static DWORD gStopAsked;
static int gStopBounded;

/* One line per step, "guest: STEP  RESULT: what happened", on standard output
 * for whoever started the session and in the log for later. */
static void report(const char *step, const char *result, const char *format, ...)
{
    char text[512];
    char line[600];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    /* In one write: the programs this one starts print to the same place. */
    int len = snprintf(line, sizeof line, "guest: %-8s %s: %s\n", step, result, text);
    fwrite(line, 1, len < (int)sizeof line ? (size_t)len : sizeof line - 1, stdout);
    __android_log_print(strcmp(result, "FAILED") == 0 ? KLOG_ERROR : KLOG_INFO, kTag, "%s %s: %s", step, result,
                        text);
    if (strcmp(result, "FAILED") == 0)
        ++gFailed;
}

/* Starts a program of this program's folder with its arguments; a handle to
 * wait on, or NULL. */
static HANDLE startSibling(const char *program, const char *args)
{
    char folder[MAX_PATH];
    char cmdline[2 * MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, folder, sizeof folder);
    char *slash = strrchr(folder, '\\');
    if (n == 0 || n >= sizeof folder || !slash)
        return NULL;
    slash[1] = '\0';
    snprintf(cmdline, sizeof cmdline, "\"%s%s\" %s", folder, program, args);
    /* The library gives the new process's id (it starts with this process's
     * environment and standard handles); open the process to wait for it. */
    int pid = osal_newProcess(cmdline, NULL);
    if (pid <= 0)
        return NULL;
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, (DWORD)pid);
}

/* The exit status of a started program, waiting up to ms; one that takes
 * longer is ended, and -1 returned. */
static int finishSibling(HANDLE process, DWORD ms)
{
    DWORD status = 1;
    if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &status);
    } else {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        status = (DWORD)-1;
    }
    CloseHandle(process);
    return (int)status;
}

static void stepLog(void)
{
    /* The library's socket calls need the socket library started first. */
    if (osal_winsockInit() != 0 || example_logToDaemon() != 0) {
        report("log", "FAILED", "the log daemon could not be reached");
        return;
    }
    __android_log_print(KLOG_INFO, kTag, "the example guest session starts (pid %lu)", GetCurrentProcessId());
    report("log", "ok", "lines go to scrived (port %d), into /dev/log/main under the root folder %s",
           osal_sockmap_get("scrived"), osal_getRootDir());
}

static void stepChannel(void)
{
    char reply[256] = "";
    HANDLE peer = startSibling("peer.exe", EXAMPLE_CHANNEL);
    if (!peer) {
        report("channel", "FAILED", "peer.exe could not be started");
        return;
    }
    /* The broker pairs a client with the channel's server once the server
     * has registered; a client that comes first is sent away. So the client
     * asks again, a bounded number of times. */
    int exchanged = 0;
    for (int attempt = 0; attempt < 150 && !exchanged; ++attempt) {
        SOCKET s = (SOCKET)osal_connectServer("interrogator");
        exchanged = example_sendChannelRequest(s, 0, EXAMPLE_CHANNEL) == 0 &&
                    example_sendText(s, "hello from the guest\n") == 0 &&
                    example_recvLine(s, reply, sizeof reply) == 0;
        osal_sock_close(s);
        if (!exchanged)
            Sleep(200);
    }
    int status = finishSibling(peer, 30000);
    if (exchanged && status == 0)
        report("channel", "ok", "sent \"hello from the guest\" to peer.exe, received \"%s\" (channel %s)", reply,
               EXAMPLE_CHANNEL);
    else
        report("channel", "FAILED", "%s (peer.exe exit status %d)",
               exchanged ? "a message went each way" : "no answer through the broker", status);
}

/* OpenGL's own calls come from opengl32, which the library has loaded for
 * its context: the example takes the three it needs from there, so that it
 * links nothing but the import library. */
typedef void(APIENTRY *ClearColorFn)(float, float, float, float);
typedef void(APIENTRY *ClearFn)(unsigned);
typedef void(APIENTRY *ReadPixelsFn)(int, int, int, int, unsigned, unsigned, void *);
#define GL_VERSION 0x1F02
#define GL_COLOR_BUFFER_BIT 0x4000
#define GL_RGBA 0x1908
#define GL_UNSIGNED_BYTE 0x1401
#define GL_FRAMEBUFFER 0x8D40
#define GL_FRAMEBUFFER_COMPLETE 0x8CD5

static void (*glProc(const char *name))(void)
{
    return (void (*)(void))GetProcAddress(GetModuleHandleA("opengl32.dll"), name);
}

/* The host window and one frame; the window, or NULL. */
static HWND stepWindow(void)
{
    /* The host side of this process: a thread that makes the host window,
     * serves the input pipe and runs the window's messages. */
    osal_system_init();
    osal_system_wait();
    HWND window = FindWindowA("Vantrell", "Vantrell");
    if (!window) {
        report("window", "FAILED", "no host window");
        return NULL;
    }

    /* A context on the host window, current on this thread from now on:
     * every drawing call of the frame belongs on this thread. */
    osal_gl_init();
    const char *version = (const char *)osal_gl_glGetString(GL_VERSION);
    fb_var_screeninfo screen;
    memset(&screen, 0, sizeof screen);
    osal_surface_getScreenInfo(&screen);
    ClearColorFn clearColor = (ClearColorFn)glProc("glClearColor");
    ClearFn clear = (ClearFn)glProc("glClear");
    ReadPixelsFn readPixels = (ReadPixelsFn)glProc("glReadPixels");
    if (!version || !clearColor || !clear || !readPixels) {
        report("window", "FAILED", "no OpenGL context on the host window");
        return window;
    }

    /* The window's own framebuffer, through a framebuffer export (stdcall,
     * with a decorated name: the header takes care of that). */
    unsigned status = osal_gl_glCheckFramebufferStatus(GL_FRAMEBUFFER);
    /* The frame: teal all over; one pixel read back before it is shown. */
    clearColor(0.0f, 0.5f, 0.5f, 1.0f);
    clear(GL_COLOR_BUFFER_BIT);
    unsigned char pixel[4] = {0, 0, 0, 0};
    readPixels((int)screen.xres / 2, (int)screen.yres / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    osal_surface_post(NULL);

    int teal = pixel[0] < 8 && abs(pixel[1] - 128) < 8 && abs(pixel[2] - 128) < 8;
    report("window", status == GL_FRAMEBUFFER_COMPLETE && teal ? "ok" : "FAILED",
           "%ux%u pixels, OpenGL %.40s; a teal frame drawn (pixel %u,%u,%u) and shown", screen.xres, screen.yres,
           version, pixel[0], pixel[1], pixel[2]);
    return window;
}

static void stepInput(HWND window)
{
    if (!window) {
        report("input", "FAILED", "no host window to post to");
        return;
    }
    HANDLE reader = startSibling("inputreader.exe", "30");
    if (!reader) {
        report("input", "FAILED", "inputreader.exe could not be started");
        return;
    }
    /* A press of the A key as the keyboard delivers it: scan code 30 in
     * bits 16 to 23, repeat count 1. */
    PostMessageA(window, WM_KEYDOWN, 'A', (30 << 16) | 1);
    int status = finishSibling(reader, 30000);
    if (status == 0)
        report("input", "ok", "a press of key 30 posted to the host window, read back from the input pipe");
    else
        report("input", "FAILED", "the press did not come back (inputreader.exe exit status %d)", status);
}

/* Whether the host offers a sound device: winmm counts the playback devices
 * that DirectSound would open too. */
static int hostHasSoundDevice(void)
{
    HMODULE winmm = LoadLibraryA("winmm.dll");
    typedef UINT(WINAPI * CountFn)(void);
    CountFn count = winmm ? (CountFn)(void (*)(void))GetProcAddress(winmm, "waveOutGetNumDevs") : NULL;
    return count && count() > 0;
}

static void stepAudio(void)
{
    if (!hostHasSoundDevice()) {
        report("audio", "skipped", "the host has no sound device");
        return;
    }
    /* The device's one format: 44100 Hz, 2 channels, 16-bit PCM. Half a
     * second of 440 Hz, faded in and out so that it does not click. */
    enum { kRate = 44100, kFrames = kRate / 2 };
    static int16_t tone[kFrames * 2];
    const double pi = 3.14159265358979323846;
    for (int i = 0; i < kFrames; ++i) {
        double edge = i < kFrames - i ? i : kFrames - i;
        double fade = edge < 2000 ? edge / 2000 : 1.0;
        int16_t v = (int16_t)(6000 * fade * sin(2 * pi * 440 * i / kRate));
        tone[2 * i] = tone[2 * i + 1] = v;
    }
    int rate = osal_audio_streamout_samplerate();
    int channels = osal_audio_streamout_channels();
    int queued = osal_audio_streamout_write(tone, (int)sizeof tone);
    /* The library plays what is queued on a thread of its own, which looks
     * at the queue every 300 ms, and the sound device's first start may take
     * a second: give it the tone's length and that. */
    Sleep(500 + 600 + 1500);
    if (queued == (int)sizeof tone && rate == kRate && channels == 2)
        report("audio", "ok", "a 0.5 s tone of 440 Hz played (%d Hz, %d channels, 16-bit)", rate, channels);
    else
        report("audio", "FAILED", "the tone was not queued (%d of %d bytes)", queued, (int)sizeof tone);
}

/* The idle function of the library's idle loop, which this thread runs once
 * the steps are done: it waits for the stop event, then posts WM_QUIT, on
 * which the loop frees the devices and ends the process with status 0. */
static void idleUntilStopped(int unused)
{
    static int stopping;
    (void)unused;
    if (stopping)
        return;
    if (WaitForSingleObject(gStop, 100) == WAIT_OBJECT_0) {
        stopping = 1;
        report("stop", "ok", "closing the host window ran gueststop; the session ends");
        if (gFailed)
            printf("guest: %d step%s FAILED\n", gFailed, gFailed == 1 ? "" : "s");
        else
            printf("guest: every step passed\n");
        PostQuitMessage(0);
    } else if (gStopBounded && GetTickCount() - gStopAsked > 60000) {
        report("stop", "FAILED", "gueststop did not stop the session within 60 s");
        exit(1);
    }
}

int main(int argc, char **argv)
{
    int stay = argc > 1 && strcmp(argv[1], "--stay") == 0;

    /* Each line shows as soon as it is printed, also through a pipe. */
    setvbuf(stdout, NULL, _IONBF, 0);
    gStop = CreateEventA(NULL, TRUE, FALSE, EXAMPLE_STOP_EVENT);
    if (!gStop || GetLastError() == ERROR_ALREADY_EXISTS) {
        printf("guest: another example session is running\n");
        return 1;
    }

    stepLog();
    stepChannel();
    HWND window = stepWindow();
    stepInput(window);
    stepAudio();

    if (!window) {
        printf("guest: %d step%s FAILED\n", gFailed, gFailed == 1 ? "" : "s");
        return 1;
    }
    if (stay) {
        printf("guest: the host window stays open; closing it stops the session\n");
    } else {
        /* As the user would: the window's close box. */
        gStopAsked = GetTickCount();
        gStopBounded = 1;
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    osal_init_done(idleUntilStopped, 0);
    return 0;
}
