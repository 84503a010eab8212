// Mach-O files made by the LLVM tools at test time (clang, ld64.lld, lipo),
// read by us and cross-checked against what llvm-otool prints. Skipped where
// those tools are not installed.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <regex>

#include "sdk/beacon/BCNMachOFile.h"
#include "tests/sdk/beacon/BeaconTestFiles.h"

namespace {

struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), got);
    result.status = ::pclose(pipe);
    return result;
}

bool haveTools() {
    return run("command -v clang-14 && command -v ld64.lld-14 && command -v llvm-lipo-14 && command -v llvm-otool-14")
               .status == 0;
}

struct Facts {
    std::string uuid;     // lower case, no hyphens
    std::string minimum;  // "10.13.0"
    std::string sdk;
    uint64_t textAddress = 0;
    uint64_t textSize = 0;
    uint32_t textOffset = 0;
};

std::string fullVersion(std::string version) {
    return std::count(version.begin(), version.end(), '.') == 1 ? version + ".0" : version;
}

// What llvm-otool -l says of a thin file.
Facts otoolFacts(const std::string& path) {
    std::string text = run("llvm-otool-14 -l '" + path + "'").output;
    Facts facts;
    std::smatch m;
    if (std::regex_search(text, m, std::regex("uuid ([0-9A-F-]+)"))) {
        for (char c : m[1].str())
            if (c != '-') facts.uuid.push_back(static_cast<char>(std::tolower(c)));
    }
    if (std::regex_search(text, m, std::regex("LC_VERSION_MIN_MACOSX\\s+cmdsize \\d+\\s+version ([0-9.]+)\\s+sdk ([0-9.]+)"))) {
        facts.minimum = fullVersion(m[1]);
        facts.sdk = fullVersion(m[2]);
    }
    if (std::regex_search(text, m, std::regex("sectname __text\\s+segname __TEXT\\s+addr 0x([0-9a-f]+)\\s+size 0x([0-9a-f]+)\\s+offset (\\d+)"))) {
        facts.textAddress = std::stoull(m[1], nullptr, 16);
        facts.textSize = std::stoull(m[2], nullptr, 16);
        facts.textOffset = static_cast<uint32_t>(std::stoul(m[3]));
    }
    return facts;
}

Facts ourFacts(BCNMachOSlice slice) {
    Facts facts;
    BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t cmd, uint32_t, const void* command) {
        if (cmd == kBCNMachOLoadCommandUUID) facts.uuid = *BCNMachOUUIDString(BCNMachOUUIDCommandGetUUID(command));
        if (cmd == kBCNMachOLoadCommandVersionMinMacOSX) {
            BCNMachOVersion minimum = BCNMachOVersionMinCommandGetMinimumVersion(command);
            BCNMachOVersion sdk = BCNMachOVersionMinCommandGetSDKVersion(command);
            facts.minimum = *BCNMachOVersionString(&minimum);
            facts.sdk = *BCNMachOVersionString(&sdk);
        }
    });
    BCNMachOSection text;
    if (BCNMachOSliceGetSectionInfo(&slice, "__TEXT", "__text", &text)) {
        facts.textAddress = text.address;
        facts.textSize = text.size;
        facts.textOffset = text.offset;
    }
    return facts;
}

TEST(RealMachOTest, FatExecutableMatchesWhatOtoolPrints) {
    if (!haveTools()) GTEST_SKIP() << "clang-14, ld64.lld-14, llvm-lipo-14 or llvm-otool-14 is not installed";
    beacontest::TempFolder folder;
    const std::string dir = folder.path().string();
    folder.write("main.c", "int main(void) { return 0; }\n");
    struct Arch {
        const char* name;
        const char* target;
        const char* sdk;
    };
    const Arch arches[] = {{"x86_64", "x86_64-apple-macos10.13", "10.15"}, {"arm64", "arm64-apple-macos11", "10.14"}};
    std::map<std::string, Facts> expected;
    std::string thins;
    for (const Arch& arch : arches) {
        std::string object = dir + "/main-" + arch.name + ".o", image = dir + "/main-" + arch.name;
        CommandResult compile = run("clang-14 -target " + std::string(arch.target) + " -c '" + dir + "/main.c' -o '" + object + "'");
        ASSERT_EQ(compile.status, 0) << compile.output;
        CommandResult link = run("ld64.lld-14 -arch " + std::string(arch.name) + " -platform_version macos 10.13 " + arch.sdk +
                       " -e _main -o '" + image + "' '" + object + "'");
        ASSERT_EQ(link.status, 0) << link.output;
        expected[arch.name] = otoolFacts(image);
        ASSERT_EQ(expected[arch.name].uuid.size(), 32u) << arch.name;
        thins += " '" + image + "'";
    }
    CommandResult lipo = run("llvm-lipo-14 -create" + thins + " -output '" + dir + "/main'");
    ASSERT_EQ(lipo.status, 0) << lipo.output;

    BCNMachOFile file;
    ASSERT_TRUE(BCNMachOFileOpen(&file, (dir + "/main").c_str()));
    std::vector<std::string> order;
    BCNMachOFileEnumerateSlices(&file, [&](BCNMachOSlice slice) {
        std::string name = BCNMachOSliceGetArchitectureName(&slice);
        order.push_back(name);
        SCOPED_TRACE(name);
        Facts ours = ourFacts(slice);
        const Facts& theirs = expected[name];
        EXPECT_EQ(ours.uuid, theirs.uuid);
        EXPECT_EQ(ours.minimum, theirs.minimum);
        EXPECT_EQ(ours.sdk, theirs.sdk);
        EXPECT_EQ(ours.textAddress, theirs.textAddress);
        EXPECT_EQ(ours.textSize, theirs.textSize);
        EXPECT_EQ(ours.textOffset, theirs.textOffset);
    });
    BCNMachOFileClose(&file);
    EXPECT_EQ(order, (std::vector<std::string>{"x86_64", "arm64"}));
    EXPECT_EQ(expected["x86_64"].minimum, "10.13.0");
    EXPECT_EQ(expected["x86_64"].sdk, "10.15.0");
}

}  // namespace
