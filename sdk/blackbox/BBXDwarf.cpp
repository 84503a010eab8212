#include "sdk/blackbox/BBXDwarf.h"

#include <cstring>

#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

uint64_t* dwarfSlot(BBXThreadState* context, uint64_t number) {
    switch (number) {
        case 0: return &context->rax;
        case 1: return &context->rdx;
        case 2: return &context->rcx;
        case 3: return &context->rbx;
        case 4: return &context->rsi;
        case 5: return &context->rdi;
        case 6: return &context->rbp;
        case 7: return &context->rsp;
        case 8: return &context->r8;
        case 9: return &context->r9;
        case 10: return &context->r10;
        case 11: return &context->r11;
        case 12: return &context->r12;
        case 13: return &context->r13;
        case 14: return &context->r14;
        case 15: return &context->r15;
        case 16: return &context->rip;
        default: return nullptr;
    }
}

bool available(BBXDwarfCursor* cursor, size_t size) {
    if (cursor->failed || !cursor->position || static_cast<size_t>(cursor->end - cursor->position) < size) {
        cursor->failed = true;
        return false;
    }
    return true;
}

template <typename T>
T readFixed(BBXDwarfCursor* cursor) {
    T value{};
    if (!available(cursor, sizeof value)) return T{};
    std::memcpy(&value, cursor->position, sizeof value);
    cursor->position += sizeof value;
    return value;
}

// The remote address of the cursor's position.
uint64_t remoteAddress(const BBXDwarfCursor* cursor) {
    return reinterpret_cast<uint64_t>(cursor->position) + static_cast<uint64_t>(cursor->delta);
}

// Copies the record (length field included) at address into bytes; its size
// or 0 when it cannot be read or does not fit.
size_t copyRecord(uintptr_t address, uint8_t* bytes, size_t capacity) {
    uint32_t length32 = 0;
    if (capacity < 12 || !BBXReadMemory(reinterpret_cast<const void*>(address), &length32, 4)) return 0;
    uint64_t header = 4;
    uint64_t length = length32;
    if (length32 == 0xffffffffu) {
        if (!BBXReadMemory(reinterpret_cast<const void*>(address + 4), &length, 8)) return 0;
        header = 12;
    }
    if (length == 0) {
        std::memcpy(bytes, &length32, 4);  // the parser reports the empty record
        return 4;
    }
    if (length > capacity - header) return 0;
    size_t size = static_cast<size_t>(header + length);
    return BBXReadMemory(reinterpret_cast<const void*>(address), bytes, size) ? size : 0;
}

bool validRegister(uint64_t number, const char* message) {
    if (number < kBBXDwarfRegisterCount) return true;
    BBXSDKLog(message, "BBXDwarfInstructionsEnumerate");
    return false;
}

bool push(BBXDwarfExpressionMachine* machine, uint64_t value) {
    if (!machine->top || machine->top >= machine->stack + kBBXDwarfExpressionStackSlots) {
        machine->top = nullptr;
        return false;
    }
    *machine->top++ = value;
    return true;
}

bool pop(BBXDwarfExpressionMachine* machine, uint64_t* value) {
    if (!machine->top || machine->top <= machine->stack) {
        machine->top = nullptr;
        return false;
    }
    *value = *--machine->top;
    return true;
}

