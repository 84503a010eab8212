#include <gtest/gtest.h>

#include <elf.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <regex>

#include "sdk/beacon/BCNMachOFile.h"
#include "sdk/beacon/ElfImage.h"
#include "tests/sdk/beacon/BeaconTestFiles.h"

namespace {

std::string selfPath() {
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// The build-id of this test program as `readelf -n` prints it; empty when
// readelf is not installed.
std::string readelfBuildID() {
    std::string command = "readelf -n '" + selfPath() + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    std::string output;
    std::array<char, 4096> buffer;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), got);
    ::pclose(pipe);
    std::smatch match;
    if (!std::regex_search(output, match, std::regex("Build ID: ([0-9a-f]+)"))) return {};
    return match[1];
}

std::string expectedArchitecture() {
#if defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "arm64";
#else
    return "unknown";
#endif
}

TEST(ElfImageTest, RunningProgramIsNamedByItsBuildID) {
    std::string buildID = readelfBuildID();
    if (buildID.empty()) GTEST_SKIP() << "readelf is not installed or the program has no build-id";
    ASSERT_GE(buildID.size(), 32u);

    std::optional<beacon::ElfIdentity> running = beacon::runningProgramIdentity();
    ASSERT_TRUE(running);
    EXPECT_EQ(running->architecture, expectedArchitecture());
    EXPECT_EQ(running->uuidString(), buildID.substr(0, 32));

    // The same identity read from the program's file.
    BCNMachOFile file;
    ASSERT_TRUE(BCNMachOFileOpenExecutable(&file));
    std::optional<beacon::ElfIdentity> fromFile = beacon::elfIdentityFromFileBytes(file.mappedBase, file.size);
    BCNMachOFileClose(&file);
    ASSERT_TRUE(fromFile);
    EXPECT_EQ(fromFile->architecture, running->architecture);
    EXPECT_EQ(fromFile->buildID, running->buildID);
}

TEST(ElfImageTest, ExecutableImageIsTheRunningProgram) {
    BCNMachOSlice image = BCNMachOGetExecutableImage();
    ASSERT_NE(image.header, nullptr);
    EXPECT_EQ(std::memcmp(image.header, ELFMAG, SELFMAG), 0);
    EXPECT_STREQ(BCNMachOSliceGetArchitectureName(&image), expectedArchitecture().c_str());
    EXPECT_EQ(BCNMachOImageGetPath(&image), selfPath());

    BCNMachOSlice nowhere{&image, 0, 0, 16};
    EXPECT_EQ(BCNMachOImageGetPath(&nowhere), std::nullopt);
    BCNMachOSlice empty;
    EXPECT_EQ(BCNMachOImageGetPath(&empty), std::nullopt);
}

TEST(ElfImageTest, AnElfFileHasNoMachOCommands) {
    BCNMachOFile file;
    ASSERT_TRUE(BCNMachOFileOpenExecutable(&file));
    int slices = 0, commands = 0;
    BCNMachOFileEnumerateSlices(&file, [&](BCNMachOSlice slice) {
        ++slices;
        EXPECT_STREQ(BCNMachOSliceGetArchitectureName(&slice), "unknown");
        BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t, uint32_t, const void*) { ++commands; });
    });
    BCNMachOFileClose(&file);
    EXPECT_EQ(slices, 1);
    EXPECT_EQ(commands, 0);
}

