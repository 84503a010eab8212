// A seeded mutation run of the unwinder's table readers: well-formed
// .eh_frame and .eh_frame_hdr tables, compact unwind tables and expressions,
// with bytes flipped, words set to edge values and lengths cut. Deterministic;
// the libFuzzer target (fuzz_unwind) explores further by hand.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/sdk/blackbox/EhFrameBuilder.h"
#include "tests/sdk/blackbox/UnwindFuzz.h"
#include "tests/sdk/blackbox/UnwindInfoBuilder.h"

namespace {

using blackboxtest::CIESpec;
using blackboxtest::EhFrameBuilder;
using blackboxtest::UnwindBytes;

// Tables whose encoded pointers are all relative (pc-relative FDE starts,
// data-relative search table), so they mean the same wherever they lie; the
// functions they describe lie inside the blob itself.
UnwindBytes frameTables(const std::vector<CIESpec>& cies, uint16_t* fdeOffset, uint16_t* headerOffset) {
    const uint64_t at = 0x100000;
    EhFrameBuilder builder;
    const UnwindBytes instructions[] = {
        {0x41, 0x0e, 0x10, 0x86, 0x02, 0x0a, 0x41, 0xc6, 0x0e, 0x08, 0x41, 0x0b, 0x43, 0x0d, 0x06},
        {0x0f, 3, 0x77, 0x08, 0x06, 0x10, 16, 2, 0x30, 0x22, 0x16, 3, 2, 0x77, 0x10},
        {0x02, 0x05, 0x0e, 0x20, 0x83, 0x03, 0x09, 0x0c, 0x06, 0x08, 0x00, 0x00},
    };
    uint64_t start = at;
    for (size_t i = 0; i < cies.size(); ++i) {
        builder.addFDE(builder.addCIE(cies[i]), start, 0x40, instructions[i % std::size(instructions)]);
        start += 0x40;
    }
    UnwindBytes blob = builder.bytesAt(at);
    UnwindBytes header = builder.headerAt(at + blob.size(), at);
    *fdeOffset = static_cast<uint16_t>(builder.fdeOffset(cies.size() - 1));
    *headerOffset = static_cast<uint16_t>(blob.size());
    blob.insert(blob.end(), header.begin(), header.end());
    return blob;
}

std::vector<UnwindBytes> seeds() {
    std::vector<UnwindBytes> inputs;
    CIESpec zR, zPLR, zRS;
    zPLR.augmentation = "zPLR";
    zPLR.personality = 0x4000;
    zRS.augmentation = "zRS";
    uint16_t fde = 0, header = 0;
    UnwindBytes tables = frameTables({zR, zPLR, zRS}, &fde, &header);
    inputs.push_back(blackboxtest::unwindFuzzInput(fde, header, 0x48, tables));
    inputs.push_back(blackboxtest::unwindFuzzInput(0, header, 0x90, frameTables({zRS}, &fde, &header)));

    blackboxtest::UnwindInfoBuilder compact({0x01000000, 0x02000000 | (4 << 16) | (3 << 10)});
    compact.addCompressedPage(0x10, {{0, 0}, {0x8, 1}, {0x10, 2}, {0x18, 3}},
                              {0x03000000 | (2 << 16) | (1 << 13) | (1 << 10) | 5, 0x04000010});
    compact.addRegularPage(0x40, {{0x40, 0x01000000}});
    compact.setEnd(0x80);
    UnwindBytes info = compact.build();
    for (uint32_t pc : {0x12u, 0x1au, 0x22u, 0x2au, 0x44u})
        inputs.push_back(blackboxtest::unwindFuzzInput(0, 0, pc, info));

    inputs.push_back(blackboxtest::unwindFuzzInput(0, 0, 0, {6, 0x77, 0x08, 0x06, 0x94, 0x04, 0x2e}));
    inputs.push_back(blackboxtest::unwindFuzzInput(0, 0, 0, {5, 0x12, 0x16, 0x1a, 0x23, 0x7f}));
    return inputs;
}

void writeSeedsIfAsked(const std::vector<UnwindBytes>& inputs) {
    const char* folder = std::getenv("TAVLO_FUZZ_SEED_DIR");
    if (!folder) return;
    std::filesystem::create_directories(folder);
    int index = 0;
    for (const UnwindBytes& seed : inputs) {
        std::ofstream out(std::filesystem::path(folder) / ("unwind-seed-" + std::to_string(index++)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    }
}

TEST(BBXUnwindFuzzTest, MutatedTablesNeverFaultOrHang) {
    std::mt19937 random(20261211);
    const uint32_t kEdgeWords[] = {0, 1, 7, 8, 0x7fffffff, 0x80000000, 0xfffffff8, 0xffffffff};
    const std::vector<UnwindBytes> inputs = seeds();
    writeSeedsIfAsked(inputs);
    // The seeds reach every stage, so mutations start from deep inside.
    int reached = 0;
    for (const UnwindBytes& seed : inputs) reached |= blackboxtest::exerciseUnwindTables(seed.data(), seed.size());
    EXPECT_EQ(reached, 63);
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 6000; ++round) {
        UnwindBytes bytes = inputs[random() % inputs.size()];
        int mutations = 1 + static_cast<int>(random() % 4);
        for (int m = 0; m < mutations && bytes.size() > 8; ++m) {
            size_t at = 8 + random() % (bytes.size() - 8);
            switch (random() % 5) {
                case 0: bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;
                case 1: bytes[at] = static_cast<uint8_t>(random()); break;
                case 2: {
                    uint32_t word = kEdgeWords[random() % std::size(kEdgeWords)];
                    size_t room = std::min<size_t>(4, bytes.size() - at);
                    std::memcpy(bytes.data() + at, &word, room);
                    break;
                }
                case 3: bytes.resize(at + 1); break;
                default: bytes[random() % 8] = static_cast<uint8_t>(random()); break;  // the offsets
            }
        }
        blackboxtest::exerciseUnwindTables(bytes.data(), bytes.size());
    }
    // Generous: a reader that loops over a damaged count shows here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
}

}  // namespace