// One call-frame instruction; false when it cannot be run.
bool runInstruction(uint8_t opcode, BBXDwarfCursor* cursor, const BBXDwarfCIERecord* cie, BBXDwarfState* state,
                    uint64_t* location, const BBXDwarfState* initial, BBXDwarfState* saved, int* depth) {
    const char* fn = "BBXDwarfInstructionsEnumerate";
    uint8_t high = opcode & 0xc0;
    uint8_t low = opcode & 0x3f;
    if (high == 0x40) {
        BBXSDKLog("%s: DW_CFA_advance_loc %u\n", fn, static_cast<unsigned>(low));
        *location += low * cie->codeAlignment;
        return true;
    }
    if (high == 0x80) {
        uint64_t offset = BBXDwarfReadULEB128(cursor);
        BBXSDKLog("%s: DW_CFA_offset %u, %llu\n", fn, static_cast<unsigned>(low), offset);
        if (cursor->failed || !validRegister(low, "%s: Error: Found an invalid DW_CFA_offset register number\n"))
            return false;
        state->kinds[low] = BBXDwarfRuleOffset;
        state->values[low] = static_cast<uint64_t>(static_cast<int64_t>(offset) * cie->dataAlignment);
        return true;
    }
    if (high == 0xc0) {
        // Back to the rule the CIE's initial instructions gave the register.
        BBXSDKLog("%s: DW_CFA_restore %u\n", fn, static_cast<unsigned>(low));
        if (!initial) {
            BBXSDKLog("%s: Error: Unimplemented DWARF instruction with operand 0x%x\n", fn, opcode);
            return false;
        }
        if (!validRegister(low, "%s: Error: Found an invalid DW_CFA_restore register number\n")) return false;
        state->kinds[low] = initial->kinds[low];
        state->values[low] = initial->values[low];
        return true;
    }
    switch (opcode) {
        case 0x00: BBXSDKLog("%s: DW_CFA_nop\n", fn); return true;
        case 0x01: {
            uint64_t address = BBXParseAddressWithEncodingAndAdvance(cursor, cie->pointerEncoding);
            BBXSDKLog("%s: DW_CFA_set_loc %p\n", fn, address);
            if (cursor->failed) return false;
            *location = address;
            return true;
        }
        case 0x02: case 0x03: case 0x04: {
            uint64_t delta = opcode == 0x02 ? BBXDwarfRead8(cursor)
                           : opcode == 0x03 ? BBXDwarfRead16(cursor)
                                            : BBXDwarfRead32(cursor);
            BBXSDKLog("%s: DW_CFA_advance_loc%u %u\n", fn, opcode == 0x02 ? 1u : opcode == 0x03 ? 2u : 4u,
                      static_cast<unsigned>(delta));
            if (cursor->failed) return false;
            *location += delta * cie->codeAlignment;
            return true;
        }
        case 0x08: {
            uint64_t number = BBXDwarfReadULEB128(cursor);
            BBXSDKLog("%s: DW_CFA_same_value %llu\n", fn, number);
            if (cursor->failed || !validRegister(number, "%s: Error: Found an invalid DW_CFA_same_value register number\n"))
                return false;
            state->kinds[number] = BBXDwarfRuleNone;
            state->values[number] = 0;
            return true;
        }
        case 0x09: {
            uint64_t number = BBXDwarfReadULEB128(cursor);
            uint64_t other = BBXDwarfReadULEB128(cursor);
            BBXSDKLog("%s: DW_CFA_register %llu, %llu\n", fn, number, other);
            if (cursor->failed || !validRegister(number, "%s: Error: Found an invalid DW_CFA_register register number\n") ||
                !validRegister(other, "%s: Error: Found an invalid DW_CFA_register register value\n"))
                return false;
            state->kinds[number] = BBXDwarfRuleRegister;
            state->values[number] = other;
            return true;
        }
        case 0x0a:
            BBXSDKLog("%s: DW_CFA_remember_state\n", fn);
            if (*depth >= kBBXDwarfStateStackDepth) {
                BBXSDKLog("%s: Error: DW_CFA_remember_state nested too deeply\n", fn);
                return false;
            }
            saved[(*depth)++] = *state;
            return true;
        case 0x0b:
            BBXSDKLog("%s: DW_CFA_restore_state\n", fn);
            if (*depth <= 0) {
                BBXSDKLog("%s: Error: DW_CFA_restore_state without a remembered state\n", fn);
                return false;
            }
            *state = saved[--(*depth)];
            return true;
        case 0x0c: {
            uint64_t number = BBXDwarfReadULEB128(cursor);
            uint64_t offset = BBXDwarfReadULEB128(cursor);
            BBXSDKLog("%s: DW_CFA_def_cfa %llu, %lld\n", fn, number, offset);
            if (cursor->failed || !validRegister(number, "%s: Error: Found an invalid DW_CFA_def_cfa register number\n"))
                return false;
            state->cfaRegister = number;
            state->cfaOffset = static_cast<int64_t>(offset);
            return true;
        }
        case 0x0d: {
            uint64_t number = BBXDwarfReadULEB128(cursor);
            BBXSDKLog("%s: DW_CFA_def_cfa_register %llu\n", fn, number);
            if (cursor->failed ||
                !validRegister(number, "%s: Error: Found an invalid DW_CFA_def_cfa_register register number\n"))
                return false;
            state->cfaRegister = number;
            return true;
        }
        case 0x0e: {
            uint64_t offset = BBXDwarfReadULEB128(cursor);
            BBXSDKLog("%s: DW_CFA_def_cfa_offset %llu\n", fn, offset);
            if (cursor->failed) return false;
            state->cfaOffset = static_cast<int64_t>(offset);
            return true;
        }
        case 0x0f: case 0x10: case 0x16: {
            uint64_t number = 0;
            if (opcode != 0x0f) number = BBXDwarfReadULEB128(cursor);
            const uint8_t* expression = cursor->position;
            uint64_t length = BBXDwarfReadULEB128(cursor);
            BBXSDKLog(opcode == 0x0f   ? "%s: DW_CFA_def_cfa_expression %p\n"
                      : opcode == 0x10 ? "%s: DW_CFA_expression %llu\n"
                                       : "%s: DW_CFA_val_expression %llu\n",
                      fn, opcode == 0x0f ? reinterpret_cast<uint64_t>(expression) : number);
            if (cursor->failed || !available(cursor, static_cast<size_t>(length))) return false;
            cursor->position += length;
            if (opcode == 0x0f) {
                state->cfaRegister = kBBXDwarfCFAExpressionRegister;
                state->cfaExpression = expression;
                return true;
            }
            if (!validRegister(number, opcode == 0x10
                                           ? "%s: Error: Found an invalid DW_CFA_expression register number\n"
                                           : "%s: Error: Found an invalid DW_CFA_val_expression register number\n"))
                return false;
            state->kinds[number] = opcode == 0x10 ? BBXDwarfRuleExpression : BBXDwarfRuleValueExpression;
            state->values[number] = reinterpret_cast<uint64_t>(expression);
            return true;
        }
        case 0x05: case 0x06: case 0x07: case 0x11: case 0x12: case 0x13: case 0x14: case 0x15:
        case 0x2d: case 0x2e: case 0x2f:
            BBXSDKLog("%s: Error: Unimplemented DWARF instruction 0x%x\n", fn, opcode);
            return false;
        default:
            BBXSDKLog("%s: Error: Unrecognized DWARF instruction 0x%x\n", fn, opcode);
            return false;
    }
}

}  // namespace

