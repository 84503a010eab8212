// The bootstrap as separate runs of a program see it: the install identifier
// lasting from run to run on one home, the execution identifier new in each.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "platform/foundation/Data.h"
#include "platform/foundation/PropertyList.h"
#include "sdk/beacon/BCNSHA1.h"
#include "sdk/beacon/ElfImage.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;

std::map<std::string, std::string> run(const std::string& command) {
    auto result = testsupport::runCommand({BEACON_PROBE, command}, 30s);
    EXPECT_EQ(result.status, 0) << result.output;
    std::map<std::string, std::string> values;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        else values[line] = "";
    }
    return values;
}

}  // namespace

TEST(BeaconProbeTest, TwoRunsShareTheInstallIdentifier) {
    testsupport::TempHome home;
    auto first = run("info");
    auto second = run("info");
    EXPECT_TRUE(std::regex_match(first["installID"], std::regex("[0-9A-F]{8}-([0-9A-F]{4}-){3}[0-9A-F]{12}")));
    EXPECT_EQ(second["installID"], first["installID"]);
    EXPECT_EQ(first["isFirstInstall"], "1");
    EXPECT_EQ(second["isFirstInstall"], "0");
    EXPECT_TRUE(std::regex_match(first["executionIdentifier"], std::regex("[0-9a-f]{32}")));
    EXPECT_TRUE(std::regex_match(second["executionIdentifier"], std::regex("[0-9a-f]{32}")));
    EXPECT_NE(first["executionIdentifier"], second["executionIdentifier"]);

    // The instance identifier is the SHA-1 of the program's build-id UUID text.
    auto program = foundation::Data::contentsOfFile(BEACON_PROBE);
    ASSERT_TRUE(program.ok());
    auto identity = beacon::elfIdentityFromFileBytes(program.value().bytes(), program.value().length());
    ASSERT_TRUE(identity && identity->uuidString());
    EXPECT_EQ(first["instanceIdentifier"], BCNSHA1HexStringFromBytes(identity->uuidString()->data(), 32));

    auto file = foundation::Data::contentsOfFile(home.dataHome() / "com.blackbox/com.tavlo.Tavlo/BBXUserDefaults.plist");
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(file.value().toString().rfind("<?xml", 0), 0u);
    auto store = foundation::PropertyList::readXML(file.value().toString());
    ASSERT_TRUE(store.ok());
    ASSERT_NE(store.value().get("com.blackbox.iuuid"), nullptr);
    EXPECT_EQ(*store.value().get("com.blackbox.iuuid"), foundation::PlistValue(first["installID"]));
}

TEST(BeaconProbeTest, TheShippedBundleStartsNoKit) {
    testsupport::TempHome home;
    auto result = testsupport::runCommand({BEACON_PROBE, "start"}, 30s);
    EXPECT_EQ(result.output,
              "with: BCNException: [Beacon] Value of Info.plist[Beacon][APIKey] must contain your Beacon API Key.\n");
}
