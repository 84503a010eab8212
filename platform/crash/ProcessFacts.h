#pragma once
// Memory, CPU and storage figures of this process and its host, read the way
// a crash handler may: raw system calls into fixed buffers. Async-signal-safe.

#include <cstdint>

namespace crash {

// /proc/meminfo in bytes: Active, Inactive, Unevictable (the nearest to
// memory the kernel will not page out, "wired") and MemFree.
struct HostMemory {
    uint64_t active = 0;
    uint64_t inactive = 0;
    uint64_t wired = 0;
    uint64_t free = 0;
};
bool hostMemory(HostMemory* memory);

// /proc/self/statm in bytes and getrusage's CPU times in microseconds.
struct ProcessUsage {
    uint64_t virtualSize = 0;
    uint64_t residentSize = 0;
    uint64_t userMicroseconds = 0;
    uint64_t systemMicroseconds = 0;
};
bool processUsage(ProcessUsage* usage);

// Free (available to us) and total bytes of the file system holding path.
struct Storage {
    uint64_t free = 0;
    uint64_t total = 0;
};
bool storageOf(const char* path, Storage* storage);

}  // namespace crash
