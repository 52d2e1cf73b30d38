// A plain top-level window for the display tests, on the calling thread. By
// default it carries the host window's class and title, so the surface finds
// it; tests that make one hold the "hostwindow" lock.
#pragma once

#include <windows.h>

namespace kt {

class TestWindow {
public:
    explicit TestWindow(const char *name = "Vantrell", int clientWidth = 320, int clientHeight = 200)
    {
        WNDCLASSEXA wc = {};
        wc.cbSize = sizeof wc;
        wc.style = CS_OWNDC;
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = name;
        RegisterClassExA(&wc);
        RECT r = {0, 0, clientWidth, clientHeight};
        AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, FALSE, 0);
        mHwnd = CreateWindowExA(0, name, name, WS_OVERLAPPEDWINDOW, 40, 40, r.right - r.left, r.bottom - r.top,
                                nullptr, nullptr, wc.hInstance, nullptr);
        if (mHwnd) {
            ShowWindow(mHwnd, SW_SHOWNORMAL);
            UpdateWindow(mHwnd);
            pump();
        }
    }
    ~TestWindow()
    {
        if (mHwnd)
            DestroyWindow(mHwnd);
    }
    TestWindow(const TestWindow &) = delete;
    TestWindow &operator=(const TestWindow &) = delete;

    HWND hwnd() const { return mHwnd; }

    static void pump()
    {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }

private:
    HWND mHwnd = nullptr;
};

// A context of the test's own on a window of its own, current on the calling
// thread while it lives.
class TestContext {
public:
    explicit TestContext(HWND hwnd) : mHwnd(hwnd)
    {
        mHdc = GetDC(hwnd);
        PIXELFORMATDESCRIPTOR pfd = {};
        pfd.nSize = sizeof pfd;
        pfd.nVersion = 1;
        pfd.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
        pfd.cColorBits = 32;
        pfd.cDepthBits = 24;
        SetPixelFormat(mHdc, ChoosePixelFormat(mHdc, &pfd), &pfd);
        mHglrc = wglCreateContext(mHdc);
        mCurrent = mHglrc && wglMakeCurrent(mHdc, mHglrc);
    }
    ~TestContext()
    {
        wglMakeCurrent(nullptr, nullptr);
        if (mHglrc)
            wglDeleteContext(mHglrc);
        ReleaseDC(mHwnd, mHdc);
    }
    TestContext(const TestContext &) = delete;
    TestContext &operator=(const TestContext &) = delete;

    bool current() const { return mCurrent; }

private:
    HWND mHwnd;
    HDC mHdc = nullptr;
    HGLRC mHglrc = nullptr;
    bool mCurrent = false;
};

} // namespace kt