uint64_t BBXDwarfUnwindGetRegisterValue(const BBXThreadState* context, uint64_t number) {
    const uint64_t* slot = dwarfSlot(const_cast<BBXThreadState*>(context), number);
    if (!slot) {
        BBXSDKLog("%s: Error: Unrecognized get register number %llu\n", __func__, number);
        return 0;
    }
    return *slot;
}

bool BBXDwarfUnwindSetRegisterValue(BBXThreadState* context, uint64_t number, uint64_t value) {
    uint64_t* slot = dwarfSlot(context, number);
    if (!slot) {
        BBXSDKLog("%s: Unrecognized set register number %llu\n", __func__, number);
        return false;
    }
    *slot = value;
    return true;
}

uint8_t BBXDwarfRead8(BBXDwarfCursor* cursor) { return readFixed<uint8_t>(cursor); }
uint16_t BBXDwarfRead16(BBXDwarfCursor* cursor) { return readFixed<uint16_t>(cursor); }
int16_t BBXDwarfReadS16(BBXDwarfCursor* cursor) { return readFixed<int16_t>(cursor); }
uint32_t BBXDwarfRead32(BBXDwarfCursor* cursor) { return readFixed<uint32_t>(cursor); }
int32_t BBXDwarfReadS32(BBXDwarfCursor* cursor) { return readFixed<int32_t>(cursor); }
uint64_t BBXDwarfRead64(BBXDwarfCursor* cursor) { return readFixed<uint64_t>(cursor); }
int64_t BBXDwarfReadS64(BBXDwarfCursor* cursor) { return readFixed<int64_t>(cursor); }

uint64_t BBXDwarfReadULEB128(BBXDwarfCursor* cursor) {
    uint64_t result = 0;
    for (int i = 0; i < 8; ++i) {
        uint8_t byte = BBXDwarfRead8(cursor);
        if (cursor->failed) return 0;
        result |= static_cast<uint64_t>(byte & 0x7f) << (7 * i);
        if (!(byte & 0x80)) return result;
    }
    cursor->failed = true;
    return 0;
}

int64_t BBXDwarfReadSLEB128(BBXDwarfCursor* cursor) {
    uint64_t result = 0;
    int shift = 0;
    for (int i = 0; i < 8; ++i) {
        uint8_t byte = BBXDwarfRead8(cursor);
        if (cursor->failed) return 0;
        result |= static_cast<uint64_t>(byte & 0x7f) << shift;
        shift += 7;
        if (!(byte & 0x80)) {
            if (shift < 64 && (byte & 0x40)) result |= ~uint64_t(0) << shift;
            return static_cast<int64_t>(result);
        }
    }
    cursor->failed = true;
    return 0;
}

