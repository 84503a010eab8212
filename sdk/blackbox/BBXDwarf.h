#pragma once
// DWARF call-frame information as .eh_frame holds it: byte readers, pointer
// encodings, CIE and FDE parsing, the call-frame instruction interpreter,
// register recovery and a small expression machine. Crash path: nothing here
// allocates or locks; records and states live on the caller's stack.
//
// Table bytes are never touched in place: an FDE and its CIE are copied into
// the record's own buffer through BBXReadMemory first, and the readers walk
// that copy with bounds, so an image unloaded mid-walk costs a failed read,
// not a fault. A cursor remembers where its copy came from, for the
// pc-relative encodings.
//
// Registers use the x86-64 System V numbering: 0 rax, 1 rdx, 2 rcx, 3 rbx,
// 4 rsi, 5 rdi, 6 rbp, 7 rsp, 8-15 r8-r15, 16 the return address (rip).

#include <cstddef>
#include <cstdint>

#include "sdk/blackbox/BBXProcess.h"

inline constexpr uint64_t kBBXDwarfRegisterCount = 17;
inline constexpr uint64_t kBBXDwarfReturnAddressRegister = 16;
inline constexpr uint64_t kBBXDwarfStackPointerRegister = 7;
// Enough for the longest FDE and CIE of the system's libraries (a few hundred
// bytes); a longer record fails the DWARF step and the walk falls back.
inline constexpr size_t kBBXDwarfRecordBytes = 3072;
inline constexpr int kBBXDwarfStateStackDepth = 8;
inline constexpr int kBBXDwarfExpressionStackSlots = 100;

uint64_t BBXDwarfUnwindGetRegisterValue(const BBXThreadState* context, uint64_t number);
bool BBXDwarfUnwindSetRegisterValue(BBXThreadState* context, uint64_t number, uint64_t value);

// A reading position in a local copy of table bytes; remote = local + delta
// is the address the byte has in the image. A read past end sets failed and
// answers 0.
struct BBXDwarfCursor {
    const uint8_t* position = nullptr;
    const uint8_t* end = nullptr;
    intptr_t delta = 0;
    bool failed = false;
};

uint8_t BBXDwarfRead8(BBXDwarfCursor* cursor);
uint16_t BBXDwarfRead16(BBXDwarfCursor* cursor);
int16_t BBXDwarfReadS16(BBXDwarfCursor* cursor);
uint32_t BBXDwarfRead32(BBXDwarfCursor* cursor);
int32_t BBXDwarfReadS32(BBXDwarfCursor* cursor);
uint64_t BBXDwarfRead64(BBXDwarfCursor* cursor);
int64_t BBXDwarfReadS64(BBXDwarfCursor* cursor);
// At most 8 bytes; a longer number fails.
uint64_t BBXDwarfReadULEB128(BBXDwarfCursor* cursor);
int64_t BBXDwarfReadSLEB128(BBXDwarfCursor* cursor);
// Skips to past the terminating NUL; the string's start (null on failure).
const char* BBXDwarfReadString(BBXDwarfCursor* cursor);
// 32-bit, or the following 64-bit value when the 32-bit one is all ones.
uint64_t BBXDwarfReadRecordLength(BBXDwarfCursor* cursor);

inline constexpr uint64_t kBBXDwarfInvalidAddress = ~uint64_t(0);
// An encoded pointer (0xff: omitted, 0). Absolute and pc-relative values; all
// ones (and failed set) for anything else.
uint64_t BBXParseAddressWithEncodingAndAdvance(BBXDwarfCursor* cursor, uint8_t encoding);
// The same, also relative to dataBase (the .eh_frame_hdr search table's
// "datarel") when dataBase is not 0.
uint64_t BBXParseAddressWithEncodingAndBase(BBXDwarfCursor* cursor, uint8_t encoding, uint64_t dataBase);

struct BBXDwarfCIERecord {
    uint64_t length = 0;
    uint8_t version = 0;
    const char* augmentation = nullptr;
    uint64_t codeAlignment = 0;
    int64_t dataAlignment = 0;
    uint8_t returnAddressRegister = 0;
    uint8_t pointerEncoding = 0;
    uint8_t lsdaEncoding = 0xff;
    uint8_t personalityEncoding = 0xff;
    uint64_t personality = 0;
    bool signalFrame = false;
    const uint8_t* instructions = nullptr;
    uint64_t instructionsLength = 0;
    const uint8_t* end = nullptr;  // end of the record's bytes
    intptr_t delta = 0;
};

