#pragma once
// Who the current thread is, as log messages record it.
//
// Linux threads inherit the process's kernel name, so the kernel name cannot
// tell a named thread from an unnamed one; the name here is only what our own
// code set with setCurrentThreadName().

#include <optional>
#include <string>

namespace foundation {

// The kernel thread id in decimal.
std::string currentThreadID();
// The name given to this thread by setCurrentThreadName(), if any.
std::optional<std::string> currentThreadName();
// Records the name and also sets the kernel name (cut to 15 bytes) for debuggers.
void setCurrentThreadName(const std::string& name);
bool isMainThread();

}  // namespace foundation
