#pragma once
// Compact unwind tables ("__unwind_info", version 1): a first-level index of
// function offsets into second-level pages, compressed pages of 32-bit
// entries (function offset, encoding index), and encodings that say how a
// function's caller is found: frame based, frameless with an immediate or
// indirect stack size and a permutation of saved registers, or an FDE in
// "__eh_frame". ELF images carry no such table; the reader serves images that
// do and is exercised on byte tables. Crash path: every read of the table
// and the stack goes through BBXReadMemory; nothing allocates.

#include <cstdint>

#include "sdk/blackbox/BBXProcess.h"

struct BBXCompactUnwindContext {
    uintptr_t unwindInfo = 0;
    uintptr_t ehFrame = 0;
    uintptr_t loadAddress = 0;
    // The header's first 28 bytes.
    uint32_t version = 0;
    uint32_t commonEncodingsArraySectionOffset = 0;
    uint32_t commonEncodingsArrayCount = 0;
    uint32_t personalityArraySectionOffset = 0;
    uint32_t personalityArrayCount = 0;
    uint32_t indexSectionOffset = 0;
    uint32_t indexCount = 0;
    // The first-level entry that holds the PC looked up last.
    uint32_t functionOffset = 0;
    uint32_t secondLevelPageOffset = 0;
    uint32_t lsdaOffset = 0;
    uint32_t nextFunctionOffset = 0;
};

struct BBXCompactUnwindResult {
    uint32_t encoding = 0;
    uintptr_t functionStart = 0;
    uintptr_t functionEnd = 0;
};

inline constexpr uint32_t kBBXCompactUnwindModeMask = 0x0f000000;
inline constexpr uint32_t kBBXCompactUnwindModeFrame = 0x01000000;
inline constexpr uint32_t kBBXCompactUnwindModeFramelessImmediate = 0x02000000;
inline constexpr uint32_t kBBXCompactUnwindModeFramelessIndirect = 0x03000000;
inline constexpr uint32_t kBBXCompactUnwindModeDwarf = 0x04000000;

bool BBXCompactUnwindInit(BBXCompactUnwindContext* context, uintptr_t unwindInfo, uintptr_t ehFrame,
                          uintptr_t loadAddress);
bool BBXCompactUnwindLookup(BBXCompactUnwindContext* context, uintptr_t pc, BBXCompactUnwindResult* result);
bool BBXCompactUnwindLookupAndCompute(BBXCompactUnwindContext* context, BBXThreadState* threadContext);
bool BBXCompactUnwindComputeRegisters(BBXCompactUnwindContext* context, const BBXCompactUnwindResult* result,
                                      BBXThreadState* threadContext);
bool BBXCompactUnwindDwarfFrame(BBXCompactUnwindContext* context, uintptr_t offset, BBXThreadState* threadContext);

// The caller by the frame pointer: 16 bytes at FP are the caller's FP and the
// return address; SP becomes FP + 16.
bool BBXCompactUnwindBPFrame(BBXThreadState* threadContext);

// Frameless functions: the saved registers, by number (1 rbx, 2 r12, 3 r13,
// 4 r14, 5 r15, 6 rbp), in the order they lie on the stack.
bool BBXCompactUnwindDecompressPermutation(uint32_t count, uint32_t permutation, uint32_t decoded[6]);
bool BBXCompactUnwindRemapRegisters(uint32_t count, const uint32_t decoded[6], uint32_t registers[6]);
bool BBXCompactUnwindComputeStackSize(uint32_t encoding, uintptr_t functionStart, uint32_t* stackSize);