const char* BBXDwarfReadString(BBXDwarfCursor* cursor) {
    if (cursor->failed || !cursor->position) return nullptr;
    const uint8_t* nul = cursor->position;
    while (nul < cursor->end && *nul != 0) ++nul;
    if (nul == cursor->end) {
        cursor->failed = true;
        return nullptr;
    }
    const char* start = reinterpret_cast<const char*>(cursor->position);
    cursor->position = nul + 1;
    return start;
}

uint64_t BBXDwarfReadRecordLength(BBXDwarfCursor* cursor) {
    uint32_t length = BBXDwarfRead32(cursor);
    if (length != 0xffffffffu) return length;
    return BBXDwarfRead64(cursor);
}

uint64_t BBXParseAddressWithEncodingAndAdvance(BBXDwarfCursor* cursor, uint8_t encoding) {
    return BBXParseAddressWithEncodingAndBase(cursor, encoding, 0);
}

uint64_t BBXParseAddressWithEncodingAndBase(BBXDwarfCursor* cursor, uint8_t encoding, uint64_t dataBase) {
    if (encoding == 0xff) return 0;
    uint64_t position = remoteAddress(cursor);
    uint64_t value = 0;
    switch (encoding & 0x0f) {
        case 0x0: value = BBXDwarfRead64(cursor); break;
        case 0x1: value = BBXDwarfReadULEB128(cursor); break;
        case 0x2: value = BBXDwarfRead16(cursor); break;
        case 0x3: value = BBXDwarfRead32(cursor); break;
        case 0x4: value = BBXDwarfRead64(cursor); break;
        case 0x9: value = static_cast<uint64_t>(BBXDwarfReadSLEB128(cursor)); break;
        case 0xa: value = static_cast<uint64_t>(static_cast<int64_t>(BBXDwarfReadS16(cursor))); break;
        case 0xb: value = static_cast<uint64_t>(static_cast<int64_t>(BBXDwarfReadS32(cursor))); break;
        case 0xc: value = static_cast<uint64_t>(BBXDwarfReadS64(cursor)); break;
        default:
            BBXSDKLog("%s: Unhandled: encoding 0x%02x\n", "BBXParseAddressWithEncodingAndAdvance", encoding);
            cursor->failed = true;
            return kBBXDwarfInvalidAddress;
    }
    if (cursor->failed) return kBBXDwarfInvalidAddress;
    switch (encoding & 0x70) {
        case 0x00: break;
        case 0x10: value += position; break;
        case 0x30:
            if (dataBase != 0) {
                value += dataBase;
                break;
            }
            [[fallthrough]];
        default:
            BBXSDKLog("%s: Unhandled: relative encoding 0x%02x\n", "BBXParseAddressWithEncodingAndAdvance", encoding);
            cursor->failed = true;
            return kBBXDwarfInvalidAddress;
    }
    if (encoding & 0x80) {
        uint64_t target = 0;
        if (!BBXReadMemory(reinterpret_cast<const void*>(value), &target, sizeof target) || target == 0) {
            cursor->failed = true;
            return kBBXDwarfInvalidAddress;
        }
        value = target;
    }
    return value;
}

bool BBXDwarfCIEIsValid(const BBXDwarfCIERecord* cie) {
    return cie && cie->length != 0 && (cie->version == 1 || cie->version == 3);
}

bool BBXDwarfCIEHasAugmentationData(const BBXDwarfCIERecord* cie) {
    return cie && cie->augmentation && cie->augmentation[0] == 'z';
}

