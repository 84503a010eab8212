#pragma once
// The running process as the crash handler records it: every thread with its
// registers and stack, runtime hints, queue and thread names, memory and CPU
// figures. Everything here but BBXProcessInitializeRuntime is async-signal-
// safe: no heap, no locks, no C-library formatting.
//
// A thread is named by its "port": the kernel thread id shifted left by 8, so
// that two ports name one thread exactly when they differ only in the low 8
// bits (the test every step uses), and threads never do by accident.

#include <sys/types.h>
#include <sys/ucontext.h>

#include <cstdint>

#include "platform/crash/Threads.h"

struct BBXFile;

using BBXThread = uint64_t;

inline BBXThread BBXThreadForTID(pid_t tid) { return static_cast<BBXThread>(tid) << 8; }
inline pid_t BBXThreadTID(BBXThread thread) { return static_cast<pid_t>(thread >> 8); }
inline bool BBXThreadsMatch(BBXThread a, BBXThread b) { return (a ^ b) <= 255; }
BBXThread BBXThreadSelf();

// The registers a thread section records, in its order.
struct BBXThreadState {
    uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip, rflags, cs, fs, gs;
};

// The registers of a machine context (a signal handler's, getcontext's).
BBXThreadState BBXThreadStateFromMachineContext(const ucontext_t* context);

struct BBXProcess {
    pid_t task = 0;
    BBXThread recordingThread = 0;
    BBXThread crashedThread = 0;
    BBXThread threads[crash::kMaxThreads];
    int threadCount = 0;
    const ucontext_t* machineContext = nullptr;  // none for exceptions
};

// Set-up, outside any crash: the thread-suspension handler, and where glibc
// keeps the message of a failed assertion.
void BBXProcessInitializeRuntime();

bool BBXProcessInit(BBXProcess* process, BBXThread crashedThread, const ucontext_t* machineContext);
// Stops every thread but the recording one. A thread that cannot be stopped
// makes the answer false; the others are still stopped.
bool BBXProcessSuspendAllOtherThreads(BBXProcess* process);
bool BBXProcessResumeAllOtherThreads(BBXProcess* process);
// The registers of thread: the machine context for the crashed thread when
// there is one, a synthetic state for the recording thread, else what the
// suspended thread's handler saw.
bool BBXProcessGetThreadState(const BBXProcess* process, BBXThread thread, BBXThreadState* state);

// The sections of a process record (one line each).
bool BBXProcessRecordAllThreads(const BBXProcess* process, BBXFile* file);
bool BBXProcessRecordRuntimeInfo(const BBXProcess* process, BBXFile* file);
bool BBXProcessRecordDispatchQueueNames(const BBXProcess* process, BBXFile* file);
bool BBXProcessRecordThreadNames(const BBXProcess* process, BBXFile* file);
bool BBXProcessRecordStats(const BBXProcess* process, BBXFile* file);
// "storage": free and total bytes of the file system holding path (nothing
// inside the section when the query fails).
bool BBXProcessRecordStorage(const char* path, BBXFile* file);

// The label of the dispatch queue thread runs a block of ("" for none).
const char* BBXProcessGetThreadDispatchQueueName(const BBXProcess* process, BBXThread thread);

// Whether a debugger traces this process; a status that cannot be read is
// logged and counts as no debugger.
bool BBXProcessDebuggerAttached();
