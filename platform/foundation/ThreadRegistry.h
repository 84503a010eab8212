#pragma once
// What each of our threads is doing, published in a fixed table by kernel
// thread id, so that code which may not allocate or lock (a crash handler
// recording every thread) can read it: the name setCurrentThreadName() gave
// the thread, and the label of the dispatch queue whose block it runs.
//
// Publishing runs on the thread itself and claims its slot on first use; the
// slot is released when the thread ends. The readers are async-signal-safe.

#include <sys/types.h>

#include <cstddef>

namespace foundation {

// The table has room for this many live threads; later ones publish nothing.
inline constexpr int kThreadRegistrySlots = 1024;
// Names are kept whole up to this many bytes (with the NUL).
inline constexpr size_t kThreadRegistryNameSize = 64;

// The calling thread's name (cut at a character boundary to fit).
void publishThreadName(const char* name);
// The label of the queue the calling thread now runs a block of, or null. The
// label must live as long as the block runs.
void publishRunningQueueLabel(const char* label);
const char* currentRunningQueueLabel();

// The published name of thread tid copied into out (NUL-terminated); false
// when it has none.
bool publishedThreadName(pid_t tid, char* out, size_t size);
// The label of the queue thread tid runs a block of; null when none.
const char* publishedRunningQueueLabel(pid_t tid);

}  // namespace foundation
