// Test support: the socket map's creator as a real second process
// (the sockmapholder helper).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "child.h"

namespace kt {

class SockMapHolder {
public:
    // Starts the helper and waits until the table exists.
    bool start()
    {
        if (!mChild.start(binPath("sockmapholder.exe"), {}))
            return false;
        return mChild.waitOut("ready ");
    }
    // Sends one command and returns its result; INT_MIN when no answer came.
    int command(const std::string &line)
    {
        size_t before = mChild.out().size();
        if (!mChild.send(line + "\n"))
            return INT_MIN;
        for (int i = 0; i < 400; ++i) {
            std::string out = mChild.out().substr(before);
            size_t at = out.find("= ");
            if (at != std::string::npos && out.find('\n', at) != std::string::npos)
                return atoi(out.c_str() + at + 2);
            Sleep(25);
        }
        return INT_MIN;
    }
    // Ends the helper (and with it, its handles to the mapping and the mutex).
    bool quit()
    {
        mChild.send("quit\n");
        return mChild.finish(20000);
    }
    DWORD pid() const { return mChild.pid(); }
    Child &child() { return mChild; }

private:
    Child mChild;
};

} // namespace kt
