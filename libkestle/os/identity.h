// Identity stubs and clocks. The counter seam lets tests reach a failing or
// zero-frequency performance counter, which real hosts do not produce.
#pragma once

#include "kestle.h"

namespace kestle::clocks {

using CounterQueryFn = BOOL(WINAPI *)(LARGE_INTEGER *value);

// nullptr restores QueryPerformanceCounter / QueryPerformanceFrequency.
void setCounterQueries(CounterQueryFn counter, CounterQueryFn frequency);

// Both counter queries, made on every call. False when either fails, and
// also for a zero frequency, which would otherwise divide by zero.
bool readCounter(LARGE_INTEGER *count, LARGE_INTEGER *frequency);

} // namespace kestle::clocks
