#pragma once
// Small utilities of the capture core. BBXReadMemory, BBXIsReadableString and
// the profiling marks are async-signal-safe; the rest run outside a crash.
// Any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace dispatch {
class Queue;
class OperationQueue;
}  // namespace dispatch

// Copies length bytes from source, checked by the kernel: false for a source
// below 4096 or any byte that cannot be read, never a signal.
bool BBXReadMemory(const void* source, void* destination, size_t length);
// True at once for maximumLength 0; else reads from address up to a NUL or
// maximumLength bytes, false when a byte cannot be read. start (if given)
// receives address on success.
bool BBXIsReadableString(const char* address, const char** start, size_t maximumLength);
// A copy of the string (with its NUL) in the capture context's read-only
// region; null for null.
const char* BBXCopyString(const char* cString);
// True when path was removed or did not exist.
bool BBXUnlinkIfExists(const char* path);
// A new UUID as 32 lower-case hex digits.
std::string BBXLowercaseUUIDString();
// The symbol and image path of an address ("unknown" for a missing one); the
// block gets null for both when the address is in no loaded image.
void BBXLookupSymbol(const void* address, const std::function<void(const char* symbol, const char* image)>& block);

void BBXDispatchAfterSeconds(const std::shared_ptr<dispatch::Queue>& queue, double seconds, std::function<void()> block);
// Adds the block to the operation queue after the delay.
void BBXAddOperationAfterDelay(const std::shared_ptr<dispatch::OperationQueue>& operationQueue,
                               std::function<void()> block, double seconds);

// Profiling: a mark is the machine's absolute time.
uint64_t BBXProfilingMarkNow();
double BBXProfilingElapsedMilliseconds(uint64_t mark);
// Runs the block and prints "[Profile] label: N ms" to standard error.
void BBXProfilingLogBlock(const char* label, const std::function<void()>& block);