bool BBXDwarfParseCIERecord(BBXDwarfCIERecord* cie, BBXDwarfCursor cursor) {
    if (!cie) return false;
    *cie = BBXDwarfCIERecord{};
    cie->length = BBXDwarfReadRecordLength(&cursor);
    if (cursor.failed || cie->length == 0) {
        BBXSDKLog("%s: Error: CIE length invalid\n", __func__);
        return false;
    }
    const uint8_t* end = cursor.position + cie->length;
    if (cie->length > static_cast<uint64_t>(cursor.end - cursor.position)) {
        BBXSDKLog("%s: Error: CIE length invalid\n", __func__);
        return false;
    }
    cursor.end = end;
    cie->end = end;
    cie->delta = cursor.delta;
    if (BBXDwarfRead32(&cursor) != 0) BBXSDKLog("%s: Error: CIE flag not found\n", __func__);
    cie->version = BBXDwarfRead8(&cursor);
    if (cursor.failed || (cie->version != 1 && cie->version != 3)) {
        BBXSDKLog("%s: Error: CIE version %u unsupported\n", __func__, static_cast<unsigned>(cie->version));
        return false;
    }
    cie->augmentation = BBXDwarfReadString(&cursor);
    cie->codeAlignment = BBXDwarfReadULEB128(&cursor);
    cie->dataAlignment = BBXDwarfReadSLEB128(&cursor);
    cie->returnAddressRegister =
        static_cast<uint8_t>(cie->version == 1 ? BBXDwarfRead8(&cursor) : BBXDwarfReadULEB128(&cursor));
    if (cursor.failed) return false;
    if (cie->augmentation[0] != '\0') {
        if (cie->augmentation[0] != 'z') {
            BBXSDKLog("%s: Error: Unimplemented: augmentation string %s\n", __func__, cie->augmentation);
            return false;
        }
        uint64_t dataLength = BBXDwarfReadULEB128(&cursor);
        if (cursor.failed || dataLength > static_cast<uint64_t>(cursor.end - cursor.position)) return false;
        BBXDwarfCursor data = cursor;
        data.end = cursor.position + dataLength;
        for (const char* letter = cie->augmentation + 1; *letter; ++letter) {
            switch (*letter) {
                case 'L': cie->lsdaEncoding = BBXDwarfRead8(&data); break;
                case 'P':
                    cie->personalityEncoding = BBXDwarfRead8(&data);
                    cie->personality = BBXParseAddressWithEncodingAndAdvance(&data, cie->personalityEncoding);
                    if (data.failed) {
                        BBXSDKLog("%s: Error: Found an invalid start address\n", __func__);
                        return false;
                    }
                    break;
                case 'R': cie->pointerEncoding = BBXDwarfRead8(&data); break;
                case 'S': cie->signalFrame = true; break;
                default:
                    BBXSDKLog("%s: Error: Unhandled augmentation string entry %c\n", __func__, *letter);
                    return false;
            }
            if (data.failed) return false;
        }
        cursor.position = data.end;
    }
    cie->instructions = cursor.position;
    cie->instructionsLength = static_cast<uint64_t>(cursor.end - cursor.position);
    return true;
}

bool BBXDwarfParseFDERecord(BBXDwarfFDERecord* fde, bool parseCIE, BBXDwarfCIERecord* cie, BBXDwarfCursor cursor,
                            uint8_t* cieBytes, size_t cieCapacity) {
    if (!fde || !cie) return false;
    *fde = BBXDwarfFDERecord{};
    fde->length = BBXDwarfReadRecordLength(&cursor);
    if (cursor.failed || fde->length == 0) {
        BBXSDKLog("%s: Error: FDE has zero length\n", __func__);
        return false;
    }
    if (fde->length > static_cast<uint64_t>(cursor.end - cursor.position)) return false;
    cursor.end = cursor.position + fde->length;
    uint64_t ciePointerAddress = remoteAddress(&cursor);
    fde->ciePointer = BBXDwarfRead32(&cursor);
    if (cursor.failed || fde->ciePointer == 0) {
        BBXSDKLog("%s: Error: CIE offset invalid\n", __func__);
        return false;
    }
    if (parseCIE) {
        uintptr_t cieAddress = static_cast<uintptr_t>(ciePointerAddress - fde->ciePointer);
        size_t size = cieBytes ? copyRecord(cieAddress, cieBytes, cieCapacity) : 0;
        BBXDwarfCursor cieCursor{cieBytes, cieBytes + size,
                                 static_cast<intptr_t>(cieAddress - reinterpret_cast<uintptr_t>(cieBytes)), false};
        if (size == 0 || !BBXDwarfParseCIERecord(cie, cieCursor)) {
            BBXSDKLog("%s: Error: Unable to parse CIE record\n", __func__);
            return false;
        }
    }
    if (!BBXDwarfCIEIsValid(cie)) {
        BBXSDKLog("%s: Error: CIE invalid\n", __func__);
        return false;
    }
    fde->startAddress = BBXParseAddressWithEncodingAndAdvance(&cursor, cie->pointerEncoding);
    if (cursor.failed) {
        BBXSDKLog("%s: Error: Found an invalid start address\n", __func__);
        return false;
    }
    fde->addressRange = BBXParseAddressWithEncodingAndAdvance(&cursor, cie->pointerEncoding & 0x0f);
    if (cursor.failed) {
        BBXSDKLog("%s: Error: Found an invalid address range\n", __func__);
        return false;
    }
    if (BBXDwarfCIEHasAugmentationData(cie)) {
        uint64_t skip = BBXDwarfReadULEB128(&cursor);
        if (cursor.failed || !available(&cursor, static_cast<size_t>(skip))) return false;
        cursor.position += skip;
    }
    fde->instructions = cursor.position;
    fde->delta = cursor.delta;
    fde->instructionsLength = static_cast<uint64_t>(cursor.end - cursor.position);
    return true;
}

