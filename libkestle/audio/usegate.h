// What lets an owner free something that other threads use without a lock:
// each use is bracketed by enter() and leave(), and close() tells whether
// nobody is inside. A use that begins after close() is refused (enter()
// gives false), so once close() has said so, nothing can reach the thing any
// more and it may go; otherwise it has to stay. Both sides store first and
// load second, in one total order, so at least one of them sees the other.
#pragma once

#include <windows.h>

class UseGate {
public:
    bool enter()
    {
        __atomic_add_fetch(&mInside, 1, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&mClosed, __ATOMIC_SEQ_CST)) {
            leave();
            return false;
        }
        return true;
    }
    void leave() { __atomic_sub_fetch(&mInside, 1, __ATOMIC_SEQ_CST); }
    // Refuses every later use; true when no use is under way.
    bool close()
    {
        __atomic_store_n(&mClosed, 1, __ATOMIC_SEQ_CST);
        return __atomic_load_n(&mInside, __ATOMIC_SEQ_CST) == 0;
    }

private:
    LONG mInside = 0;
    LONG mClosed = 0;
};
