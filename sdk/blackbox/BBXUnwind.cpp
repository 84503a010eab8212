#include "sdk/blackbox/BBXUnwind.h"

#include "sdk/blackbox/BBXBinaryImage.h"
#include "sdk/blackbox/BBXDwarf.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

bool present(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer) >= 4096; }

// Bytes of a fixed-size pointer encoding; 0 for the variable-length ones.
size_t encodedSize(uint8_t encoding) {
    switch (encoding & 0x0f) {
        case 0x0: case 0x4: case 0xc: return 8;
        case 0x2: case 0xa: return 2;
        case 0x3: case 0xb: return 4;
        default: return 0;
    }
}

// One encoded value of size bytes at address, read through the checked read.
bool readEncoded(uintptr_t address, uint8_t encoding, size_t size, uintptr_t dataBase, uint64_t* value) {
    uint8_t bytes[8];
    if (size == 0 || size > sizeof bytes || !BBXReadMemory(reinterpret_cast<const void*>(address), bytes, size))
        return false;
    BBXDwarfCursor cursor{bytes, bytes + size, static_cast<intptr_t>(address - reinterpret_cast<uintptr_t>(bytes)),
                          false};
    *value = BBXParseAddressWithEncodingAndBase(&cursor, encoding, dataBase);
    return !cursor.failed;
}

// The image's own tables: compact unwind when it has them, else the DWARF
// rules its .eh_frame_hdr leads to.
bool unwindWithImageTables(BBXUnwindContext* context) {
    const char* fn = "BBXUnwindWithCompactUnwindInfo";
    BBXThreadState* registers = &context->registers;
    uint64_t pc = registers->rip;
    BBXBinaryImageNode node;
    if (!BBXBinaryImageSafeFindImageForAddress(pc, &node)) {
        BBXSDKLog("%s: Unable to find binary for %p\n", fn, pc);
        return false;
    }
    BBXSDKLog("%s: Binary image for %p at %p\n", fn, pc, static_cast<uint64_t>(node.base));
    if (!BBXBinaryImageHasUnwindInfo(&node)) {
        BBXSDKLog("%s: Binary image at %p has no unwind info\n", fn, static_cast<uint64_t>(node.base));
        bool signalFrame = false;
        if (node.ehFrameHdr == 0 || !BBXUnwindWithEhFrameHeader(node.ehFrameHdr, registers, &signalFrame))
            return false;
        // The caller of a signal frame was interrupted, not calling.
        context->pcIsReturnAddress = !signalFrame;
        return true;
    }
    if (!BBXCompactUnwindInit(&context->compact, node.unwindInfo, node.ehFrame, node.base)) {
        BBXSDKLog("%s: Error: Unable to read unwind info\n", fn);
        return false;
    }
    if (!BBXCompactUnwindLookupAndCompute(&context->compact, registers)) return false;
    context->pcIsReturnAddress = true;
    return true;
}

bool unwindUsingAllStrategies(BBXUnwindContext* context, bool firstStep) {
    const char* fn = "BBXUnwindNextFrameUsingAllStrategies";
    if (unwindWithImageTables(context)) return true;
    context->pcIsReturnAddress = true;
    if (context->registers.rbp == 0) {
        BBXSDKLog("%s: FP is zero, aborting unwind\n", fn);
        context->registers.rip = 0;
        return true;
    }
    if (!BBXUnwindWithFramePointer(context, firstStep)) {
        BBXSDKLog("%s: Error: Unable to use frame pointer\n", fn);
        return false;
    }
    return true;
}

}  // namespace

uint64_t BBXThreadContextGetPC(const BBXThreadState* context) { return present(context) ? context->rip : 0; }
uint64_t BBXThreadContextGetSP(const BBXThreadState* context) { return present(context) ? context->rsp : 0; }
uint64_t BBXThreadContextGetFP(const BBXThreadState* context) { return present(context) ? context->rbp : 0; }

bool BBXThreadContextSetPC(BBXThreadState* context, uint64_t value) {
    if (!present(context)) return false;
    context->rip = value;
    return true;
}

