#include <gtest/gtest.h>

#include "sdk/beacon/BCNApplication.h"
#include "tests/sdk/beacon/BeaconTestFiles.h"

namespace {

// A packaged bundle "App.app" whose Info.plist holds the given entries (XML
// property-list text of key/value pairs).
class BCNApplicationTest : public ::testing::Test {
protected:
    std::shared_ptr<foundation::Bundle> bundle(const std::string& entries) {
        folder_.write("App.app/Contents/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n");
        return foundation::Bundle::withPath(folder_.path() / "App.app");
    }

    beacon::HostFacts hostWithVersion(const std::string& versionID) {
        hostRoot_.write("etc/os-release", "VERSION_ID=\"" + versionID + "\"\n");
        return beacon::HostFacts(hostRoot_.path());
    }

    beacontest::TempFolder folder_;
    beacontest::TempFolder hostRoot_;
};

TEST_F(BCNApplicationTest, EscapesSlashesInTheIdentifier) {
    EXPECT_EQ(BCNApplicationGetEscapedBundleIdentifier(
                  bundle("<key>CFBundleIdentifier</key><string>a/b/c</string>")), "a_b_c");
    EXPECT_EQ(BCNApplicationGetEscapedBundleIdentifier(
                  bundle("<key>CFBundleIdentifier</key><string>com.tavlo.Tavlo</string>")), "com.tavlo.Tavlo");
    EXPECT_EQ(BCNApplicationGetEscapedBundleIdentifier(bundle("")), std::nullopt);
    EXPECT_EQ(BCNApplicationGetEscapedBundleIdentifier(nullptr), std::nullopt);
}

TEST_F(BCNApplicationTest, ReadsVersions) {
    auto app = bundle("<key>CFBundleVersion</key><string>421</string>"
                      "<key>CFBundleShortVersionString</key><string>1.4.2</string>");
    EXPECT_EQ(BCNApplicationGetBuildVersion(app), "421");
    EXPECT_EQ(BCNApplicationGetDisplayVersion(app), "1.4.2");
    EXPECT_EQ(BCNApplicationGetBuildVersion(bundle("<key>CFBundleVersion</key><integer>7</integer>")), "7");
    EXPECT_EQ(BCNApplicationGetDisplayVersion(bundle("")), std::nullopt);
}

TEST_F(BCNApplicationTest, NameFallsBackFromDisplayNameToNameToBuildVersion) {
    struct Row {
        const char* name;
        std::string entries;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        {"display name", "<key>CFBundleDisplayName</key><string>Tavlo Clips</string>"
                         "<key>CFBundleName</key><string>Tavlo</string><key>CFBundleVersion</key><string>9</string>",
         "Tavlo Clips"},
        {"name", "<key>CFBundleName</key><string>Tavlo</string><key>CFBundleVersion</key><string>9</string>", "Tavlo"},
        {"build version", "<key>CFBundleVersion</key><string>9</string>", "9"},
        {"nothing", "", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(BCNApplicationGetName(bundle(row.entries)), row.expected);
    }
}

TEST_F(BCNApplicationTest, InstallationSourceFromReceiptAndSigning) {
    const std::string signedEntries = "<key>BlackboxSignedForDistribution</key><true/>";
    beacon::HostFacts later = hostWithVersion("12");
    EXPECT_EQ(BCNApplicationGetInstallationSource(bundle(""), later), BCNInstallationSourceUnknown);
    EXPECT_EQ(BCNApplicationGetInstallationSource(bundle(signedEntries), later),
              BCNInstallationSourceSignedForDistribution);
    EXPECT_EQ(BCNApplicationGetInstallationSource(
                  bundle("<key>BlackboxSignedForDistribution</key><false/>"), later), BCNInstallationSourceUnknown);

    folder_.write("App.app/Contents/_MASReceipt/receipt", "receipt");
    EXPECT_TRUE(BCNApplicationHasAppStoreReceipt(bundle(signedEntries), later));
    EXPECT_EQ(BCNApplicationGetInstallationSource(bundle(signedEntries), later), BCNInstallationSourceAppStore);
}

TEST_F(BCNApplicationTest, ReceiptCountsOnlyFromVersionNumber1070) {
    folder_.write("App.app/Contents/_MASReceipt/receipt", "receipt");
    struct Row {
        const char* version;
        bool counts;
    };
    const Row rows[] = {{"10.6", false}, {"10.7", true}, {"10.12", true}, {"12", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version);
        EXPECT_EQ(BCNApplicationHasAppStoreReceipt(bundle(""), hostWithVersion(row.version)), row.counts);
    }
    // A host that names no version counts as 10.0.
    EXPECT_FALSE(BCNApplicationHasAppStoreReceipt(bundle(""), beacon::HostFacts(hostRoot_.path() / "none")));
}

TEST_F(BCNApplicationTest, DeviceIdentifiersFollowBeaconThenTopLevelSetting) {
    struct Row {
        const char* name;
        std::string entries;
        bool canReport;
    };
    const Row rows[] = {
        {"both absent", "", true},
        {"beacon says no over top-level yes",
         "<key>Beacon</key><dict><key>ReportIdentifiers</key><false/></dict>"
         "<key>BlackboxCollectDeviceIdentifiers</key><true/>", false},
        {"beacon says yes over top-level no",
         "<key>Beacon</key><dict><key>ReportIdentifiers</key><true/></dict>"
         "<key>BlackboxCollectDeviceIdentifiers</key><false/>", true},
        {"top-level no", "<key>Beacon</key><dict/><key>BlackboxCollectDeviceIdentifiers</key><false/>", false},
        {"beacon not a dictionary", "<key>Beacon</key><string>x</string>"
                                    "<key>BlackboxCollectDeviceIdentifiers</key><false/>", false},
        {"text value", "<key>BlackboxCollectDeviceIdentifiers</key><string>NO</string>", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(BCNApplicationCanReportDeviceIdentifiers(bundle(row.entries)), row.canReport);
    }
}

}  // namespace