struct BBXDwarfFDERecord {
    uint64_t length = 0;
    uint32_t ciePointer = 0;
    uint64_t startAddress = 0;
    uint64_t addressRange = 0;
    const uint8_t* instructions = nullptr;
    uint64_t instructionsLength = 0;
    intptr_t delta = 0;
};

// An FDE with its CIE and the bytes both were copied into.
struct BBXDwarfRecord {
    BBXDwarfFDERecord fde;
    BBXDwarfCIERecord cie;
    uint8_t bytes[kBBXDwarfRecordBytes];
};

// cursor spans the CIE's bytes (from its length field to the end of the copy).
bool BBXDwarfParseCIERecord(BBXDwarfCIERecord* cie, BBXDwarfCursor cursor);
bool BBXDwarfCIEIsValid(const BBXDwarfCIERecord* cie);
bool BBXDwarfCIEHasAugmentationData(const BBXDwarfCIERecord* cie);
// Parses the FDE the cursor spans; with parseCIE, copies its CIE to cieBytes
// (cieCapacity bytes) through BBXReadMemory and parses it into cie.
bool BBXDwarfParseFDERecord(BBXDwarfFDERecord* fde, bool parseCIE, BBXDwarfCIERecord* cie, BBXDwarfCursor cursor,
                            uint8_t* cieBytes, size_t cieCapacity);
// Copies the FDE at ehFrame + offset and its CIE into record and parses both.
bool BBXDwarfInitFromFDE(BBXDwarfRecord* record, uintptr_t ehFrame, uint64_t offset);

enum BBXDwarfRuleKind : uint32_t {
    BBXDwarfRuleNone = 0,
    BBXDwarfRuleOffset = 1,            // saved at CFA + offset
    BBXDwarfRuleValueOffset = 2,       // CFA + offset is the value
    BBXDwarfRuleRegister = 3,          // in another register
    BBXDwarfRuleExpression = 4,        // saved at the address an expression computes
    BBXDwarfRuleValueExpression = 5,   // the value an expression computes
};

inline constexpr uint64_t kBBXDwarfCFAExpressionRegister = 17;

struct BBXDwarfState {
    uint64_t cfaRegister = 0;  // kBBXDwarfCFAExpressionRegister: cfaExpression holds it
    int64_t cfaOffset = 0;
    const uint8_t* cfaExpression = nullptr;
    uint32_t kinds[kBBXDwarfRegisterCount] = {};
    uint64_t values[kBBXDwarfRegisterCount] = {};
};

// Runs instructions while the location has not passed pcOffset (a row that
// starts exactly at pcOffset applies). initial is the state after the CIE's
// initial instructions, for DW_CFA_restore; null while running those.
bool BBXDwarfInstructionsEnumerate(const uint8_t* instructions, uint64_t length, intptr_t delta,
                                   const BBXDwarfCIERecord* cie, BBXDwarfState* state, uint64_t pcOffset,
                                   const BBXDwarfState* initial);
// The caller's registers: context becomes the caller's state, or is left
// alone when any step fails.
bool BBXDwarfUnwindComputeRegisters(const BBXDwarfRecord* record, BBXThreadState* context);
bool BBXDwarfGetCFA(const BBXDwarfState* state, const BBXThreadState* context, const uint8_t* limit, uint64_t* cfa);
bool BBXDwarfGetSavedRegister(const BBXDwarfState* state, uint64_t number, uint64_t cfa,
                              const BBXThreadState* context, const uint8_t* limit, uint64_t* value);
bool BBXDwarfUnwindAssignRegisters(const BBXDwarfState* state, BBXThreadState* context, const uint8_t* limit);

struct BBXDwarfExpressionMachine {
    uint64_t stack[kBBXDwarfExpressionStackSlots];
    uint64_t* top = nullptr;  // next free slot; null: the stack is broken
    const uint8_t* position = nullptr;
    const uint8_t* end = nullptr;
    const BBXThreadState* context = nullptr;
};

bool BBXDwarfExpressionMachinePrepareForExecution(BBXDwarfExpressionMachine* machine, const uint8_t* expression,
                                                  const uint8_t* limit);
bool BBXDwarfExpressionMachineIsFinished(const BBXDwarfExpressionMachine* machine);
bool BBXDwarfExpressionMachineGetResult(const BBXDwarfExpressionMachine* machine, uint64_t* result);
bool BBXDwarfExpressionMachineExecuteNextOpcode(BBXDwarfExpressionMachine* machine);
// expression: its ULEB length, then its opcodes, all before limit.
bool BBXDwarfEvalulateExpression(const uint8_t* expression, const uint8_t* limit, const BBXThreadState* context,
                                 uint64_t initialValue, uint64_t* result);
