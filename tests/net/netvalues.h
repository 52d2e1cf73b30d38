// What the network queries write, in the forms tests compare.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace kt {

inline std::string bytes(const void *p, size_t n)
{
    return std::string(static_cast<const char *>(p), n);
}

// A 16-byte string field as the queries write it: the text, then zero bytes.
inline std::string addrField(const char *text)
{
    std::string f(16, '\0');
    memcpy(f.data(), text, strlen(text));
    return f;
}

// The seven out-values of a configuration query or a DHCP request, preset so
// that writes show.
struct NetAnswer {
    uint32_t ip = 0xAAAAAAAA, gateway = 0xAAAAAAAA, mask = 0xAAAAAAAA, dns1 = 0xAAAAAAAA, dns2 = 0xAAAAAAAA,
             server = 0xAAAAAAAA, lease = 0xAAAAAAAA;
    bool untouched() const
    {
        return ip == 0xAAAAAAAA && gateway == 0xAAAAAAAA && mask == 0xAAAAAAAA && dns1 == 0xAAAAAAAA &&
               dns2 == 0xAAAAAAAA && server == 0xAAAAAAAA && lease == 0xAAAAAAAA;
    }
};

} // namespace kt
