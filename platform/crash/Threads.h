#pragma once
// The threads of this process as the crash path sees them: listing, stopping
// each one where it is, reading its registers, letting it go on. Everything
// here is async-signal-safe (raw system calls, fixed tables, futexes).
//
// Listing reads /proc/self/task with getdents64 (opendir allocates).
// Suspension is a real-time signal sent with tgkill: the thread's handler,
// installed by installThreadSuspension(), publishes the registers of the
// interrupted code and waits on a futex until it is resumed. A thread that
// blocks the signal, or sleeps where signals are not taken, is not stopped
// in time: suspension gives up after the time-out and the thread runs on.

#include <sys/types.h>
#include <sys/ucontext.h>

#include <cstddef>
#include <cstdint>

namespace crash {

inline constexpr int kMaxThreads = 1024;
inline constexpr int kSuspendTimeoutMilliseconds = 250;

// The calling thread's kernel id.
pid_t currentThreadID();

// Writes the ids of this process's threads (in the kernel's order) into tids;
// the count, at most capacity; -1 when the list cannot be read.
int listThreads(pid_t* tids, int capacity);

// Installs the suspension signal's handler; call once at set-up, before any
// suspension. False when the handler could not be installed.
bool installThreadSuspension();
// The real-time signal that suspends a thread: SIGRTMIN + 3 of the running libc.
int threadSuspensionSignal();

// Stops thread tid (never the calling thread) and waits for it at most
// timeoutMilliseconds; false when it did not stop in time or is gone.
bool suspendThread(pid_t tid, int timeoutMilliseconds = kSuspendTimeoutMilliseconds);
// Stops several threads at once: every signal goes out first, then each
// thread is awaited until timeoutMilliseconds after the sending, so the
// threads stop in parallel. suspended[i] tells of tids[i]; the answer is
// whether all stopped.
bool suspendThreads(const pid_t* tids, int count, bool* suspended,
                    int timeoutMilliseconds = kSuspendTimeoutMilliseconds);
// Lets a suspended thread run on; false when it was not suspended here.
bool resumeThread(pid_t tid);

// The general registers of a suspended thread, as its handler found them.
struct ThreadRegisters {
    greg_t gregs[NGREG];
};
bool suspendedThreadRegisters(pid_t tid, ThreadRegisters* registers);

// The kernel's name of a thread (/proc/self/task/TID/comm, at most 15 bytes)
// into out; false when it cannot be read.
bool kernelThreadName(pid_t tid, char* out, size_t size);
// The process's own kernel name (/proc/self/comm).
bool kernelProcessName(char* out, size_t size);

}  // namespace crash
