#include "wait.h"

#include <windows.h>

#include <chrono>

namespace kt {

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    int64_t end = nowMs() + timeoutMs;
    for (;;) {
        if (done())
            return true;
        if (nowMs() > end)
            return false;
        Sleep(20);
    }
}

} // namespace kt
