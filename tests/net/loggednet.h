// A network device object on the host's own IP Helper calls whose
// diagnostics (failure messages, dumps) are kept instead of discarded.
#pragma once

#include <string>
#include <vector>

#include "net/net.h"

namespace kt {

// Every text the objects printed, one entry per print; one list per process.
inline std::vector<std::string> &loggedTexts()
{
    static std::vector<std::string> texts;
    return texts;
}

struct LoggedNet {
    LoggedNet() : platform(*hostNetPlatform()), net((platform.print = keep, &platform)) { loggedTexts().clear(); }
    static void keep(const char *text) { loggedTexts().push_back(text); }
    // What was printed, as one text.
    static std::string all()
    {
        std::string out;
        for (const std::string &text : loggedTexts())
            out += text;
        return out;
    }
    NetPlatform platform;
    OSALNet net;
};

} // namespace kt
