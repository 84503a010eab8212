#pragma once
// Reading a small /proc file whole into a caller's buffer with raw system
// calls: the one file reader of the crash path. Async-signal-safe.

#include <cstddef>

namespace crash {

// The file's bytes, NUL-terminated (at most size - 1 of them); their count,
// or -1 when the file cannot be opened.
long readProcFile(const char* path, char* buffer, size_t size);

}  // namespace crash
