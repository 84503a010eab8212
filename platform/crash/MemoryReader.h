#pragma once
// Reads of memory that may not be there, checked by the kernel: an unmapped or
// inaccessible address answers false instead of raising a signal. This is how
// the crash path looks at pointers it cannot trust. Async-signal-safe (raw
// system calls only, nothing allocated, no locks); any thread.
//
// The read is process_vm_readv on our own process. Where the system refuses
// that call (a seccomp filter, a kernel without it) the read goes through a
// pipe instead: write() of a bad source fails with EFAULT, and what it did
// write is read back into the destination.

#include <cstddef>

namespace crash {

enum class ReadMethod {
    Automatic,   // the system call, the pipe once the call has been refused
    SystemCall,  // the system call only (false where it is refused)
    Pipe,        // the pipe only
};

// Copies length bytes from source to destination; false when any byte of the
// source could not be read (destination then holds an unspecified part).
bool readMemory(const void* source, void* destination, size_t length);

// How readMemory reads, for tests of each way; Automatic by default.
void setReadMethod(ReadMethod method);
ReadMethod readMethod();

// Whether process_vm_readv works on this system for our own process.
bool systemCallReadAvailable();

}  // namespace crash
