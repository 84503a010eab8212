#pragma once
// The machine's absolute time for profiling marks: CLOCK_MONOTONIC in
// nanoseconds, so the timebase that turns it into nanoseconds is 1/1.
// Async-signal-safe; any thread.

#include <cstdint>

namespace crash {

struct Timebase {
    uint32_t numer = 1;
    uint32_t denom = 1;
};

uint64_t machineAbsoluteTime();
Timebase machineTimebase();

}  // namespace crash
