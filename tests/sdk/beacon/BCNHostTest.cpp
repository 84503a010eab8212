#include <gtest/gtest.h>

#include <sys/stat.h>

#include "sdk/beacon/BCNHost.h"
#include "tests/sdk/beacon/BeaconTestFiles.h"

namespace {

class BCNHostTest : public ::testing::Test {
protected:
    beacon::HostFacts host() const { return beacon::HostFacts(root_.path()); }

    beacontest::TempFolder root_;
};

TEST_F(BCNHostTest, OSVersionFromOSReleaseRefinedByDebianVersion) {
    struct Row {
        const char* name;
        const char* osRelease;     // null: no file
        const char* debianVersion; // null: no file
        const char* display;
        uint32_t number;
    };
    const Row rows[] = {
        {"debian point release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n", "12.11\n", "12.11.0", 101100},
        {"quoted with dots", "VERSION_ID='22.04'\n", nullptr, "22.4.0", 101100},
        {"unquoted three parts", "ID=x\nVERSION_ID=3.18.4\n", nullptr, "3.18.4", 0},
        {"debian_version of another release", "VERSION_ID=\"12\"\n", "11.7\n", "12.0.0", 101100},
        {"testing codename", "VERSION_ID=\"13\"\n", "trixie/sid\n", "13.0.0", 101100},
        {"rolling release without version", "NAME=Arch\nID=arch\n", nullptr, "10.0.0", 0},
        {"debian_version alone", nullptr, "12.5\n", "12.5.0", 101100},
        {"nothing", nullptr, nullptr, "10.0.0", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        beacontest::TempFolder root;
        if (row.osRelease) root.write("etc/os-release", row.osRelease);
        if (row.debianVersion) root.write("etc/debian_version", row.debianVersion);
        beacon::HostFacts facts(root.path());
        EXPECT_EQ(BCNHostGetOSDisplayVersion(facts), row.display);
        EXPECT_EQ(BCNHostGetOSVersionNumber(facts), row.number);
    }
}

TEST_F(BCNHostTest, OSReleaseMayLiveUnderUsrLib) {
    root_.write("usr/lib/os-release", "VERSION_ID=\"40\"\n");
    EXPECT_EQ(BCNHostGetOSVersion(host()), (beacon::OSVersion{40, 0, 0}));
}

TEST(BCNHostVersionNumberTest, MapsMinorVersionsOfTen) {
    struct Row {
        beacon::OSVersion version;
        uint32_t number;
    };
    const Row rows[] = {
        {{10, 5, 8}, 0},      {{10, 6, 0}, 1060},     {{10, 7, 5}, 1070},   {{10, 8, 0}, 1080},
        {{10, 9, 0}, 1090},   {{10, 10, 0}, 101000},  {{10, 11, 6}, 101100}, {{10, 12, 0}, 101100},
        {{10, 15, 7}, 101100}, {{11, 0, 0}, 101100},  {{9, 2, 0}, 0},       {{10, 0, 0}, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(BCNHostOSVersionNumberFromVersion(row.version), row.number)
            << row.version.majorVersion << "." << row.version.minorVersion;
    }
}

TEST_F(BCNHostTest, SysctlStringsComeFromTheKernelsFiles) {
    root_.write("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    root_.write("sys/class/dmi/id/product_name", "ThinkPad X1 Carbon\n");
    root_.write("proc/sys/kernel/arch", "x86_64\n");
    root_.write("proc/cpuinfo",
                "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz\n"
                "processor\t: 1\nmodel name\t: second\n");
    EXPECT_EQ(BCNHostGetOSBuildVersion(host()), "6.1.0-18-amd64");
    EXPECT_EQ(BCNHostGetModel(host()), "ThinkPad X1 Carbon");
    EXPECT_EQ(BCNHostGetSysctlString("hw.machine", host()), "x86_64");
    EXPECT_EQ(BCNHostGetSysctlString("machdep.cpu.brand_string", host()), "Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz");
    EXPECT_EQ(BCNHostGetSysctlString("kern.no.such.name", host()), std::nullopt);
    EXPECT_EQ(BCNHostGetSysctlString(nullptr, host()), std::nullopt);
}

TEST_F(BCNHostTest, ModelFallsBackToTheDeviceTree) {
    root_.write("sys/firmware/devicetree/base/model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31));
    EXPECT_EQ(BCNHostGetModel(host()), "Raspberry Pi 4 Model B Rev 1.4");
}

TEST_F(BCNHostTest, MissingFilesGiveNothing) {
    EXPECT_EQ(BCNHostGetModel(host()), std::nullopt);
    EXPECT_EQ(BCNHostGetOSBuildVersion(host()), std::nullopt);
    EXPECT_EQ(BCNHostGetSysctlString("hw.machine", host()), std::nullopt);
    EXPECT_EQ(BCNHostGetSysctlString("machdep.cpu.brand_string", host()), std::nullopt);
}

TEST_F(BCNHostTest, StringsMustFitA128ByteBuffer) {
    struct Row {
        const char* name;
        std::string contents;
        std::optional<std::string> model;
    };
    const Row rows[] = {
        {"127 characters", std::string(127, 'm'), std::string(127, 'm')},
        {"127 characters and the newline", std::string(127, 'm') + "\n", std::string(127, 'm')},
        {"128 characters", std::string(128, 'm'), std::nullopt},
        {"4000 characters", std::string(4000, 'm'), std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        root_.write("sys/class/dmi/id/product_name", row.contents);
        EXPECT_EQ(BCNHostGetModel(host()), row.model);
    }
}

TEST_F(BCNHostTest, AFIFOInPlaceOfAFileNeverBlocks) {
    std::filesystem::create_directories(root_.path() / "sys/class/dmi/id");
    ASSERT_EQ(::mkfifo((root_.path() / "sys/class/dmi/id/product_name").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((root_.path() / "sys/firmware").c_str(), 0600), 0);
    EXPECT_EQ(BCNHostGetModel(host()), std::nullopt);
}

TEST(BCNHostSystemTest, PageSizeIsThatOfTheRunningKernel) {
    EXPECT_EQ(beacon::HostFacts::system().integerValue("hw.pagesize"), ::sysconf(_SC_PAGESIZE));
    EXPECT_EQ(beacon::HostFacts::system().integerValue("hw.nothing"), std::nullopt);
}

}  // namespace
