#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <map>
#include <optional>

#include "sdk/beacon/BCNMachO.h"
#include "sdk/beacon/BCNMachOFile.h"
#include "tests/sdk/beacon/BeaconTestFiles.h"
#include "tests/sdk/beacon/MachOBuilder.h"

namespace {

using beacontest::Bytes;
using beacontest::FatEntry;
using beacontest::MachOBuilder;
using beacontest::UUIDBytes;

constexpr int32_t kX86_64 = 0x01000007;
constexpr int32_t kI386 = 7;
constexpr int32_t kARM = 12;
constexpr int32_t kARM64 = 0x0100000c;
constexpr int32_t kPPC = 18;
constexpr int32_t kPPC64 = 0x01000012;
constexpr uint32_t kVersionMinMacOSX = 36;
constexpr uint32_t kVersionMinIPhoneOS = 37;
constexpr bool k64 = true, k32 = false, kSwapped = true, kHostOrder = false;

UUIDBytes uuidOf(uint8_t seed) {
    UUIDBytes bytes;
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(seed + i * 17);
    return bytes;
}

std::string uuidHex(uint8_t seed) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : uuidOf(seed)) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

const Bytes kEhFrame = {0x14, 0, 0, 0, 0, 0, 0, 0, 1, 'z', 'R', 0};

// An executable with the commands the kits read: UUID, minimum version,
// __TEXT with two sections, an encryption command and a library.
Bytes image(bool is64, bool swapped, int32_t cputype, int32_t cpusubtype, uint8_t uuidSeed,
            uint32_t versionCommand = kVersionMinMacOSX, uint32_t minimum = 0x000A0900, uint32_t sdk = 0x000A0F00) {
    uint64_t base = is64 ? 0x100000000ull : 0x1000;
    return MachOBuilder(is64, swapped, cputype, cpusubtype)
        .segment("__PAGEZERO", 0, base, {})
        .segment("__TEXT", base, 0x4000,
                 {{"__TEXT", "__text", base + 0x1000, {0x90, 0x90, 0xc3}}, {"__TEXT", "__eh_frame", base + 0x2000, kEhFrame}})
        .uuid(uuidOf(uuidSeed))
        .versionMin(versionCommand, minimum, sdk)
        .encryptionInfo(0)
        .dylib("/usr/lib/libSystem.B.dylib")
        .build();
}

struct SliceFacts {
    std::string architecture;
    std::string uuid;
    std::string minimum;
    std::string sdk;
    bool operator==(const SliceFacts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const SliceFacts& f) {
    return out << "{" << f.architecture << " " << f.uuid << " " << f.minimum << " " << f.sdk << "}";
}

// What the kits take from each slice: its name, UUID and versions.
std::vector<SliceFacts> factsOfFile(const BCNMachOFile& file) {
    std::vector<SliceFacts> all;
    BCNMachOFileEnumerateSlices(&file, [&](BCNMachOSlice slice) {
        SliceFacts facts{BCNMachOSliceGetArchitectureName(&slice), "", "", ""};
        BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t cmd, uint32_t, const void* command) {
            if (cmd == 27) facts.uuid = BCNMachOUUIDString(BCNMachOUUIDCommandGetUUID(command)).value_or("");
            if (cmd == kVersionMinMacOSX || cmd == kVersionMinIPhoneOS) {
                BCNMachOVersion minimum = BCNMachOVersionMinCommandGetMinimumVersion(command);
                BCNMachOVersion sdk = BCNMachOVersionMinCommandGetSDKVersion(command);
                facts.minimum = *BCNMachOVersionString(&minimum);
                facts.sdk = *BCNMachOVersionString(&sdk);
            }
        });
        all.push_back(facts);
    });
    return all;
}

class BCNMachOTest : public ::testing::Test {
protected:
    std::string write(const Bytes& bytes, const std::string& name = "image") {
        return folder_.write(name, bytes).string();
    }

    beacontest::TempFolder folder_;
};

