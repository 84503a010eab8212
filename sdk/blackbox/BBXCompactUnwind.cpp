#include "sdk/blackbox/BBXCompactUnwind.h"

#include "sdk/blackbox/BBXDwarf.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

// The first-level index has one entry per second-level page; a count beyond
// any real image's is a damaged table, not worth a read per entry.
constexpr uint32_t kIndexLimit = 65536;

bool read32(uintptr_t address, uint32_t* value) {
    return BBXReadMemory(reinterpret_cast<const void*>(address), value, sizeof *value);
}

bool read16(uintptr_t address, uint16_t* value) {
    return BBXReadMemory(reinterpret_cast<const void*>(address), value, sizeof *value);
}

// The compressed page at page: encoding, start and end of the function that
// holds pc.
bool lookupCompressed(BBXCompactUnwindContext* context, uintptr_t page, uintptr_t pc, BBXCompactUnwindResult* result) {
    const char* fn = "BBXCompactUnwindLookup";
    uint16_t entryOffset = 0, entryCount = 0, encodingsOffset = 0, encodingsCount = 0;
    if (!read16(page + 4, &entryOffset) || !read16(page + 6, &entryCount) || !read16(page + 8, &encodingsOffset) ||
        !read16(page + 10, &encodingsCount) || entryCount == 0)
        return false;
    uintptr_t base = context->loadAddress + context->functionOffset;
    uintptr_t target = 0;
    if (pc > base) target = pc - base;
    else BBXSDKLog("%s: Error: PC is invalid\n", fn);
    // The last entry whose function offset is not above the target.
    uint32_t low = 0, high = entryCount;
    while (high - low > 1) {
        uint32_t middle = low + (high - low) / 2;
        uint32_t entry = 0;
        if (!read32(page + entryOffset + middle * 4u, &entry)) return false;
        if ((entry & 0x00ffffff) <= target) low = middle;
        else high = middle;
    }
    uint32_t entry = 0;
    if (!read32(page + entryOffset + low * 4u, &entry) || (entry & 0x00ffffff) > target) {
        BBXSDKLog("%s: Unable to find PC in second level\n", fn);
        return false;
    }
    result->functionStart = base + (entry & 0x00ffffff);
    if (low + 1 < entryCount) {
        uint32_t next = 0;
        if (!read32(page + entryOffset + (low + 1) * 4u, &next)) return false;
        result->functionEnd = base + (next & 0x00ffffff);
    } else {
        result->functionEnd = context->loadAddress + context->nextFunctionOffset;
    }
    if (pc < result->functionStart || pc >= result->functionEnd) {
        BBXSDKLog("%s: PC does not match computed function range\n", fn);
        return false;
    }
    uint32_t index = entry >> 24;
    uint32_t encoding = 0;
    if (index < context->commonEncodingsArrayCount) {
        if (!read32(context->unwindInfo + context->commonEncodingsArraySectionOffset + index * 4u, &encoding))
            return false;
    } else {
        uint32_t pageIndex = index - context->commonEncodingsArrayCount;
        if (pageIndex >= encodingsCount || !read32(page + encodingsOffset + pageIndex * 4u, &encoding)) return false;
    }
    if (encoding == 0) {
        BBXSDKLog("%s: Entry has has no unwind info\n", fn);
        return false;
    }
    result->encoding = encoding;
    return true;
}

bool restoreRegisters(BBXThreadState* threadContext, uint32_t count, const uint32_t registers[6], uintptr_t address) {
    const char* fn = "BBXCompactUnwindRestoreRegisters";
    for (uint32_t i = 0; i < count; ++i, address += 8) {
        if (registers[i] != 6) {
            BBXSDKLog("%s: Error: skipping a restore of register %d at %p\n", fn, static_cast<int>(registers[i]),
                      static_cast<uint64_t>(address));
            continue;
        }
        uint64_t value = 0;
        if (!BBXReadMemory(reinterpret_cast<const void*>(address), &value, sizeof value)) {
            BBXSDKLog("%s: Error: unable to read memory to set register\n", fn);
            return false;
        }
        if (!threadContext) {
            BBXSDKLog("%s: Error: unable to set FP\n", fn);
            return false;
        }
        threadContext->rbp = value;
    }
    return true;
}