bool BBXDwarfInitFromFDE(BBXDwarfRecord* record, uintptr_t ehFrame, uint64_t offset) {
    if (!record || ehFrame < 4096) return false;
    uintptr_t address = ehFrame + offset;
    // The FDE first, its CIE in what is left of the buffer after it.
    size_t size = copyRecord(address, record->bytes, sizeof record->bytes);
    if (size == 0) return false;
    BBXDwarfCursor cursor{record->bytes, record->bytes + size,
                          static_cast<intptr_t>(address - reinterpret_cast<uintptr_t>(record->bytes)), false};
    return BBXDwarfParseFDERecord(&record->fde, true, &record->cie, cursor, record->bytes + size,
                                  sizeof record->bytes - size);
}

bool BBXDwarfInstructionsEnumerate(const uint8_t* instructions, uint64_t length, intptr_t delta,
                                   const BBXDwarfCIERecord* cie, BBXDwarfState* state, uint64_t pcOffset,
                                   const BBXDwarfState* initial) {
    if (!cie || !state || (!instructions && length > 0)) {
        BBXSDKLog("%s: Error: invalid inputs\n", __func__);
        return false;
    }
    BBXSDKLog("%s: Running instructions from %p to %p\n", __func__, reinterpret_cast<uint64_t>(instructions) + delta,
              reinterpret_cast<uint64_t>(instructions) + delta + length);
    BBXDwarfCursor cursor{instructions, instructions + length, delta, false};
    BBXDwarfState saved[kBBXDwarfStateStackDepth];
    int depth = 0;
    uint64_t location = 0;
    while (cursor.position < cursor.end) {
        uint8_t opcode = BBXDwarfRead8(&cursor);
        if (!runInstruction(opcode, &cursor, cie, state, &location, initial, saved, &depth)) {
            BBXSDKLog("%s: Error: Failed to execute dwarf instruction 0x%x\n", __func__, opcode);
            return false;
        }
        // The row that starts exactly at pcOffset is the one that applies.
        if (location > pcOffset) break;
    }
    return true;
}

bool BBXDwarfExpressionMachinePrepareForExecution(BBXDwarfExpressionMachine* machine, const uint8_t* expression,
                                                  const uint8_t* limit) {
    if (!machine || !expression || expression >= limit) return false;
    BBXDwarfCursor cursor{expression, limit, 0, false};
    uint64_t length = BBXDwarfReadULEB128(&cursor);
    if (cursor.failed) return false;
    if (length == 0) {
        BBXSDKLog("%s: Error: DWARF expression length is zero\n", __func__);
        return false;
    }
    if (length > static_cast<uint64_t>(limit - cursor.position)) return false;
    machine->position = cursor.position;
    machine->end = cursor.position + length;
    return true;
}

bool BBXDwarfExpressionMachineIsFinished(const BBXDwarfExpressionMachine* machine) {
    if (!machine || !machine->position || !machine->end) {
        BBXSDKLog("%s: Error: DWARF machine pointers invalid\n", __func__);
        return true;
    }
    if (!machine->top) {
        BBXSDKLog("%s: Error: DWARF machine stack invalid\n", __func__);
        return true;
    }
    return machine->position >= machine->end;
}

bool BBXDwarfExpressionMachineGetResult(const BBXDwarfExpressionMachine* machine, uint64_t* result) {
    if (!machine || !machine->position || machine->position < machine->end) {
        BBXSDKLog("%s: Error: DWARF expression hasn't completed execution\n", __func__);
        return false;
    }
    if (!machine->top || machine->top <= machine->stack || !result) return false;
    *result = machine->top[-1];
    return true;
}

