#include "tests/sdk/blackbox/UnwindFuzz.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "sdk/blackbox/BBXCompactUnwind.h"
#include "sdk/blackbox/BBXDwarf.h"
#include "sdk/blackbox/BBXUnwind.h"

namespace blackboxtest {

std::vector<uint8_t> unwindFuzzInput(uint16_t fdeOffset, uint16_t headerOffset, uint32_t pcOffset,
                                     const std::vector<uint8_t>& blob) {
    std::vector<uint8_t> input(8 + blob.size());
    std::memcpy(input.data(), &fdeOffset, 2);
    std::memcpy(input.data() + 2, &headerOffset, 2);
    std::memcpy(input.data() + 4, &pcOffset, 4);
    std::copy(blob.begin(), blob.end(), input.begin() + 8);
    return input;
}

int exerciseUnwindTables(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    uint16_t fdeOffset, headerOffset;
    uint32_t pcOffset;
    std::memcpy(&fdeOffset, data, 2);
    std::memcpy(&headerOffset, data + 2, 2);
    std::memcpy(&pcOffset, data + 4, 4);
    data += 8;
    size -= 8;

    const size_t page = 4096;
    size_t span = (size + page - 1) / page * page;
    void* mapping = mmap(nullptr, span + 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return 0;
    auto* inside = static_cast<uint8_t*>(mapping) + page;
    mprotect(inside, span, PROT_READ | PROT_WRITE);
    uint8_t* blob = inside + (span - size);  // ends at the guard page
    std::memcpy(blob, data, size);
    const auto base = reinterpret_cast<uintptr_t>(blob);
    const uintptr_t pc = base + pcOffset % (size + 64);

    // A stack inside the blob, so rules that read it find bytes of the input.
    BBXThreadState state{};
    state.rip = pc;
    state.rsp = base + (size / 2 & ~size_t(7));
    state.rbp = base + (size / 4 & ~size_t(7));

    int reached = 0;
    BBXCompactUnwindContext compact;
    if (BBXCompactUnwindInit(&compact, base, base, base)) {
        BBXCompactUnwindResult result;
        if (BBXCompactUnwindLookup(&compact, pc, &result)) {
            reached |= 1;
            BBXThreadState registers = state;
            if (BBXCompactUnwindComputeRegisters(&compact, &result, &registers)) reached |= 2;
        }
    }

    BBXDwarfRecord record;
    if (BBXDwarfInitFromFDE(&record, base, fdeOffset % size)) {
        BBXThreadState registers = state;
        registers.rip = record.fde.startAddress + pcOffset % 64;
        reached |= 4;
        if (BBXDwarfUnwindComputeRegisters(&record, &registers)) reached |= 8;
    }

    uint64_t value = 0;
    size_t expression = headerOffset % size;
    if (BBXDwarfEvalulateExpression(blob + expression, blob + size, &state, base, &value)) reached |= 16;

    bool signalFrame = false;
    BBXThreadState registers = state;
    if (BBXUnwindWithEhFrameHeader(base + expression, &registers, &signalFrame)) reached |= 32;

    munmap(mapping, span + 2 * page);
    return reached;
}

}  // namespace blackboxtest
