// The DWARF call-frame machinery on byte fixtures: CIE and FDE parsing, the
// instruction interpreter's rows, register recovery, the expression machine,
// and the .eh_frame_hdr search table.
#include "sdk/blackbox/BBXDwarf.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "sdk/blackbox/BBXUnwind.h"
#include "tests/sdk/blackbox/EhFrameBuilder.h"

namespace {

using blackboxtest::CIESpec;
using blackboxtest::EhFrameBuilder;
using blackboxtest::UnwindBytes;

uint64_t address(const void* pointer) { return reinterpret_cast<uint64_t>(pointer); }

// Fixture bytes and the "code" they describe share one static arena, so
// the 32-bit pc- and data-relative offsets reach between them.
alignas(16) uint8_t gArena[1 << 20];
size_t gArenaUsed = 0x1000;  // the first page is the code
uint8_t* arenaBytes(size_t size) {
    uint8_t* bytes = gArena + gArenaUsed;
    gArenaUsed += (size + 15) & ~size_t(15);
    if (gArenaUsed > sizeof gArena) std::abort();
    return bytes;
}
uint64_t code(uint64_t offset) { return address(gArena) + offset; }

// Tables laid out in memory: ".eh_frame" then ".eh_frame_hdr".
struct Tables {
    explicit Tables(const EhFrameBuilder& builder) : bytes(arenaBytes(builder.size() + builder.headerSize())) {
        UnwindBytes frame = builder.bytesAt(address(bytes));
        std::memcpy(bytes, frame.data(), frame.size());
        header = bytes + frame.size();
        UnwindBytes table = builder.headerAt(address(header), address(bytes));
        std::memcpy(header, table.data(), table.size());
    }
    uint64_t ehFrame() const { return address(bytes); }
    uint8_t* bytes = nullptr;
    uint8_t* header = nullptr;
};

CIESpec bareCIE() {
    CIESpec cie;
    cie.instructions = {};
    return cie;
}

// One FDE over code(0x100)..code(0x200) under cie; the caller's registers
// from state, or nullopt when the DWARF step fails.
std::optional<BBXThreadState> step(const CIESpec& cie, const UnwindBytes& instructions, BBXThreadState state) {
    EhFrameBuilder builder;
    builder.addFDE(builder.addCIE(cie), code(0x100), 0x100, instructions);
    Tables tables(builder);
    BBXDwarfRecord record;
    if (!BBXDwarfInitFromFDE(&record, tables.ehFrame(), builder.fdeOffset(0))) return std::nullopt;
    if (!BBXDwarfUnwindComputeRegisters(&record, &state)) return std::nullopt;
    return state;
}

TEST(BBXDwarfTest, DefCfaAndOffsetReadTheReturnAddressAtTheOldStackPointer) {
    uint64_t stack[2] = {0x7000123456, 0};
    BBXThreadState state{};
    state.rsp = address(stack);
    state.rip = code(0x104);
    auto caller = step(bareCIE(), {0x0c, 0x07, 0x08, 0x90, 0x01}, state);
    ASSERT_TRUE(caller);
    EXPECT_EQ(caller->rip, 0x7000123456u);
    EXPECT_EQ(caller->rsp, address(stack) + 8);
}

TEST(BBXDwarfTest, ParsesTheAugmentationsInUseAndRefusesOthers) {
    struct Row {
        const char* name;
        std::string augmentation;
        uint8_t pointerEncoding;
        bool parses;
    };
    const Row rows[] = {
        {"zR", "zR", 0x1b, true},      {"zPLR", "zPLR", 0x1b, true}, {"zRS", "zRS", 0x1b, true},
        {"none", "", 0x00, true},      {"eh", "eh", 0x00, false},    {"unknown letter", "zRX", 0x1b, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CIESpec cie;
        cie.augmentation = row.augmentation;
        cie.pointerEncoding = row.pointerEncoding;
        cie.personality = 0x1234;
        EhFrameBuilder builder;
        builder.addFDE(builder.addCIE(cie), code(0x100), 0x100, {});
        Tables tables(builder);
        BBXDwarfRecord record;
        bool parsed = BBXDwarfInitFromFDE(&record, tables.ehFrame(), builder.fdeOffset(0));
        ASSERT_EQ(parsed, row.parses);
        if (!parsed) continue;
        EXPECT_EQ(record.fde.startAddress, code(0x100));
        EXPECT_EQ(record.fde.addressRange, 0x100u);
        EXPECT_EQ(record.cie.codeAlignment, 1u);
        EXPECT_EQ(record.cie.dataAlignment, -8);
        EXPECT_EQ(record.cie.returnAddressRegister, 16);
        EXPECT_EQ(record.cie.signalFrame, row.augmentation == "zRS");
        if (row.augmentation == "zPLR") {
            EXPECT_EQ(record.cie.personality, 0x1234u);
        }
    }
}

TEST(BBXDwarfTest, RowsApplyUpToAndIncludingThePC) {
    // push rbp at +0 (1 byte), mov rbp,rsp at +1 (3 bytes), body from +4.
    const UnwindBytes prologue = {0x41, 0x0e, 0x10, 0x86, 0x02, 0x43, 0x0d, 0x06};
    uint64_t stack[4] = {0x1111, 0x2222, 0x3333, 0x4444};
    struct Row {
        const char* name;
        uint64_t pcOffset;
        uint64_t rsp;
        uint64_t rbp;
        uint64_t expectedPC;
        uint64_t expectedSP;
        uint64_t expectedFP;
    };
    uint64_t base = address(stack);
    const Row rows[] = {
        // At +0 nothing is pushed: the return address is at SP.
        {"first instruction", 0, base, 0x99, 0x1111, base + 8, 0x99},
        // At +1 the row that starts there applies: rbp saved at SP.
        {"row starting at the PC", 1, base, 0x99, 0x2222, base + 16, 0x1111},
        // From +4 the CFA follows rbp.
        {"body", 0x20, 0x10, base, 0x2222, base + 16, 0x1111},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BBXThreadState state{};
        state.rip = code(0x100 + row.pcOffset);
        state.rsp = row.rsp;
        state.rbp = row.rbp;
        auto caller = step(CIESpec{}, prologue, state);
        ASSERT_TRUE(caller);
        EXPECT_EQ(caller->rip, row.expectedPC);
        EXPECT_EQ(caller->rsp, row.expectedSP);
        EXPECT_EQ(caller->rbp, row.expectedFP);
    }
}

TEST(BBXDwarfTest, RememberRestoreAndRestoreFollowTheRows) {
    // +0 push rbp (CFA rsp+16, rbp at cfa-16); remember; +1 pop rbp: restore
    // rbp's rule and CFA rsp+8; +2 ret; restore_state: from +3 the pushed row
    // again.
    const UnwindBytes instructions = {0x41, 0x0e, 0x10, 0x86, 0x02, 0x0a, 0x41, 0xc6, 0x0e, 0x08, 0x41, 0x0b};
    uint64_t stack[3] = {0x5555, 0x6666, 0x7777};
    uint64_t base = address(stack);
    struct Row {
        const char* name;
        uint64_t pcOffset;
        uint64_t rsp;
        uint64_t expectedPC;
        uint64_t expectedFP;
    };
    const Row rows[] = {
        {"pushed", 1, base, 0x6666, 0x5555},
        {"after restore", 2, base + 8, 0x6666, 0xabc},
        {"after restore_state", 3, base, 0x6666, 0x5555},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BBXThreadState state{};
        state.rip = code(0x100 + row.pcOffset);
        state.rsp = row.rsp;
        state.rbp = 0xabc;
        auto caller = step(CIESpec{}, instructions, state);
        ASSERT_TRUE(caller);
        EXPECT_EQ(caller->rip, row.expectedPC);
        EXPECT_EQ(caller->rbp, row.expectedFP);
    }
}

TEST(BBXDwarfTest, RefusedInstructionsAndStatesFailTheStep) {
    uint64_t stack[2] = {0x5555, 0x6666};
    BBXThreadState state{};
    state.rip = code(0x110);
    state.rsp = address(stack);
    struct Row {
        const char* name;
        UnwindBytes instructions;
    };
    UnwindBytes nineDeep(9, 0x0a);
    const Row rows[] = {
        {"unchanged stack pointer", {0x0e, 0x00}},
        {"restore_state with nothing remembered", {0x0b}},
        {"nine states remembered", nineDeep},
        {"GNU_args_size", {0x2e, 0x08}},
        {"undefined", {0x07, 0x10}},
        {"offset_extended_sf", {0x11, 0x10, 0x7f}},
        {"register 17", {0x91, 0x01}},
        {"unknown opcode", {0x3f}},
        {"value offset rule", {0x14, 0x06, 0x01}},
        {"truncated operand", {0x0c, 0x87}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(step(CIESpec{}, row.instructions, state));
    }
    // Eight remembered states are fine.
    UnwindBytes eight(8, 0x0a);
    EXPECT_TRUE(step(CIESpec{}, eight, state));
    // restore in a CIE's own instructions has nothing to go back to.
    CIESpec restoring;
    restoring.instructions = {0x0c, 0x07, 0x08, 0x90, 0x01, 0xc6};
    EXPECT_FALSE(step(restoring, {}, state));
}

TEST(BBXDwarfTest, TheExpressionMachineComputesAndRefuses) {
    uint64_t memory[2] = {0x1122334455667788, 0};
    BBXThreadState context{};
    context.rsp = 0x8000;
    context.rbp = address(memory);
    auto lits = [](int count) {
        UnwindBytes bytes;
        blackboxtest::appendULEB(bytes, count);
        bytes.insert(bytes.end(), count, 0x31);
        return bytes;
    };
    struct Row {
        const char* name;
        UnwindBytes expression;
        std::optional<uint64_t> result;
    };
    const Row rows[] = {
        {"initial value only", {1, 0x96 /* unknown */}, std::nullopt},
        {"99 pushes fill the 100 slots", lits(99), 1},
        {"a 101st push fails", lits(100), std::nullopt},
        {"plus on one entry", {1, 0x22}, std::nullopt},
        {"plus", {2, 0x35, 0x22}, 10 + 5},
        {"plus_uconst", {2, 0x23, 0x05}, 15},
        {"dup and ne", {2, 0x12, 0x2e}, 0},
        {"swap", {3, 0x31, 0x16, 0x1a}, 0},
        {"and", {2, 0x3f, 0x1a}, 10 & 15},
        {"breg7 - 8", {2, 0x77, 0x78}, 0x8000 - 8},
        {"breg16", {2, 0x80, 0x00}, 0},
        {"breg17 refused", {2, 0x81, 0x00}, std::nullopt},
        {"deref", {3, 0x76, 0x00, 0x06}, 0x1122334455667788},
        {"deref_size 4", {4, 0x76, 0x00, 0x94, 0x04}, 0x55667788},
        {"deref_size 3 refused", {4, 0x76, 0x00, 0x94, 0x03}, std::nullopt},
        {"deref of address 0", {2, 0x30, 0x06}, std::nullopt},
        {"zero length", {0}, std::nullopt},
        {"length past the end", {9, 0x30}, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        uint64_t result = 0;
        const uint8_t* start = row.expression.data();
        bool ok = BBXDwarfEvalulateExpression(start, start + row.expression.size(), &context, 10, &result);
        ASSERT_EQ(ok, row.result.has_value());
        if (ok) {
            EXPECT_EQ(result, *row.result);
        }
    }
}

TEST(BBXDwarfTest, ExpressionRulesRecoverTheCallerLikeASignalFrame) {
    // A frame whose CFA and return address come from expressions: CFA =
    // [rsp + 8], rip at CFA + 0, rbx as the value rsp + 16.
    uint64_t saved[2] = {0x4242, 0};
    uint64_t stack[2] = {0, address(saved)};
    CIESpec cie = bareCIE();
    cie.augmentation = "zRS";
    const UnwindBytes instructions = {0x0f, 3, 0x77, 0x08, 0x06,    // def_cfa_expression [rsp+8]
                                      0x10, 16, 1, 0x96,            // expression: rip at an unknown opcode
                                      0x16, 3, 2, 0x77, 0x10};      // val_expression rbx = rsp + 16
    BBXThreadState state{};
    state.rip = code(0x120);
    state.rsp = address(stack);
    // DW_OP_nop (0x96) is not among the opcodes: the rule fails.
    EXPECT_FALSE(step(cie, instructions, state));
    UnwindBytes working = instructions;
    working[8] = 0x30;  // lit0: the address is CFA + 0
    working[7] = 2;
    working.insert(working.begin() + 9, 0x22);  // plus
    auto caller = step(cie, working, state);
    ASSERT_TRUE(caller);
    EXPECT_EQ(caller->rip, 0x4242u);
    EXPECT_EQ(caller->rsp, address(saved));
    EXPECT_EQ(caller->rbx, address(stack) + 16);
}

TEST(BBXDwarfTest, TheSearchTableFindsTheCoveringEntry) {
    EhFrameBuilder builder;
    int cie = builder.addCIE(CIESpec{});
    builder.addFDE(cie, code(0x300), 0x40, {});
    builder.addFDE(cie, code(0x100), 0x40, {});
    builder.addFDE(cie, code(0x200), 0x40, {0x0e, 0x10});
    Tables tables(builder);
    struct Row {
        const char* name;
        uint64_t pc;
        int fde;  // -1: none found
    };
    const Row rows[] = {
        {"below the first", code(0x50), -1}, {"first byte", code(0x100), 1},  {"last byte", code(0x13f), 1},
        {"middle", code(0x220), 2},          {"last entry", code(0x33f), 0},  {"far above", code(0x900), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        uintptr_t fde = 0, ehFrame = 0;
        bool found = BBXUnwindFindFDE(address(tables.header), row.pc, &fde, &ehFrame);
        ASSERT_EQ(found, row.fde >= 0);
        if (!found) continue;
        EXPECT_EQ(ehFrame, tables.ehFrame());
        EXPECT_EQ(fde, tables.ehFrame() + builder.fdeOffset(row.fde));
    }
    // An entry found whose range ends below the PC covers nothing.
    uint64_t stack[2] = {0, 0x7777};
    BBXThreadState state{};
    state.rsp = address(stack);
    bool signalFrame = false;
    state.rip = code(0x900);
    EXPECT_FALSE(BBXUnwindWithEhFrameHeader(address(tables.header), &state, &signalFrame));
    state.rip = code(0x210);
    ASSERT_TRUE(BBXUnwindWithEhFrameHeader(address(tables.header), &state, &signalFrame));
    EXPECT_EQ(state.rip, 0x7777u);
    EXPECT_EQ(state.rsp, address(stack) + 16);
}

TEST(BBXDwarfTest, TablesThatAreGoneGiveAFailedReadNotASignal) {
    // Tables and "code" in a mapping that is then unmapped, as at dlclose.
    const size_t size = 0x2000;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    auto* bytes = static_cast<uint8_t*>(mapping);
    EhFrameBuilder builder;
    builder.addFDE(builder.addCIE(CIESpec{}), address(bytes + 0x1100), 0x40, {});
    UnwindBytes frame = builder.bytesAt(address(bytes));
    std::memcpy(bytes, frame.data(), frame.size());
    UnwindBytes table = builder.headerAt(address(bytes + frame.size()), address(bytes));
    std::memcpy(bytes + frame.size(), table.data(), table.size());
    uint64_t stack[2] = {0x7777, 0};
    BBXThreadState state{};
    state.rsp = address(stack);
    state.rip = address(bytes + 0x1110);
    bool signalFrame = false;
    BBXThreadState copy = state;
    ASSERT_TRUE(BBXUnwindWithEhFrameHeader(address(bytes + frame.size()), &copy, &signalFrame));
    EXPECT_EQ(copy.rip, 0x7777u);
    munmap(mapping, size);
    copy = state;
    EXPECT_FALSE(BBXUnwindWithEhFrameHeader(address(bytes + frame.size()), &copy, &signalFrame));
    EXPECT_EQ(copy.rip, state.rip);
    BBXDwarfRecord record;
    EXPECT_FALSE(BBXDwarfInitFromFDE(&record, address(bytes), builder.fdeOffset(0)));
}

TEST(BBXDwarfTest, ReadersAndEncodings) {
    const uint8_t bytes[] = {0xe5, 0x8e, 0x26, 0x7f, 0x80, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
    BBXDwarfCursor cursor{bytes, bytes + sizeof bytes, 0, false};
    EXPECT_EQ(BBXDwarfReadULEB128(&cursor), 624485u);
    EXPECT_EQ(BBXDwarfReadSLEB128(&cursor), -1);
    EXPECT_EQ(BBXDwarfReadSLEB128(&cursor), -128);
    EXPECT_EQ(BBXDwarfReadULEB128(&cursor), 0u);  // nine bytes: more than a reader takes
    EXPECT_TRUE(cursor.failed);

    const uint8_t pointers[] = {0xf0, 0xff, 0xff, 0xff, 0x10, 0, 0, 0};
    const uint64_t at = 0x40000;
    struct Row {
        const char* name;
        uint8_t encoding;
        uint64_t dataBase;
        uint64_t expected;
    };
    const Row rows[] = {
        {"omit", 0xff, 0, 0},
        {"udata4", 0x03, 0, 0xfffffff0},
        {"sdata4", 0x0b, 0, ~uint64_t(0) - 15},
        {"pcrel sdata4", 0x1b, 0, at - 16},
        {"datarel sdata4", 0x3b, 0x50000, 0x50000 - 16},
        {"datarel without a base", 0x3b, 0, kBBXDwarfInvalidAddress},
        {"textrel", 0x2b, 0, kBBXDwarfInvalidAddress},
        {"unknown format", 0x05, 0, kBBXDwarfInvalidAddress},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BBXDwarfCursor c{pointers, pointers + sizeof pointers, static_cast<intptr_t>(at - address(pointers)), false};
        EXPECT_EQ(BBXParseAddressWithEncodingAndBase(&c, row.encoding, row.dataBase), row.expected);
    }
}

}  // namespace
