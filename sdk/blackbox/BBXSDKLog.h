#pragma once
// The capture core's diagnostic log, "sdk.log" in the report folder. Every
// message is a format starting with "%s: " and the reporting function's name,
// ending with a newline. Async-signal-safe: the format is walked byte by byte
// into a fixed line buffer on the stack, numbers are converted there, and the
// line goes out with one write(2) (a line over 512 bytes in pieces); nothing
// allocates or locks. Any thread.
//
// Directives: %s (a C string, "(null)" for none), %d (signed 32-bit), %u
// (unsigned 32-bit), %x (unsigned 32-bit, lower-case hex), each of the three
// 64-bit after l, ll or z ("%lld", "%llx", "%zu"), %p ("0x" and the 64-bit
// value in hex). Any other directive ("%02x", "%f", "%ls") is written as it
// stands and takes no argument.
//
// Nothing is written until a capture context with a report folder exists; the
// file is opened on first use (write-only, create, append, 0644) and kept open.

void BBXSDKLog(const char* format, ...);

// While the crash handler records a crash, the lines of its thread gather in
// a fixed 64 KiB batch that goes out when full, at each flush and when the
// batch ends: a write(2) per line made the unwinder's diagnostics, a line per
// step of every frame of every thread, most of a crash's time. Lines of other
// threads still go out at once. One batch at a time; async-signal-safe.
void BBXSDKLogBeginBatch();
void BBXSDKLogFlushBatch();
void BBXSDKLogEndBatch();
