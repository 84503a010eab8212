#pragma once
// The crash handler entry every way of catching a crash ends in: it stops the
// other threads and records the whole process into the crash's record file
// (threads, runtime, queue and thread names, figures, storage), lets the
// threads go on, then gives the report lifecycle its synchronous callback.
// Async-signal-safe.
//
// A fault of the recording thread inside one section returns to that
// section's recovery point: the section is left as far as it got (the reader
// skips an unfinished line), "sdk.log" says so, and recording goes on with the
// next one. Inside the "threads" section each thread's entry has a recovery
// point of its own (BBXProcessRecordAllThreads), so a fault costs that entry
// only.

#include <sys/ucontext.h>

#include "sdk/blackbox/BBXProcess.h"

struct BBXFile;

void BBXHandler(BBXFile* file, BBXThread crashedThread, const ucontext_t* machineContext);
// The fatal paths' last step before the process ends: lets a record write
// of another thread (the image list, keys, log lines) finish whole, and
// keeps later ones out (BBXFileSettleWholeWrites).
void BBXHandlerSettleRecordWrites(BBXThread crashedThread);
// The "time" entry of a crash record: seconds since 1970.
void BBXHandlerWriteTimeEntry(BBXFile* file);
// Sends the crash observer its notice (none in this program).
void BBXHandlerNotifyObserver();

// The report lifecycle's synchronous callback, given the context's delegate;
// runs on the crashing thread after recording. Null removes it.
using BBXHandlerCrashCallback = void (*)(void* delegate);
void BBXHandlerSetCrashCallback(BBXHandlerCrashCallback callback);
// The crash observer's notice, given the context's observer. Null removes it.
using BBXHandlerObserverCallback = void (*)(void* observer);
void BBXHandlerSetObserverCallback(BBXHandlerObserverCallback callback);

// Tests: called on the recording thread with BBXHandlerPhaseSuspended once
// the other threads are stopped, with BBXHandlerPhaseSection and the section's
// number (1 threads ... 6 storage) before each section, and with
// BBXHandlerPhaseResumed once they run again.
// BBXHandlerPhaseThread comes midway through each entry of the "threads"
// section, with the thread's index in place of the section's number.
enum BBXHandlerPhase {
    BBXHandlerPhaseSuspended = 1,
    BBXHandlerPhaseSection = 2,
    BBXHandlerPhaseResumed = 3,
    BBXHandlerPhaseThread = 4
};
using BBXHandlerTestHook = void (*)(int phase, int section);
void BBXHandlerSetTestHook(BBXHandlerTestHook hook);
// Calls the test hook, if one is set.
void BBXHandlerRunTestHook(int phase, int section);
