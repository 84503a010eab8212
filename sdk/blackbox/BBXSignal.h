#pragma once
// Fatal signals: seven handlers on the alternate stack that record the first
// crash into "signal.bbxrecord" and the process state (BBXHandler), then put
// back the actions that were there before and let the signal end the process.
//
// Numbers are the system's own (SIGBUS 7, SIGSYS 31); names go by constant.
// SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGTRAP reach their handler through the
// exception ports' fault entry (platform/crash/ExceptionPorts.h), after any
// exception port that holds them; SIGABRT and SIGSYS come straight from the
// kernel.
//
// The handler, the removal and the restoring are async-signal-safe; set-up,
// the stack installation and the warning are not.

#include <signal.h>

#include <cstdint>

#include "sdk/blackbox/BBXContext.h"

using BBXSignalStore = BBXReadOnlyContext::BBXSignalStore;

// The handled signals in their order: SIGABRT, SIGBUS, SIGFPE, SIGILL,
// SIGSEGV, SIGSYS, SIGTRAP.
extern const int kBBXHandledSignals[kBBXHandledSignalCount];

// Calls block(index, signal, data) for each handled signal in order.
void BBXSignalEnumerate(void (*block)(int index, int signal, void* data), void* data);
// "SIGSEGV" and the like ("UNKNOWN" for others); the code name is "ABORT" for
// SIGABRT, null for the rest.
void BBXSignalNames(int signal, const char** name, const char** codeName);

// The alternate stack of the calling thread: the context's signal stack
// (kBBXHandlerStackSize bytes), the one it replaces kept in the store. Run on
// the thread that sets the context up, before anything else.
bool BBXSignalInstallAltStack(BBXSignalStore* store, void* stack);
// Resets the record file and installs the seven handlers, keeping the
// actions they replace.
void BBXSignalInitialize(BBXSignalStore* store);

void BBXSignalHandler(int signal, siginfo_t* information, void* machineContext);
// Puts the handled signals back to their default action (SIGABRT only when
// includingAbort); false when one could not be.
bool BBXSignalSafeRemoveHandlers(bool includingAbort);
// Back to the actions (and stack) that were in place before set-up.
bool BBXSignalSafeInstallPreexistingHandlers(const BBXSignalStore* store);

// Tells on standard error of each handled signal whose action is not the
// handler here, or whose fault entry a library has replaced.
void BBXSignalWarnAboutForeignHandlers();
