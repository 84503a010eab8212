#pragma once
// Whether a debugger (any tracer) is attached to this process: the
// "TracerPid:" line of /proc/self/status, read with open and read only, so it
// is async-signal-safe. Any thread.

#include <optional>

namespace crash {

// True when traced, false when not; nullopt when the status could not be read.
std::optional<bool> tracerAttached();

}  // namespace crash