TEST_F(BCNMachOTest, ReadsSlicesUUIDsAndVersionsOfEachFixture) {
    struct Row {
        const char* name;
        Bytes bytes;
        std::vector<SliceFacts> expected;
    };
    const Row rows[] = {
        {"thin 64-bit x86_64 with capability bits", image(k64, kHostOrder, kX86_64, int32_t(0x80000003u), 1),
         {{"x86_64", uuidHex(1), "10.9.0", "10.15.0"}}},
        {"thin 32-bit i386", image(k32, kHostOrder, kI386, 3, 2, kVersionMinMacOSX, 0x000A0600, 0x000A0800),
         {{"i386", uuidHex(2), "10.6.0", "10.8.0"}}},
        {"thin 64-bit other byte order", image(k64, kSwapped, kPPC64, 0, 3, kVersionMinMacOSX, 0x000A0501, 0x000A0502),
         {{"ppc64", uuidHex(3), "10.5.1", "10.5.2"}}},
        {"thin 32-bit other byte order", image(k32, kSwapped, kPPC, 0, 4),
         {{"ppc", uuidHex(4), "10.9.0", "10.15.0"}}},
        {"fat x86_64 and arm64",
         beacontest::makeFat({{kX86_64, 3, image(k64, kHostOrder, kX86_64, 3, 5)},
                              {kARM64, 0, image(k64, kHostOrder, kARM64, 0, 6, kVersionMinMacOSX, 0x000B0000, 0x000B0100)}}),
         {{"x86_64", uuidHex(5), "10.9.0", "10.15.0"}, {"arm64", uuidHex(6), "11.0.0", "11.1.0"}}},
        {"fat armv7s and armv7k",
         beacontest::makeFat({{kARM, 11, image(k32, kHostOrder, kARM, 11, 7, kVersionMinIPhoneOS, 0x00090000, 0x000A0300)},
                              {kARM, 12, image(k32, kHostOrder, kARM, 12, 8, kVersionMinIPhoneOS, 0x00020000, 0x00030000)}}),
         {{"armv7s", uuidHex(7), "9.0.0", "10.3.0"}, {"armv7k", uuidHex(8), "2.0.0", "3.0.0"}}},
        {"fat with slices of both byte orders",
         beacontest::makeFat({{kPPC, 0, image(k32, kSwapped, kPPC, 0, 9)}, {kI386, 3, image(k32, kHostOrder, kI386, 3, 10)}}),
         {{"ppc", uuidHex(9), "10.9.0", "10.15.0"}, {"i386", uuidHex(10), "10.9.0", "10.15.0"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BCNMachOFile file;
        ASSERT_TRUE(BCNMachOFileOpen(&file, write(row.bytes).c_str()));
        EXPECT_EQ(factsOfFile(file), row.expected);
        BCNMachOFileClose(&file);
        EXPECT_EQ(file.fd, -1);
        EXPECT_EQ(file.mappedBase, nullptr);
    }
}

TEST_F(BCNMachOTest, FindsSectionsByName) {
    for (bool is64 : {k64, k32}) {
        for (bool swapped : {kHostOrder, kSwapped}) {
            SCOPED_TRACE(std::string(is64 ? "64" : "32") + (swapped ? " swapped" : " host order"));
            Bytes bytes = image(is64, swapped, is64 ? kX86_64 : kI386, 3, 1);
            uint64_t base = is64 ? 0x100000000ull : 0x1000;
            BCNMachOSlice slice;
            BCNMachOEnumerateSlices(bytes.data(), bytes.size(), [&](BCNMachOSlice s) { slice = s; });
            ASSERT_EQ(BCNMachOSliceIs64Bit(&slice), is64);

            BCNMachOSection section;
            ASSERT_TRUE(BCNMachOSliceGetSectionInfo(&slice, "__TEXT", "__eh_frame", &section));
            EXPECT_EQ(section.address, base + 0x2000);
            EXPECT_EQ(section.size, kEhFrame.size());
            const void* data = nullptr;
            ASSERT_TRUE(BCNMachOSliceGetSectionData(&slice, "__TEXT", "__eh_frame", &data));
            EXPECT_EQ(std::memcmp(data, kEhFrame.data(), kEhFrame.size()), 0);
            EXPECT_EQ(static_cast<const uint8_t*>(data) - bytes.data(), section.offset);

            EXPECT_FALSE(BCNMachOSliceGetSectionInfo(&slice, "__TEXT", "__unwind_info", &section));
            EXPECT_FALSE(BCNMachOSliceGetSectionInfo(&slice, "__DATA", "__eh_frame", &section));
        }
    }
    BCNMachOSlice empty;
    BCNMachOSection section;
    EXPECT_FALSE(BCNMachOSliceGetSectionInfo(&empty, "__TEXT", "__text", &section));
}

TEST_F(BCNMachOTest, ReadsEachCommandKindInEitherByteOrder) {
    for (bool swapped : {kHostOrder, kSwapped}) {
        SCOPED_TRACE(swapped ? "swapped" : "host order");
        Bytes bytes = MachOBuilder(k64, swapped, kX86_64, 3)
                          .segment("__TEXT", 0x100000000ull, 0x8000, {})
                          .encryptionInfo(1)
                          .dylib("/usr/lib/libz.1.dylib")
                          .build();
        BCNMachOSlice slice{bytes.data(), 0, 0, bytes.size()};
        std::vector<uint32_t> kinds;
        BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t cmd, uint32_t, const void* command) {
            kinds.push_back(cmd);
            if (cmd == 25) {
                BCNMachOSegment segment = BCNMachOSegmentCommandGetInfo(command);
                EXPECT_STREQ(segment.name, "__TEXT");
                EXPECT_EQ(segment.vmAddress, 0x100000000ull);
                EXPECT_EQ(segment.vmSize, 0x8000u);
            } else {
                EXPECT_EQ(BCNMachOSegmentCommandGetInfo(command).vmSize, 0u);
            }
            if (cmd == 0x2c) {
                EXPECT_TRUE(BCNMachOEncryptionCommandIsEncrypted(command));
            }
            if (cmd == 0x0c) {
                EXPECT_STREQ(BCNMachODylibCommandGetName(command), "/usr/lib/libz.1.dylib");
            }
        });
        EXPECT_EQ(kinds, (std::vector<uint32_t>{25, 0x2c, 0x0c}));
        EXPECT_EQ(slice.cputype, kX86_64);  // the walk sets the slice's type from its header
    }
}

TEST_F(BCNMachOTest, PicksTheSliceOfAnArchitecture) {
    Bytes fat = beacontest::makeFat({{kX86_64, 3, image(k64, kHostOrder, kX86_64, 3, 1)},
                                     {kARM64, 0, image(k64, kHostOrder, kARM64, 0, 2)}});
    BCNMachOFile file;
    ASSERT_TRUE(BCNMachOFileOpen(&file, write(fat).c_str()));
    BCNMachOSlice arm = BCNMachOFileSliceForArchitecture(&file, "arm64");
    EXPECT_EQ(arm.cputype, kARM64);
    const auto* base = static_cast<const uint8_t*>(file.mappedBase);
    uint32_t secondOffset = (uint32_t(base[36]) << 24) | (uint32_t(base[37]) << 16) | (uint32_t(base[38]) << 8) | base[39];
    EXPECT_EQ(BCNMachOSliceGetHeader(&arm), base + secondOffset);
    EXPECT_EQ(BCNMachOFileSliceForArchitecture(&file, "ppc").header, nullptr);
    BCNMachOFileClose(&file);
}

TEST(BCNMachONamesTest, NamesArchitectures) {
    struct Row {
        int32_t cputype;
        int32_t cpusubtype;
        const char* name;
    };
    const Row rows[] = {
        {kX86_64, 3, "x86_64"},       {kX86_64, int32_t(0x80000003u), "x86_64"}, {kX86_64, 8, "x86_64h"},
        {kI386, 3, "i386"},           {kARM64, 0, "arm64"},                      {kARM64, int32_t(0x80000002u), "arm64e"},
        {kARM, 9, "armv7"},           {kARM, 11, "armv7s"},                      {kARM, 12, "armv7k"},
        {kPPC, 0, "ppc"},             {kPPC64, 0, "ppc64"},                      {0, 0, "unknown"},
        {kX86_64, 77, "unknown"},
    };
    for (const Row& row : rows) {
        BCNMachOSlice slice{nullptr, row.cputype, row.cpusubtype};
        EXPECT_STREQ(BCNMachOSliceGetArchitectureName(&slice), row.name) << row.cputype << "/" << row.cpusubtype;
    }
}

TEST(BCNMachOVersionTest, SplitsVersionWordsAndPrintsThem) {
    Bytes bytes = MachOBuilder(k64, kHostOrder, kX86_64, 3).versionMin(kVersionMinMacOSX, 0x000A0F01, 0x000B02FF).build();
    const uint8_t* command = bytes.data() + 32;
    EXPECT_EQ(BCNMachOVersionMinCommandGetMinimumVersion(command), (BCNMachOVersion{10, 15, 1}));
    EXPECT_EQ(BCNMachOVersionMinCommandGetSDKVersion(command), (BCNMachOVersion{11, 2, 255}));
    BCNMachOVersion version{10, 9, 0};
    EXPECT_EQ(BCNMachOVersionString(&version), "10.9.0");
    EXPECT_EQ(BCNMachOVersionString(nullptr), std::nullopt);
    EXPECT_EQ(BCNMachOUUIDString(nullptr), std::nullopt);
}

// Bad files: each gives the failure answer (no open, no slice, no command)
// without reading outside the file.
TEST_F(BCNMachOTest, MalformedFilesGiveNothing) {
    Bytes good = image(k64, kHostOrder, kX86_64, 3, 1);
    auto withHostWord = [](Bytes bytes, size_t at, uint32_t value) {
        beacontest::writeHost32(bytes, at, value);
        return bytes;
    };
    auto withBigWord = [](Bytes bytes, size_t at, uint32_t value) {
        beacontest::writeBig32(bytes, at, value);
        return bytes;
    };
    Bytes fat = beacontest::makeFat({{kX86_64, 3, good}, {kARM64, 0, image(k64, kHostOrder, kARM64, 0, 2)}});
    Bytes javaClass = {0xca, 0xfe, 0xba, 0xbe, 0x00, 0x00, 0x00, 0x34};
    javaClass.resize(600, 0x11);

    struct Row {
        const char* name;
        Bytes bytes;
        bool opens;
        std::vector<std::string> architectures;
        size_t commands;  // over all slices
    };
    const Row rows[] = {
        {"empty file", {}, false, {}, 0},
        {"15 bytes", Bytes(good.begin(), good.begin() + 15), false, {}, 0},
        {"20 bytes of a 64-bit header", Bytes(good.begin(), good.begin() + 20), true, {"unknown"}, 0},
        {"header only, commands cut off", Bytes(good.begin(), good.begin() + 40), true, {"x86_64"}, 0},
        {"fat with 0xffffffff slices", withBigWord(fat, 4, 0xffffffff), true, {}, 0},
        {"fat slice offset past the end", withBigWord(fat, 8 + 8, 0x7fffff00), true, {"arm64"}, 6},
        {"fat slice size past the end", withBigWord(fat, 8 + 20 + 12, 0x100000), true, {"x86_64"}, 6},
        {"fat slice that is no Mach-O", withBigWord(fat, 8 + 8, 0), true, {"arm64"}, 6},
        {"java class file", javaClass, true, {}, 0},
        {"0xffffffff commands", withHostWord(good, 16, 0xffffffff), true, {"x86_64"}, 6},
        {"0xffffffff commands and command bytes", withHostWord(withHostWord(good, 16, 0xffffffff), 20, 0xffffffff),
         true, {"x86_64"}, 6},
        {"zero command size", withHostWord(good, 32 + 4, 0), true, {"x86_64"}, 0},
        {"command size past the end", withHostWord(good, 32 + 4, 0x10000000), true, {"x86_64"}, 0},
        {"command bytes cut short", withHostWord(good, 20, 100), true, {"x86_64"}, 1},
        {"uuid command too short", MachOBuilder(k64, kHostOrder, kX86_64, 3).command(27, {1, 2}).build(), true,
         {"x86_64"}, 0},
        {"garbage", Bytes(64, 0x5a), true, {"unknown"}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BCNMachOFile file;
        bool opened = BCNMachOFileOpen(&file, write(row.bytes).c_str());
        EXPECT_EQ(opened, row.opens);
        if (!opened) {
            EXPECT_EQ(file.fd, -1);
            EXPECT_EQ(file.mappedBase, nullptr);
            continue;
        }
        std::vector<std::string> architectures;
        size_t commands = 0;
        BCNMachOFileEnumerateSlices(&file, [&](BCNMachOSlice slice) {
            architectures.push_back(BCNMachOSliceGetArchitectureName(&slice));
            BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t, uint32_t, const void*) { ++commands; });
            BCNMachOSection section;
            BCNMachOSliceGetSectionInfo(&slice, "__TEXT", "__eh_frame", &section);
        });
        EXPECT_EQ(architectures, row.architectures);
        EXPECT_EQ(commands, row.commands);
        BCNMachOFileClose(&file);
    }
}

