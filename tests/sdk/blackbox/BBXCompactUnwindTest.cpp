// Compact unwind tables on byte fixtures: the first- and second-level
// lookups, the encodings of every mode, and the frameless permutations.
#include "sdk/blackbox/BBXCompactUnwind.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "sdk/blackbox/BBXDwarf.h"
#include "tests/sdk/blackbox/EhFrameBuilder.h"
#include "tests/sdk/blackbox/UnwindInfoBuilder.h"

namespace {

using blackboxtest::CompactEntry;
using blackboxtest::UnwindInfoBuilder;

uint64_t address(const void* pointer) { return reinterpret_cast<uint64_t>(pointer); }

constexpr uint32_t kFrame = 0x01000000;
constexpr uint32_t kFramelessImmediate = 0x02000000;
constexpr uint32_t kFramelessIndirect = 0x03000000;
constexpr uint32_t kDwarf = 0x04000000;

// An "image" of 0x4000 bytes with its table: page one (compressed) covers
// 0x1000-0x2000, page two (regular) 0x2000-0x3000.
struct CompactFixture {
    CompactFixture() : image(0x4000, 0) {
        UnwindInfoBuilder builder({kFrame, kFramelessImmediate | (2 << 16)});
        builder.addCompressedPage(0x1000,
                                  {{0x000, 0}, {0x100, 1}, {0x200, 2}, {0x280, 3}, {0x300, 4}},
                                  {kFrame | 0x10, 0, kFrame | 0x40});
        builder.addRegularPage(0x2000, {{0x2000, kFrame}});
        builder.setEnd(0x3000);
        info = builder.build();
    }
    uint64_t load() const { return address(image.data()); }
    bool lookup(uint64_t pc, BBXCompactUnwindResult* result) {
        BBXCompactUnwindContext context;
        if (!BBXCompactUnwindInit(&context, address(info.data()), 0, load())) return false;
        return BBXCompactUnwindLookup(&context, pc, result);
    }
    std::vector<uint8_t> image;
    std::vector<uint8_t> info;
};

TEST(BBXCompactUnwindTest, LooksUpEncodingsAndFunctionRanges) {
    CompactFixture fixture;
    struct Row {
        const char* name;
        uint64_t offset;  // PC from the load address
        bool found;
        uint32_t encoding;
        uint64_t start;
        uint64_t end;
    };
    const Row rows[] = {
        {"common encoding 0", 0x1050, true, kFrame, 0x1000, 0x1100},
        {"common encoding 1", 0x1100, true, kFramelessImmediate | (2 << 16), 0x1100, 0x1200},
        {"page encoding", 0x1250, true, kFrame | 0x10, 0x1200, 0x1280},
        {"encoding 0", 0x1290, false, 0, 0, 0},
        {"last entry ends at the next first-level entry", 0x1fff, true, kFrame | 0x40, 0x1300, 0x2000},
        {"regular page", 0x2050, false, 0, 0, 0},
        {"below the first entry", 0x0500, false, 0, 0, 0},
        {"past the sentinel", 0x3050, false, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BBXCompactUnwindResult result;
        ASSERT_EQ(fixture.lookup(fixture.load() + row.offset, &result), row.found);
        if (!row.found) continue;
        EXPECT_EQ(result.encoding, row.encoding);
        EXPECT_EQ(result.functionStart, fixture.load() + row.start);
        EXPECT_EQ(result.functionEnd, fixture.load() + row.end);
    }
    BBXCompactUnwindResult result;
    EXPECT_FALSE(fixture.lookup(fixture.load() - 1, &result));  // PC below the load address
}

TEST(BBXCompactUnwindTest, InitRefusesBadInputs) {
    CompactFixture fixture;
    BBXCompactUnwindContext context;
    EXPECT_FALSE(BBXCompactUnwindInit(nullptr, address(fixture.info.data()), 0, fixture.load()));
    EXPECT_FALSE(BBXCompactUnwindInit(&context, 0, 0, fixture.load()));
    EXPECT_FALSE(BBXCompactUnwindInit(&context, address(fixture.info.data()), 0, 100));
    fixture.info[0] = 2;  // version
    EXPECT_FALSE(BBXCompactUnwindInit(&context, address(fixture.info.data()), 0, fixture.load()));
}

// Every ordered choice of count registers among the six, encoded the way the
// linker writes it (the position of each among those still free, in mixed
// radix), must decode and remap back to itself.
TEST(BBXCompactUnwindTest, PermutationsDecodeLikeABruteForceReference) {
    const uint32_t radix[7][6] = {{}, {1}, {5, 1}, {20, 4, 1}, {60, 12, 3, 1}, {120, 24, 6, 2, 1},
                                  {120, 24, 6, 2, 1, 0}};
    for (uint32_t count = 1; count <= 6; ++count) {
        SCOPED_TRACE(count);
        std::vector<uint32_t> registers = {1, 2, 3, 4, 5, 6};
        int checked = 0;
        do {
            // Each permutation of the six, cut to count, once per distinct prefix.
            if (!std::is_sorted(registers.begin() + count, registers.end())) continue;
            bool taken[7] = {};
            uint32_t permutation = 0;
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t position = 0;
                for (uint32_t r = 1; r < registers[i]; ++r) position += taken[r] ? 0 : 1;
                taken[registers[i]] = true;
                permutation += position * radix[count][i];
            }
            uint32_t decoded[6] = {};
            uint32_t remapped[6] = {};
            ASSERT_TRUE(BBXCompactUnwindDecompressPermutation(count, permutation, decoded));
            ASSERT_TRUE(BBXCompactUnwindRemapRegisters(count, decoded, remapped));
            for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(remapped[i], registers[i]) << "permutation " << permutation;
            ++checked;
        } while (std::next_permutation(registers.begin(), registers.end()));
        const int expected[7] = {1, 6, 30, 120, 360, 720, 720};
        EXPECT_EQ(checked, expected[count]);
    }
    uint32_t decoded[6] = {};
    uint32_t remapped[6] = {};
    ASSERT_TRUE(BBXCompactUnwindDecompressPermutation(3, 0, decoded));
    ASSERT_TRUE(BBXCompactUnwindRemapRegisters(3, decoded, remapped));
    EXPECT_EQ((std::vector<uint32_t>(remapped, remapped + 3)), (std::vector<uint32_t>{1, 2, 3}));  // rbx, r12, r13
    EXPECT_FALSE(BBXCompactUnwindDecompressPermutation(7, 0, decoded));
}

TEST(BBXCompactUnwindTest, ComputesTheCallerForEveryMode) {
    // The function's code: its stack-adjusting instruction's immediate (0x18)
    // at offset 3, for the indirect mode.
    std::vector<uint8_t> function(16, 0x90);
    uint32_t immediate = 0x18;
    std::memcpy(function.data() + 3, &immediate, 4);
    uint64_t stack[8] = {0xa000, 0xa001, 0xa002, 0xa003, 0xa004, 0xa005, 0xa006, 0xa007};
    uint64_t frame[2] = {0xf00d, 0x5151};

    blackboxtest::EhFrameBuilder eh;
    blackboxtest::CIESpec absolute;  // the buffers may lie far apart
    absolute.pointerEncoding = 0x00;
    eh.addFDE(eh.addCIE(absolute), address(function.data()), 16, {0x0e, 0x10});
    std::vector<uint8_t> ehFrame(eh.size());
    std::vector<uint8_t> laidOut = eh.bytesAt(address(ehFrame.data()));
    std::copy(laidOut.begin(), laidOut.end(), ehFrame.begin());

    struct Row {
        const char* name;
        uint32_t encoding;
        bool ok;
        uint64_t pc;
        uint64_t sp;
        uint64_t fp;
    };
    uint64_t base = address(stack);
    const Row rows[] = {
        {"frame based", kFrame, true, 0x5151, address(frame) + 16, 0xf00d},
        // Three registers (rbx, r12, r13) below the return address, 32 bytes.
        {"frameless, count 3, permutation 0", kFramelessImmediate | (4 << 16) | (3 << 10), true, 0xa003, base + 32, 0x77},
        // rbp alone (permutation 5 of count 1): read back into FP.
        {"frameless, rbp saved", kFramelessImmediate | (2 << 16) | (1 << 10) | 5, true, 0xa001, base + 16, 0xa000},
        // Indirect: 0x18 read at function + 3, plus 1 × 8: 32 bytes.
        {"frameless, indirect size", kFramelessIndirect | (3 << 16) | (1 << 13), true, 0xa003, base + 32, 0x77},
        {"count 7 refused", kFramelessImmediate | (4 << 16) | (7 << 10), false, 0, 0, 0},
        {"dwarf", kDwarf | static_cast<uint32_t>(eh.fdeOffset(0)), true, 0xa001, base + 16, 0x77},
        {"unknown mode", 0x05000000, false, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BBXCompactUnwindContext context;
        context.ehFrame = address(ehFrame.data());
        BBXCompactUnwindResult result;
        result.encoding = row.encoding;
        result.functionStart = address(function.data());
        result.functionEnd = result.functionStart + 16;
        BBXThreadState state{};
        state.rip = result.functionStart + 8;
        state.rsp = base;
        state.rbp = row.encoding == kFrame ? address(frame) : 0x77;
        ASSERT_EQ(BBXCompactUnwindComputeRegisters(&context, &result, &state), row.ok);
        if (!row.ok) continue;
        EXPECT_EQ(state.rip, row.pc);
        EXPECT_EQ(state.rsp, row.sp);
        EXPECT_EQ(state.rbp, row.fp);
    }
}

}  // namespace
