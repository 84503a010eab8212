#pragma once
// The running process as the crash path records it. Async-signal-safe.

// Whether a debugger traces this process; a status that cannot be read is
// logged and counts as no debugger.
bool BBXProcessDebuggerAttached();