TEST_F(BCNMachOTest, SectionCountsPastTheCommandAreIgnored) {
    Bytes bytes = image(k64, kHostOrder, kX86_64, 3, 1);
    // nsects of the __TEXT segment (second command; the first is __PAGEZERO, 72 bytes).
    beacontest::writeHost32(bytes, 32 + 72 + 64, 0xffffffff);
    BCNMachOSlice slice{bytes.data(), kX86_64, 3, bytes.size()};
    BCNMachOSection section;
    EXPECT_FALSE(BCNMachOSliceGetSectionInfo(&slice, "__TEXT", "__eh_frame", &section));
}

// The accessors guess a command's byte order from its command word alone; a
// word that names a kind only in the other order must not make them read past
// the command the walk vouched for.
TEST_F(BCNMachOTest, AccessorsStayInsideCommandsOfTheOtherByteOrder) {
    for (uint32_t kind : {1u, 25u, 27u, 36u, 0x21u, 0x0cu}) {
        SCOPED_TRACE(kind);
        Bytes bytes = MachOBuilder(k32, kSwapped, kPPC, 0).command(__builtin_bswap32(kind), {}).build();
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        BCNMachOSlice slice{exact.get(), 0, 0, bytes.size()};
        int seen = 0;
        BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t, uint32_t cmdsize, const void* command) {
            ++seen;
            EXPECT_EQ(cmdsize, 8u);
            EXPECT_EQ(BCNMachOSegmentCommandGetInfo(command).vmSize, 0u);
            EXPECT_EQ(BCNMachOUUIDCommandGetUUID(command), nullptr);
            EXPECT_EQ(BCNMachOVersionMinCommandGetMinimumVersion(command), BCNMachOVersion{});
            EXPECT_FALSE(BCNMachOEncryptionCommandIsEncrypted(command));
            EXPECT_EQ(BCNMachODylibCommandGetName(command), nullptr);
        });
        EXPECT_EQ(seen, 1);
    }
}