bool BBXDwarfExpressionMachineExecuteNextOpcode(BBXDwarfExpressionMachine* machine) {
    BBXDwarfCursor cursor{machine->position, machine->end, 0, false};
    uint8_t opcode = BBXDwarfRead8(&cursor);
    if (cursor.failed || !machine->top) return false;
    uint64_t a = 0;
    uint64_t b = 0;
    bool ok = true;
    switch (opcode) {
        case 0x06: {
            ok = pop(machine, &a);
            uint64_t value = 0;
            if (ok && !BBXReadMemory(reinterpret_cast<const void*>(a), &value, sizeof value)) {
                BBXSDKLog("%s: Error: DW_OP_deref failed to read memory\n", __func__);
                ok = false;
            }
            ok = ok && push(machine, value);
            break;
        }
        case 0x12:
            ok = machine->top > machine->stack && push(machine, machine->top[-1]);
            if (!ok) machine->top = nullptr;
            break;
        case 0x16:
            ok = pop(machine, &a) && pop(machine, &b) && push(machine, a) && push(machine, b);
            break;
        case 0x1a: ok = pop(machine, &a) && pop(machine, &b) && push(machine, a & b); break;
        case 0x22: ok = pop(machine, &a) && pop(machine, &b) && push(machine, a + b); break;
        case 0x23: {
            uint64_t addend = BBXDwarfReadULEB128(&cursor);
            ok = !cursor.failed && pop(machine, &a) && push(machine, a + addend);
            break;
        }
        case 0x2e: ok = pop(machine, &a) && pop(machine, &b) && push(machine, a != b ? 1 : 0); break;
        case 0x94: {
            uint8_t size = BBXDwarfRead8(&cursor);
            ok = !cursor.failed && pop(machine, &a);
            if (!ok) break;
            if (size != 1 && size != 2 && size != 4 && size != 8) {
                BBXSDKLog("%s: Error: unrecognized DW_OP_deref_size argument %x\n", __func__, size);
                ok = false;
                break;
            }
            uint64_t value = 0;  // little-endian: the low bytes hold the value
            if (!BBXReadMemory(reinterpret_cast<const void*>(a), &value, size)) {
                BBXSDKLog("%s: Error: DW_OP_deref failed to read memory\n", __func__);
                ok = false;
                break;
            }
            ok = push(machine, value);
            break;
        }
        default:
            if (opcode >= 0x30 && opcode <= 0x4f) {
                ok = push(machine, opcode - 0x30u);
            } else if (opcode >= 0x70 && opcode <= 0x8f) {
                int64_t offset = BBXDwarfReadSLEB128(&cursor);
                if (opcode > 0x80) {
                    BBXSDKLog("%s: Error: DW_OP_breg invalid register number\n", __func__);
                    ok = false;
                } else {
                    uint64_t value = BBXDwarfUnwindGetRegisterValue(machine->context, opcode - 0x70u);
                    ok = !cursor.failed && push(machine, value + static_cast<uint64_t>(offset));
                }
            } else {
                BBXSDKLog("%s: Error: Unrecognized DWARF expression opcode 0x%x\n", __func__, opcode);
                ok = false;
            }
            break;
    }
    if (cursor.failed) ok = false;
    machine->position = cursor.position;
    return ok;
}

bool BBXDwarfEvalulateExpression(const uint8_t* expression, const uint8_t* limit, const BBXThreadState* context,
                                 uint64_t initialValue, uint64_t* result) {
    BBXSDKLog("%s: starting at %p with initial value %lx\n", __func__, reinterpret_cast<uint64_t>(expression),
              initialValue);
    BBXDwarfExpressionMachine machine;
    machine.top = machine.stack;
    machine.context = context;
    if (!context || !result || !push(&machine, initialValue)) {
        BBXSDKLog("%s: Error: unable to init DWARF expression machine\n", __func__);
        return false;
    }
    if (!BBXDwarfExpressionMachinePrepareForExecution(&machine, expression, limit)) {
        BBXSDKLog("%s: Error: unable to prepare for execution\n", __func__);
        return false;
    }
    while (!BBXDwarfExpressionMachineIsFinished(&machine)) {
        if (!BBXDwarfExpressionMachineExecuteNextOpcode(&machine)) {
            BBXSDKLog("%s: Error: failed to execute DWARF machine opcode\n", __func__);
            return false;
        }
    }
    if (!BBXDwarfExpressionMachineGetResult(&machine, result)) {
        BBXSDKLog("%s: Error: failed to get DWARF expression result\n", __func__);
        return false;
    }
    BBXSDKLog("%s: successfully computed expression result\n", __func__);
    return true;
}

bool BBXDwarfGetCFA(const BBXDwarfState* state, const BBXThreadState* context, const uint8_t* limit, uint64_t* cfa) {
    if (state->cfaRegister == kBBXDwarfCFAExpressionRegister) {
        if (!BBXDwarfEvalulateExpression(state->cfaExpression, limit, context, 0, cfa)) {
            BBXSDKLog("%s: Error: failed to compute CFA expression\n", __func__);
            return false;
        }
        return true;
    }
    if (state->cfaRegister >= kBBXDwarfRegisterCount) return false;
    *cfa = BBXDwarfUnwindGetRegisterValue(context, state->cfaRegister) + static_cast<uint64_t>(state->cfaOffset);
    return true;
}

