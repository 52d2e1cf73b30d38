// Test support: waiting for something another thread or process does, with
// a time limit generous enough for a loaded machine.
#pragma once

#include <cstdint>
#include <functional>

namespace kt {

// Milliseconds of a steady clock.
int64_t nowMs();

// Polls `done` every 20 ms until it is true or the time is up.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 60000);

} // namespace kt