bool BBXThreadContextSetSP(BBXThreadState* context, uint64_t value) {
    if (!present(context)) return false;
    context->rsp = value;
    return true;
}

bool BBXThreadContextSetFP(BBXThreadState* context, uint64_t value) {
    if (!present(context)) return false;
    context->rbp = value;
    return true;
}

bool BBXUnwindInitContext(BBXUnwindContext* context, const BBXThreadState* state, bool interrupted) {
    if (!present(context) || !present(state)) return false;
    *context = BBXUnwindContext{};
    context->registers = *state;
    context->pcIsReturnAddress = !interrupted;
    return true;
}

uint64_t BBXUnwindGetPC(const BBXUnwindContext* context) {
    return present(context) ? BBXThreadContextGetPC(&context->registers) : 0;
}

uint64_t BBXUnwindGetSP(const BBXUnwindContext* context) {
    return present(context) ? BBXThreadContextGetSP(&context->registers) : 0;
}

bool BBXUnwindIsValidContext(const BBXUnwindContext* context) {
    return BBXUnwindGetPC(context) >= 4096 && BBXUnwindGetSP(context) >= 4096;
}

bool BBXUnwindNextFrame(BBXUnwindContext* context) {
    if (!present(context)) {
        BBXSDKLog("%s: Error: invalid inputs\n", __func__);
        return false;
    }
    // The first frame is where the thread stopped, known from its PC alone:
    // a thread that wrecked its stack pointer still shows the instruction it
    // stopped at. Every later step reads the stack, so needs both.
    bool valid = context->frameCount == 0 ? BBXUnwindGetPC(context) >= 4096 : BBXUnwindIsValidContext(context);
    if (!valid) {
        BBXSDKLog(context->frameCount == 0 ? "%s: Cancelling unwind for thread with invalid PC/SP\n"
                                           : "%s: Error: thread PC/SP invalid before unwind\n",
                  __func__);
        return false;
    }
    if (context->frameCount >= kBBXUnwindMaximumFrames) {
        BBXSDKLog("%s: Error: failed to advance to the next frame\n", __func__);
        return false;
    }
    if (context->frameCount == 0) {
        context->frameCount = 1;
        return true;
    }
    // A return address points after its call; one less lies inside it.
    if (context->pcIsReturnAddress) context->registers.rip -= 1;
    if (!unwindUsingAllStrategies(context, context->frameCount == 1)) return false;
    if (context->registers.rip < 4096) return false;
    if (context->registers.rsp < 4096) {
        BBXSDKLog("%s: Error: SP (%p) isn't a valid pointer\n", __func__, context->registers.rsp);
        return false;
    }
    context->frameCount += 1;
    return true;
}

bool BBXUnwindAddressIsInImage(uintptr_t address) {
    BBXBinaryImageNode node;
    return BBXBinaryImageSafeFindImageForAddress(address, &node);
}

bool BBXUnwindFirstExecutableAddress(uintptr_t start, uintptr_t end, uint64_t* address) {
    // Bounded: in code built without frame pointers FP holds anything, and a
    // large one would keep a crashing process scanning for minutes. Words are
    // read a block at a time; a block that cannot be read whole is read word
    // by word, up to its first unreadable word, where the scan stops.
    constexpr uint32_t kBlockWords = 32;
    uint64_t block[kBlockWords];
    uint32_t words = 0;
    uintptr_t at = start;
    while (at < end && words < kBBXUnwindMaximumScanWords) {
        uint32_t count = kBlockWords;
        if (kBBXUnwindMaximumScanWords - words < count) count = kBBXUnwindMaximumScanWords - words;
        if ((end - at) / 8 < count) count = static_cast<uint32_t>((end - at + 7) / 8);
        bool whole = BBXReadMemory(reinterpret_cast<const void*>(at), block, count * 8u);
        for (uint32_t i = 0; i < count; ++i, at += 8, ++words) {
            if (!whole && !BBXReadMemory(reinterpret_cast<const void*>(at), &block[i], 8)) return false;
            uint64_t word = block[i];
            // Both of a word's lines in one write.
            BBXSDKLog("%s: Checking address %p => %p\n%s: Checking for executable %p\n", __func__,
                      static_cast<uint64_t>(at), word, __func__, word);
            if (BBXUnwindAddressIsInImage(word)) {
                *address = word;
                return true;
            }
        }
        if (at < start) break;  // wrapped around the top of the address space
    }
    return false;
}