bool BBXDwarfGetSavedRegister(const BBXDwarfState* state, uint64_t number, uint64_t cfa,
                              const BBXThreadState* context, const uint8_t* limit, uint64_t* value) {
    BBXSDKLog("%s: Getting register %x\n", __func__, static_cast<unsigned>(number));
    *value = 0;
    uint64_t ruleValue = state->values[number];
    const auto* expression = reinterpret_cast<const uint8_t*>(ruleValue);
    switch (state->kinds[number]) {
        case BBXDwarfRuleOffset:
            if (!BBXReadMemory(reinterpret_cast<const void*>(cfa + ruleValue), value, 8)) {
                BBXSDKLog("%s: Error: Unable to read CFA value\n", __func__);
                *value = 0;
                return false;
            }
            return true;
        case BBXDwarfRuleValueOffset:
            BBXSDKLog("%s: Error: OffsetFromCFA unhandled\n", __func__);
            return false;
        case BBXDwarfRuleRegister:
            *value = BBXDwarfUnwindGetRegisterValue(context, ruleValue);
            return true;
        case BBXDwarfRuleExpression: {
            uint64_t address = 0;
            if (!BBXDwarfEvalulateExpression(expression, limit, context, cfa, &address) ||
                !BBXReadMemory(reinterpret_cast<const void*>(address), value, 8)) {
                BBXSDKLog("%s: Error: Unable to read memory computed from expression\n", __func__);
                *value = 0;
                return false;
            }
            return true;
        }
        case BBXDwarfRuleValueExpression:
            return BBXDwarfEvalulateExpression(expression, limit, context, cfa, value);
        default:
            BBXSDKLog("%s: Error: Unrecognized register save location 0x%x\n", __func__, state->kinds[number]);
            return false;
    }
}

bool BBXDwarfUnwindAssignRegisters(const BBXDwarfState* state, BBXThreadState* context, const uint8_t* limit) {
    uint64_t cfa = 0;
    if (!BBXDwarfGetCFA(state, context, limit, &cfa)) {
        BBXSDKLog("%s: Error: failed to get CFA\n", __func__);
        return false;
    }
    BBXThreadState caller = *context;
    for (uint64_t number = 0; number < kBBXDwarfRegisterCount; ++number) {
        if (state->kinds[number] == BBXDwarfRuleNone) continue;
        uint64_t value = 0;
        if (!BBXDwarfGetSavedRegister(state, number, cfa, context, limit, &value) ||
            !BBXDwarfUnwindSetRegisterValue(&caller, number, value)) {
            BBXSDKLog("%s: Error: Unable to restore register value\n", __func__);
            return false;
        }
    }
    if (!BBXDwarfUnwindSetRegisterValue(&caller, kBBXDwarfStackPointerRegister, cfa)) {
        BBXSDKLog("%s: Error: Unable to restore SP value\n", __func__);
        return false;
    }
    if (caller.rsp == context->rsp) {
        BBXSDKLog("%s: Error: Stack pointer hasn't changed\n", __func__);
        return false;
    }
    if (caller.rip == context->rip) {
        BBXSDKLog("%s: Error: PC hasn't changed\n", __func__);
        return false;
    }
    *context = caller;
    return true;
}

bool BBXDwarfUnwindComputeRegisters(const BBXDwarfRecord* record, BBXThreadState* context) {
    if (!record || !context) return false;
    const BBXDwarfCIERecord& cie = record->cie;
    const BBXDwarfFDERecord& fde = record->fde;
    BBXDwarfState initial;
    if (!BBXDwarfInstructionsEnumerate(cie.instructions, cie.instructionsLength, cie.delta, &cie, &initial,
                                       ~uint64_t(0), nullptr)) {
        BBXSDKLog("%s: Error: Unable to run CIE instructions\n", __func__);
        return false;
    }
    if (context->rip < fde.startAddress) {
        BBXSDKLog("%s: Error: The FDE pcOffset value cannot be negative\n", __func__);
        return false;
    }
    uint64_t pcOffset = context->rip - fde.startAddress;
    BBXDwarfState state = initial;
    if (!BBXDwarfInstructionsEnumerate(fde.instructions, fde.instructionsLength, fde.delta, &cie, &state, pcOffset,
                                       &initial)) {
        BBXSDKLog("%s: Error: Unable to run FDE instructions\n", __func__);
        return false;
    }
    if (!BBXDwarfUnwindAssignRegisters(&state, context, record->bytes + sizeof record->bytes)) {
        BBXSDKLog("%s: Error: Unable to assign DWARF registers\n", __func__);
        return false;
    }
    return true;
}
