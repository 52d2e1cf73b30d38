// Test support: bytes to send and compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace kt {

// Pseudo-random bytes, the same for the same seed.
inline std::string randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

} // namespace kt
