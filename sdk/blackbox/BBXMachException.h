#pragma once
// The exception server: a thread of its own holds an exception port for the
// process's hardware faults (platform/crash/ExceptionPorts.h). On the first
// fault it takes the port off, puts back the signal actions from before
// set-up, records the exception into "mach_exception.bbxrecord" and the
// process state (BBXHandler), and answers; the faulting instruction then runs
// again into those actions, and the process ends.
//
// The server path allocates nothing and takes no lock.

#include <cstdint>

#include "platform/crash/ExceptionPorts.h"
#include "sdk/blackbox/BBXContext.h"

using BBXMachExceptionStore = BBXReadOnlyContext::BBXMachExceptionStore;

// Bad access, bad instruction, arithmetic and breakpoint (78), with the
// guard exception (4096) on hosts that know it.
inline constexpr uint32_t kBBXMachExceptionBaseMask = 78;
inline constexpr uint32_t kBBXMachExceptionGuardMask = 4096;

// The mask registered: the base mask, the guard bit when osVersion is above
// 1069, less the bits of callerMask.
uint32_t BBXMachExceptionMaskFor(uint32_t osVersion, uint32_t callerMask);
// The exception mask of a signal the caller wants as a signal (0 for others).
uint32_t BBXSignalMachExceptionMask(int signal);

// Resets the record file, registers the port and starts the server thread on
// the context's server stack.
void BBXMachExceptionInit(BBXMachExceptionStore* store, uint32_t callerMask);
bool BBXMachExceptionUnregister(const BBXMachExceptionStore* store, uint32_t mask);
// The server thread's body.
void* BBXMachExceptionServer(void* store);

// One request handled (the server's loop step, for the tests): checks,
// unregisters, restores, records, and answers on the request's reply port.
// The return code sent.
int32_t BBXMachExceptionHandleRequest(const BBXMachExceptionStore* store, const crash::ExceptionRequest* request);

// "name" and "code_name" of an exception and its first code.
void BBXMachExceptionNames(int32_t exception, int64_t firstCode, const char** name, const char** codeName);
