// A seeded mutation run of the byte readers: well-formed images, thin and fat,
// with bytes flipped, words set to edge values and lengths cut, each in a
// buffer of exactly its size so the sanitizers see any read past the end.
// Deterministic; the libFuzzer target (fuzz_macho) explores further by hand.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/sdk/beacon/MachOBuilder.h"
#include "tests/sdk/beacon/MachOFuzz.h"

namespace {

using beacontest::Bytes;
using beacontest::MachOBuilder;

std::vector<Bytes> seeds() {
    auto image = [](bool is64, bool swapped, int32_t cputype) {
        return MachOBuilder(is64, swapped, cputype, 3)
            .segment("__TEXT", 0x1000, 0x4000, {{"__TEXT", "__text", 0x1100, {1, 2, 3}}, {"__TEXT", "__eh_frame", 0x1200, {4, 5}}})
            .uuid({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})
            .versionMin(36, 0x000A0900, 0x000A0F00)
            .encryptionInfo(1)
            .dylib("/usr/lib/libSystem.B.dylib")
            .build();
    };
    Bytes thin64 = image(true, false, 0x01000007);
    Bytes thin32Swapped = image(false, true, 18);
    return {thin64, thin32Swapped, image(true, true, 0x01000012), image(false, false, 7),
            beacontest::makeFat({{0x01000007, 3, thin64}, {18, 0, thin32Swapped}})};
}

// Hands the seeds to the libFuzzer target: with TAVLO_FUZZ_SEED_DIR set, they
// are written there as its starting corpus.
void writeSeedsIfAsked(const std::vector<Bytes>& inputs) {
    const char* folder = std::getenv("TAVLO_FUZZ_SEED_DIR");
    if (!folder) return;
    std::filesystem::create_directories(folder);
    int index = 0;
    for (const Bytes& seed : inputs) {
        std::ofstream out(std::filesystem::path(folder) / ("seed-" + std::to_string(index++)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST(MachOFuzzTest, MutatedImagesNeverReadOutOfBounds) {
    // A read past the end of a buffer only shows under AddressSanitizer.
    if (!kAddressSanitizer) GTEST_SKIP() << "sees reads out of bounds only in a sanitizer build (-DTAVLO_SANITIZE=ON)";
    std::mt19937 random(20240601);
    const uint32_t kEdgeWords[] = {0, 1, 7, 8, 0x7fffffff, 0x80000000, 0xfffffff8, 0xffffffff};
    const std::vector<Bytes> inputs = seeds();
    writeSeedsIfAsked(inputs);
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = inputs[random() % inputs.size()];
        int mutations = 1 + static_cast<int>(random() % 4);
        for (int m = 0; m < mutations && !bytes.empty(); ++m) {
            size_t at = random() % bytes.size();
            switch (random() % 4) {
                case 0: bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;
                case 1: bytes[at] = static_cast<uint8_t>(random()); break;
                case 2: {
                    at &= ~size_t(3);
                    uint32_t word = kEdgeWords[random() % std::size(kEdgeWords)];
                    if (random() % 2) beacontest::writeBig32(bytes, at, word);
                    else beacontest::writeHost32(bytes, at, word);
                    break;
                }
                case 3: bytes.resize(at); break;
            }
        }
        // An exact-size copy, so a read past the end lands outside the allocation.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        beacontest::exerciseReaders(exact.get(), bytes.size());
    }
}

}  // namespace