TEST(ElfImageTest, UnwindSectionsOfTheLoadedProgram) {
    BCNMachOSlice image = BCNMachOGetExecutableImage();
    const void* ehFrame = nullptr;
    const void* unwindInfo = nullptr;
    BCNMachOSliceGetUnwindSections(&image, &ehFrame, &unwindInfo);
    ASSERT_NE(ehFrame, nullptr);
    EXPECT_EQ(unwindInfo, nullptr);
    // .eh_frame opens with a CIE: a non-zero length, then a zero CIE id.
    uint32_t length, id;
    std::memcpy(&length, ehFrame, 4);
    std::memcpy(&id, static_cast<const uint8_t*>(ehFrame) + 4, 4);
    EXPECT_NE(length, 0u);
    EXPECT_EQ(id, 0u);

    // Bytes that are no loaded image give nothing.
    uint8_t notLoaded[64] = {0x7f, 'E', 'L', 'F'};
    BCNMachOSlice stray{notLoaded, 0, 0, sizeof notLoaded};
    ehFrame = &notLoaded;
    BCNMachOSliceGetUnwindSections(&stray, &ehFrame, nullptr);
    EXPECT_EQ(ehFrame, &notLoaded);
}

// A minimal little-endian 64-bit ELF file with one PT_NOTE holding a build-id.
std::vector<uint8_t> elfWithBuildID(const std::vector<uint8_t>& buildID, uint16_t machine) {
    std::vector<uint8_t> bytes(sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr));
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_machine = machine;
    header.e_phoff = sizeof(Elf64_Ehdr);
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = 1;
    std::vector<uint8_t> note(12);
    uint32_t fields[3] = {4, static_cast<uint32_t>(buildID.size()), NT_GNU_BUILD_ID};
    std::memcpy(note.data(), fields, 12);
    note.insert(note.end(), {'G', 'N', 'U', 0});
    note.insert(note.end(), buildID.begin(), buildID.end());
    while (note.size() % 4) note.push_back(0);
    Elf64_Phdr segment{};
    segment.p_type = PT_NOTE;
    segment.p_offset = bytes.size();
    segment.p_filesz = segment.p_memsz = note.size();
    segment.p_align = 4;
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, &segment, sizeof segment);
    bytes.insert(bytes.end(), note.begin(), note.end());
    return bytes;
}

TEST(ElfImageTest, ReadsBuildIDsOfFilesWithinTheirBounds) {
    std::vector<uint8_t> sha1(20);
    for (size_t i = 0; i < sha1.size(); ++i) sha1[i] = static_cast<uint8_t>(i + 1);
    std::vector<uint8_t> file = elfWithBuildID(sha1, EM_AARCH64);
    std::optional<beacon::ElfIdentity> identity = beacon::elfIdentityFromFileBytes(file.data(), file.size());
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->architecture, "arm64");
    EXPECT_EQ(identity->uuidString(), "0102030405060708090a0b0c0d0e0f10");

    std::vector<uint8_t> shortID = elfWithBuildID({0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89}, EM_X86_64);
    identity = beacon::elfIdentityFromFileBytes(shortID.data(), shortID.size());
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->uuidString(), "abcdef01234567890000000000000000");

    struct Row {
        const char* name;
        size_t at;      // where to write
        uint64_t value;
        size_t width;
    };
    const Row rows[] = {
        {"program headers past the end", offsetof(Elf64_Ehdr, e_phoff), 0xfffffffffffff000ull, 8},
        {"0xffff program headers", offsetof(Elf64_Ehdr, e_phnum), 0xffff, 2},
        {"note offset past the end", sizeof(Elf64_Ehdr) + offsetof(Elf64_Phdr, p_offset), 0x7fffffffffffffffull, 8},
        {"note size past the end", sizeof(Elf64_Ehdr) + offsetof(Elf64_Phdr, p_filesz), 0xffffffffull, 8},
        {"descriptor size past the note", sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr) + 4, 0xfffffff0, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> bad = file;
        std::memcpy(bad.data() + row.at, &row.value, row.width);
        identity = beacon::elfIdentityFromFileBytes(bad.data(), bad.size());
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->uuidString(), std::nullopt);
    }
    for (size_t cut : {size_t(0), size_t(4), size_t(40)}) {
        EXPECT_EQ(beacon::elfIdentityFromFileBytes(file.data(), cut), std::nullopt) << cut;
    }
}

}  // namespace