bool BBXUnwindWithFramePointer(BBXUnwindContext* context, bool allowStackScan) {
    if (!present(context)) return false;
    BBXThreadState* registers = &context->registers;
    if (allowStackScan) {
        BBXSDKLog("%s: Attempting stack scan\n", __func__);
        uint64_t word = 0;
        if (BBXUnwindFirstExecutableAddress(registers->rsp, registers->rbp, &word)) {
            BBXSDKLog("%s: Stack scan successful\n", __func__);
            registers->rip = word;
            return true;
        }
    }
    return BBXCompactUnwindBPFrame(registers);
}

bool BBXUnwindFindFDE(uintptr_t header, uintptr_t pc, uintptr_t* fde, uintptr_t* ehFrame) {
    const char* fn = "BBXUnwindFindFDE";
    uint8_t head[4];
    if (!BBXReadMemory(reinterpret_cast<const void*>(header), head, sizeof head)) {
        BBXSDKLog("%s: Error: unable to read the search table header at %p\n", fn, static_cast<uint64_t>(header));
        return false;
    }
    size_t pointerSize = encodedSize(head[1]);
    size_t countSize = encodedSize(head[2]);
    size_t fieldSize = encodedSize(head[3]);
    if (head[0] != 1 || head[1] == 0xff || head[2] == 0xff || head[3] == 0xff || !pointerSize || !countSize ||
        !fieldSize) {
        BBXSDKLog("%s: Error: unusable search table at %p\n", fn, static_cast<uint64_t>(header));
        return false;
    }
    uint64_t sectionAddress = 0;
    uint64_t count = 0;
    if (!readEncoded(header + 4, head[1], pointerSize, header, &sectionAddress) ||
        !readEncoded(header + 4 + pointerSize, head[2], countSize, header, &count) || count == 0)
        return false;
    uintptr_t table = header + 4 + pointerSize + countSize;
    size_t entrySize = 2 * fieldSize;
    // The last entry whose function starts at or below pc.
    uint64_t low = 0, high = count;
    uint64_t start = 0;
    if (!readEncoded(table, head[3], fieldSize, header, &start) || start > pc) {
        BBXSDKLog("%s: No FDE covers %p\n", fn, static_cast<uint64_t>(pc));
        return false;
    }
    while (high - low > 1) {
        uint64_t middle = low + (high - low) / 2;
        if (!readEncoded(table + middle * entrySize, head[3], fieldSize, header, &start)) return false;
        if (start <= pc) low = middle;
        else high = middle;
    }
    uint64_t address = 0;
    if (!readEncoded(table + low * entrySize + fieldSize, head[3], fieldSize, header, &address)) return false;
    *fde = static_cast<uintptr_t>(address);
    *ehFrame = static_cast<uintptr_t>(sectionAddress);
    return true;
}

bool BBXUnwindWithEhFrameHeader(uintptr_t header, BBXThreadState* registers, bool* signalFrame) {
    const char* fn = "BBXUnwindWithEhFrameHeader";
    uintptr_t fde = 0;
    uintptr_t ehFrame = 0;
    if (!BBXUnwindFindFDE(header, registers->rip, &fde, &ehFrame)) return false;
    BBXDwarfRecord record;
    if (fde < ehFrame || !BBXDwarfInitFromFDE(&record, ehFrame, fde - ehFrame)) {
        BBXSDKLog("%s: Error: Unable to init FDE\n", fn);
        return false;
    }
    uint64_t pc = registers->rip;
    if (pc < record.fde.startAddress || pc - record.fde.startAddress >= record.fde.addressRange) {
        BBXSDKLog("%s: No FDE covers %p\n", fn, pc);
        return false;
    }
    if (!BBXDwarfUnwindComputeRegisters(&record, registers)) {
        BBXSDKLog("%s: Error: failed to compute DWARF registers\n", fn);
        return false;
    }
    *signalFrame = record.cie.signalFrame;
    return true;
}