TEST_F(BCNMachOTest, DylibNameMustEndInsideItsCommand) {
    Bytes bytes = MachOBuilder(k64, kHostOrder, kX86_64, 3).dylib("/usr/lib/libz.dylib").build();
    std::fill(bytes.begin() + 32 + 24, bytes.end(), 'a');  // no NUL left
    BCNMachOSlice slice{bytes.data(), 0, 0, bytes.size()};
    int seen = 0;
    BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t, uint32_t, const void* command) {
        ++seen;
        EXPECT_EQ(BCNMachODylibCommandGetName(command), nullptr);
    });
    EXPECT_EQ(seen, 1);
}

TEST_F(BCNMachOTest, RefusesWhatIsNotARegularFile) {
    EXPECT_FALSE(BCNMachOFileOpen(nullptr, "/dev/null"));
    BCNMachOFile file;
    EXPECT_FALSE(BCNMachOFileOpen(&file, nullptr));
    EXPECT_FALSE(BCNMachOFileOpen(&file, folder_.path().c_str()));
    EXPECT_FALSE(BCNMachOFileOpen(&file, "/dev/null"));
    EXPECT_FALSE(BCNMachOFileOpen(&file, (folder_.path() / "missing").c_str()));
    EXPECT_EQ(file.fd, -1);

    // Opening a FIFO for reading waits for a writer unless it is non-blocking.
    std::string fifo = (folder_.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto opening = std::async(std::launch::async, [&] {
        BCNMachOFile f;
        return BCNMachOFileOpen(&f, fifo.c_str());
    });
    if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the stuck open return
        opening.wait();
        if (writer >= 0) ::close(writer);
        FAIL() << "opening a FIFO blocked";
    }
    EXPECT_FALSE(opening.get());
}

TEST(BCNMachOSlicesTest, MemoryWithoutAKnownSizeIsWalkedByItsOwnCommandBytes) {
    Bytes bytes = image(k64, kHostOrder, kX86_64, 3, 1);
    int slices = 0;
    size_t commands = 0;
    BCNMachOEnumerateSlices(bytes.data(), [&](BCNMachOSlice slice) {
        ++slices;
        EXPECT_EQ(slice.size, kBCNMachOUnknownSize);
        BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t, uint32_t, const void*) { ++commands; });
    });
    EXPECT_EQ(slices, 1);
    EXPECT_EQ(commands, 6u);
    BCNMachOEnumerateSlices(nullptr, [&](BCNMachOSlice) { ++slices; });
    EXPECT_EQ(slices, 1);
}

}  // namespace
