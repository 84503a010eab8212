#pragma once
// Every thread the dispatch layer starts gets its own alternate signal stack
// (64 KiB), so a fault handler can still run when the thread has overflowed
// its stack. A thread that already has one (a sanitizer's) keeps it. The
// stack goes when the thread ends.

#include <cstddef>

namespace dispatch {

inline constexpr size_t kThreadSignalStackSize = 64 * 1024;

// Call first thing on a new thread.
void installThreadSignalStack();

}  // namespace dispatch
