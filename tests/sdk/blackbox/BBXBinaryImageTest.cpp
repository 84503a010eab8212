// Image details in their Mach-O form, on built fixtures: nothing here loads
// Mach-O images, but the reader is kept whole for the files that carry them.
#include "sdk/blackbox/BBXBinaryImage.h"

#include <gtest/gtest.h>

#include "sdk/beacon/BCNMachO.h"
#include "tests/sdk/beacon/MachOBuilder.h"

namespace {

using beacontest::MachOBuilder;

constexpr int32_t kX86_64 = 0x01000007;

BBXBinaryImageDetails detailsOf(const beacontest::Bytes& bytes, intptr_t slide) {
    BCNMachOSlice slice{bytes.data(), 0, 0, bytes.size()};
    BBXBinaryImageDetails details;
    EXPECT_TRUE(BBXBinaryImageDetailsFromMachOSlice(&slice, slide, &details));
    return details;
}

TEST(BBXBinaryImageMachO, ReadsTheLoadCommands) {
    beacontest::UUIDBytes uuid{0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (bool swapped : {false, true}) {
        SCOPED_TRACE(swapped ? "opposite byte order" : "host byte order");
        auto bytes = MachOBuilder(true, swapped, kX86_64, 3)
                         .uuid(uuid)
                         .versionMin(kBCNMachOLoadCommandVersionMinMacOSX, 0x000a0900, 0x000a0c01)
                         .segment("__TEXT", 0x100000000, 0x5000,
                                  {{"__TEXT", "__eh_frame", 0x100003000, {1, 2}},
                                   {"__TEXT", "__unwind_info", 0x100004000, {3, 4}}})
                         .segment("__DATA", 0x100005000, 0x1000, {{"__DATA", "__crash_info", 0x100005100, {5}}})
                         .encryptionInfo(1)
                         .build();
        auto details = detailsOf(bytes, 0x1000);
        EXPECT_EQ(details.uuid, "deadbeef0102030405060708090a0b0c");
        EXPECT_FALSE(details.encrypted);  // only the 32-bit command counts
        EXPECT_EQ(details.minimumSDKVersion, "10.9.0");
        EXPECT_EQ(details.builtSDKVersion, "10.12.1");
        EXPECT_EQ(details.architecture, "x86_64");
        EXPECT_EQ(details.node.size, 0x5000u);
        EXPECT_EQ(details.node.base, reinterpret_cast<uintptr_t>(bytes.data()));
        EXPECT_EQ(details.node.ehFrame, 0x100004000u);
        EXPECT_EQ(details.node.unwindInfo, 0x100005000u);
        EXPECT_EQ(details.node.crashInfo, 0x100006100u);
        EXPECT_EQ(details.slide, 0x1000);
        EXPECT_TRUE(BBXBinaryImageHasUnwindInfo(&details.node));
    }
}

TEST(BBXBinaryImageMachO, ThirtyTwoBitEncryptionAndMissingCommands) {
    auto encrypted = MachOBuilder(false, false, 7, 3).encryptionInfo(1).build();
    EXPECT_TRUE(detailsOf(encrypted, 0).encrypted);
    auto bare = MachOBuilder(true, false, kX86_64, 3).build();
    auto details = detailsOf(bare, 0);
    EXPECT_FALSE(details.uuid);
    EXPECT_EQ(details.minimumSDKVersion, "0.0.0");
    EXPECT_EQ(details.node.size, 0u);
    EXPECT_EQ(details.node.ehFrame, 0u);
    EXPECT_FALSE(BBXBinaryImageHasUnwindInfo(&details.node));
    BBXBinaryImageDetails none;
    EXPECT_FALSE(BBXBinaryImageDetailsFromMachOSlice(nullptr, 0, &none));
}

}  // namespace
