#pragma once
// Walks a suspended thread's stack frame by frame from its registers, for the
// "stacktrace" of a thread record. Per frame: the image's compact unwind
// table when it has one; else its .eh_frame_hdr search table, which finds
// the function's FDE for the DWARF rules; else the frame pointer (with a
// bounded stack scan on the first step). Crash path: no heap, no locks,
// every read of the stack and of the tables through BBXReadMemory. x86-64.
//
// The first frame's PC is used as it is when the thread was interrupted there
// (a fault or a suspension: the instruction has not run) and less one when it
// is a return address, as every later frame's is: then the lookup falls
// inside the call instruction, not after it.

#include <cstdint>

#include "sdk/blackbox/BBXCompactUnwind.h"
#include "sdk/blackbox/BBXProcess.h"

inline constexpr uint32_t kBBXUnwindMaximumFrames = 512;
// The first step's stack scan reads at most this many words.
inline constexpr uint32_t kBBXUnwindMaximumScanWords = 1024;

struct BBXUnwindContext {
    BBXThreadState registers{};
    uint32_t frameCount = 0;
    // The current PC is a return address (a call follows it), not the
    // instruction a fault or a signal stopped at.
    bool pcIsReturnAddress = false;
    BBXCompactUnwindContext compact{};
};

// interrupted: state's PC is where the thread was stopped (the crashed
// thread's machine context, a suspended thread); false for a state made up
// from a return address (the recording thread's own).
bool BBXUnwindInitContext(BBXUnwindContext* context, const BBXThreadState* state, bool interrupted);
// Moves to the next frame; the first call yields the thread's own PC. False
// at the end of the walk, after 512 frames, or when no strategy works.
bool BBXUnwindNextFrame(BBXUnwindContext* context);
uint64_t BBXUnwindGetPC(const BBXUnwindContext* context);
uint64_t BBXUnwindGetSP(const BBXUnwindContext* context);
bool BBXUnwindIsValidContext(const BBXUnwindContext* context);
bool BBXUnwindAddressIsInImage(uintptr_t address);
// The first word in [start, end) (8 bytes apart, at most 1024 words, stopping
// at the first unreadable one) that lies in a loaded image.
bool BBXUnwindFirstExecutableAddress(uintptr_t start, uintptr_t end, uint64_t* address);
bool BBXUnwindWithFramePointer(BBXUnwindContext* context, bool allowStackScan);

// The FDE that covers pc in the .eh_frame_hdr search table at header: its
// address and the .eh_frame section's; false when the table has none.
bool BBXUnwindFindFDE(uintptr_t header, uintptr_t pc, uintptr_t* fde, uintptr_t* ehFrame);
// One DWARF step for the thread's current PC through the image's
// .eh_frame_hdr.
bool BBXUnwindWithEhFrameHeader(uintptr_t header, BBXThreadState* registers, bool* signalFrame);

// The register accessors; 0 and false for an absent context.
uint64_t BBXThreadContextGetPC(const BBXThreadState* context);
bool BBXThreadContextSetPC(BBXThreadState* context, uint64_t value);
uint64_t BBXThreadContextGetSP(const BBXThreadState* context);
bool BBXThreadContextSetSP(BBXThreadState* context, uint64_t value);
uint64_t BBXThreadContextGetFP(const BBXThreadState* context);
bool BBXThreadContextSetFP(BBXThreadState* context, uint64_t value);
