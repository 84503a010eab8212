#include "platform/crash/MachineTime.h"

#include <ctime>

namespace crash {

uint64_t machineAbsoluteTime() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

Timebase machineTimebase() { return Timebase{1, 1}; }

}  // namespace crash