bool frameless(const BBXCompactUnwindResult* result, BBXThreadState* threadContext) {
    const char* fn = "BBXCompactUnwindFrameless";
    uint32_t encoding = result->encoding;
    BBXSDKLog("%s: Frameless unwind encountered with encoding %x\n", fn, encoding);
    uint32_t stackSize = 0;
    if (!BBXCompactUnwindComputeStackSize(encoding, result->functionStart, &stackSize)) {
        BBXSDKLog("%s: Error: unable to compute stack size for encoding %x\n", fn, encoding);
        return false;
    }
    uint32_t count = (encoding >> 10) & 0x7;
    if (count == 7) {
        BBXSDKLog("%s: Error: unhandled number of register permutations for encoding %x\n", fn, encoding);
        return false;
    }
    uint32_t decoded[6] = {};
    if (!BBXCompactUnwindDecompressPermutation(count, encoding & 0x3ff, decoded)) {
        BBXSDKLog("%s: Error: unable to decompress registers %x\n", fn, encoding);
        return false;
    }
    uint32_t registers[6] = {};
    if (!BBXCompactUnwindRemapRegisters(count, decoded, registers)) {
        BBXSDKLog("%s: Error: unable to remap registers %x\n", fn, encoding);
        return false;
    }
    uintptr_t saved = threadContext->rsp + stackSize - 8 - count * 8u;
    if (!restoreRegisters(threadContext, count, registers, saved)) {
        BBXSDKLog("%s: Error: unable to restore registers\n", fn);
        return false;
    }
    uintptr_t returnAddress = saved + count * 8u;
    BBXSDKLog("%s: SP is %p and we are reading %p\n", fn, threadContext->rsp, static_cast<uint64_t>(returnAddress));
    uint64_t pc = 0;
    if (!BBXReadMemory(reinterpret_cast<const void*>(returnAddress), &pc, sizeof pc)) return false;
    BBXSDKLog("%s: Read PC to be %p\n", fn, pc);
    if (pc < 4096) {
        BBXSDKLog("%s: Error: computed PC is invalid\n", fn);
        return false;
    }
    threadContext->rip = pc;
    threadContext->rsp = returnAddress + 8;
    return true;
}

}  // namespace

bool BBXCompactUnwindInit(BBXCompactUnwindContext* context, uintptr_t unwindInfo, uintptr_t ehFrame,
                          uintptr_t loadAddress) {
    if (reinterpret_cast<uintptr_t>(context) < 4096) {
        BBXSDKLog("%s: Error: invalid context passed to compact unwind init", __func__);
        return false;
    }
    if (unwindInfo < 4096) {
        BBXSDKLog("%s: Error: invalid unwind info passed to compact unwind init", __func__);
        return false;
    }
    if (loadAddress < 4096) {
        BBXSDKLog("%s: Error: invalid load address passed to compact unwind init", __func__);
        return false;
    }
    *context = BBXCompactUnwindContext{};
    context->unwindInfo = unwindInfo;
    context->ehFrame = ehFrame;
    context->loadAddress = loadAddress;
    uint32_t header[7];
    if (!BBXReadMemory(reinterpret_cast<const void*>(unwindInfo), header, sizeof header)) {
        BBXSDKLog("%s: Error: could not read memory contents of unwindInfo\n", __func__);
        return false;
    }
    context->version = header[0];
    context->commonEncodingsArraySectionOffset = header[1];
    context->commonEncodingsArrayCount = header[2];
    context->personalityArraySectionOffset = header[3];
    context->personalityArrayCount = header[4];
    context->indexSectionOffset = header[5];
    context->indexCount = header[6];
    if (context->version != 1) {
        BBXSDKLog("%s: Error: bad unwind_info structure version (%d != %d)\n", __func__,
                  static_cast<int>(context->version), 1);
        return false;
    }
    return true;
}

bool BBXCompactUnwindLookup(BBXCompactUnwindContext* context, uintptr_t pc, BBXCompactUnwindResult* result) {
    if (!context || !result || pc < context->loadAddress) return false;
    uintptr_t offset = pc - context->loadAddress;
    uintptr_t index = context->unwindInfo + context->indexSectionOffset;
    bool found = false;
    if (context->indexCount >= 2) {
        uint32_t entry[3];
        uint32_t next[3];
        if (!BBXReadMemory(reinterpret_cast<const void*>(index), entry, sizeof entry)) return false;
        uint32_t count = context->indexCount < kIndexLimit ? context->indexCount : kIndexLimit;
        for (uint32_t i = 0; i + 1 < count; ++i) {
            if (!BBXReadMemory(reinterpret_cast<const void*>(index + (i + 1) * 12u), next, sizeof next)) return false;
            if (entry[0] <= offset && offset < next[0]) {
                context->functionOffset = entry[0];
                context->secondLevelPageOffset = entry[1];
                context->lsdaOffset = entry[2];
                context->nextFunctionOffset = next[0];
                found = true;
                break;
            }
            entry[0] = next[0], entry[1] = next[1], entry[2] = next[2];
        }
    }
    if (!found) {
        BBXSDKLog("%s: Unable to find pc in first level\n", __func__);
        return false;
    }
    BBXSDKLog("%s: Found first level (second => %u)\n", __func__, context->secondLevelPageOffset);
    uintptr_t page = context->unwindInfo + context->secondLevelPageOffset;
    uint32_t kind = 0;
    bool ok = false;
    if (read32(page, &kind)) {
        if (kind == 3) {
            BBXSDKLog("%s: Found a second level compressed header\n", __func__);
            ok = lookupCompressed(context, page, pc, result);
        } else if (kind == 2) {
            BBXSDKLog("%s: Found a second level regular header\n", __func__);
            BBXSDKLog("%s: Encountered a regular second-level page\n", __func__);
        } else {
            BBXSDKLog("%s: Unrecognized header kind - unable to continue\n", __func__);
        }
    }
    if (!ok) BBXSDKLog("%s: Second-level PC lookup failed\n", __func__);
    return ok;
}

bool BBXCompactUnwindLookupAndCompute(BBXCompactUnwindContext* context, BBXThreadState* threadContext) {
    if (!context || !threadContext) return false;
    BBXCompactUnwindResult result;
    return BBXCompactUnwindLookup(context, threadContext->rip, &result) &&
           BBXCompactUnwindComputeRegisters(context, &result, threadContext);
}

bool BBXCompactUnwindComputeRegisters(BBXCompactUnwindContext* context, const BBXCompactUnwindResult* result,
                                      BBXThreadState* threadContext) {
    if (!context || !result || !threadContext) return false;
    BBXSDKLog("%s: Computing registers for encoding %x\n", __func__, result->encoding);
    switch (result->encoding & kBBXCompactUnwindModeMask) {
        case kBBXCompactUnwindModeFrame: return BBXCompactUnwindBPFrame(threadContext);
        case kBBXCompactUnwindModeFramelessImmediate:
        case kBBXCompactUnwindModeFramelessIndirect: return frameless(result, threadContext);
        case kBBXCompactUnwindModeDwarf:
            return BBXCompactUnwindDwarfFrame(context, result->encoding & 0x00ffffff, threadContext);
        default: BBXSDKLog("%s: Invalid encoding %x\n", __func__, result->encoding); return false;
    }
}

bool BBXCompactUnwindDwarfFrame(BBXCompactUnwindContext* context, uintptr_t offset, BBXThreadState* threadContext) {
    BBXSDKLog("%s: Trying to read dwarf data with offset %lx\n", __func__, static_cast<uint64_t>(offset));
    BBXDwarfRecord record;
    if (!BBXDwarfInitFromFDE(&record, context->ehFrame, offset)) {
        BBXSDKLog("%s: Error: Unable to init FDE\n", __func__);
        return false;
    }
    if (!BBXDwarfUnwindComputeRegisters(&record, threadContext)) {
        BBXSDKLog("%s: Error: failed to compute DWARF registers\n", __func__);
        return false;
    }
    return true;
}

bool BBXCompactUnwindBPFrame(BBXThreadState* threadContext) {
    uint64_t frame[2];
    uint64_t fp = threadContext->rbp;
    if (!BBXReadMemory(reinterpret_cast<const void*>(fp), frame, sizeof frame)) {
        BBXSDKLog("%s: Error: failed to read memory at address %p\n", __func__, fp);
        return false;
    }
    threadContext->rip = frame[1];
    threadContext->rbp = frame[0];
    threadContext->rsp = fp + 16;
    return true;
}

bool BBXCompactUnwindDecompressPermutation(uint32_t count, uint32_t p, uint32_t decoded[6]) {
    switch (count) {
        case 6:
        case 5:
            decoded[0] = p / 120;
            decoded[1] = (p % 120) / 24;
            decoded[2] = (p % 24) / 6;
            decoded[3] = (p % 6) / 2;
            decoded[4] = p % 2;
            decoded[5] = 0;
            return true;
        case 4:
            decoded[0] = p / 60;
            decoded[1] = (p % 60) / 12;
            decoded[2] = (p % 12) / 3;
            decoded[3] = p % 3;
            return true;
        case 3:
            decoded[0] = p / 20;
            decoded[1] = (p % 20) / 4;
            decoded[2] = p % 4;
            return true;
        case 2:
            decoded[0] = p / 5;
            decoded[1] = p % 5;
            return true;
        case 1: decoded[0] = p; return true;
        case 0: return true;
        default: return false;
    }
}

bool BBXCompactUnwindRemapRegisters(uint32_t count, const uint32_t decoded[6], uint32_t registers[6]) {
    if (count > 6) return false;
    bool taken[7] = {};
    for (uint32_t i = 0; i < count; ++i) {
        // The decoded value is a position among the numbers still free.
        uint32_t position = decoded[i];
        uint32_t chosen = 0;
        for (uint32_t number = 1; number <= 6; ++number) {
            if (taken[number]) continue;
            if (position == 0) {
                chosen = number;
                break;
            }
            --position;
        }
        if (chosen == 0) return false;
        taken[chosen] = true;
        registers[i] = chosen;
    }
    return true;
}

bool BBXCompactUnwindComputeStackSize(uint32_t encoding, uintptr_t functionStart, uint32_t* stackSize) {
    uint32_t field = (encoding >> 16) & 0xff;
    if ((encoding & kBBXCompactUnwindModeMask) == kBBXCompactUnwindModeFramelessImmediate) {
        *stackSize = field * 8;
        return true;
    }
    uint32_t immediate = 0;
    if (!read32(functionStart + field, &immediate)) {
        BBXSDKLog("%s: Error: unable to read subl value\n", __func__);
        return false;
    }
    *stackSize = immediate + ((encoding >> 13) & 0x7) * 8;
    return true;
}
