#include "sdk/tally/BBXAnalyticsMetadataController.h"

#include <gtest/gtest.h>

#include "platform/foundation/JSON.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BCNHost.h"
#include "sdk/beacon/Beacon.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

using foundation::PlistValue;
using Controller = BBXAnalyticsMetadataController;

class BBXAnalyticsMetadataControllerTest : public ::testing::Test {
protected:
    std::shared_ptr<Beacon> makeBeacon() {
        auto store = std::make_shared<BBXUserDefaults>(home_.dataHome() / "com.blackbox" / "com.tavlo.Tavlo",
                                                       foundation::UserDefaults::suite("standard"));
        auto beacon = std::make_shared<Beacon>(Beacon::Environment{nullptr, store, &registry_});
        beacon->setAPIKey("the-key");
        return beacon;
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
    BCNKitRegistry registry_;
};

TEST_F(BBXAnalyticsMetadataControllerTest, SessionMetadata) {
    auto beacon = makeBeacon();
    auto controller = Controller::initWithTimeStamp(1700000000999, "2:abc", beacon);
    ASSERT_TRUE(controller);
    const auto& m = controller->metadata();
    auto json = foundation::JSON::read(controller->metadataJSONData().toString());
    ASSERT_TRUE(json.ok());
    EXPECT_EQ(json.value(), PlistValue(m));

    EXPECT_EQ(m.at("generator"), PlistValue("Tally Mac SDK/1.1.0"));
    EXPECT_EQ(m.at("started_at"), PlistValue(int64_t{1700000000}));
    EXPECT_EQ(m.at("beta_tester_token"), PlistValue("abc"));
    EXPECT_EQ(m.at("api_key"), PlistValue("the-key"));
    EXPECT_EQ(m.at("session_id"), PlistValue(beacon->executionIdentifier()));
    EXPECT_EQ(m.at("install_id"), PlistValue(beacon->installID()));
    EXPECT_EQ(m.at("platform"), PlistValue("Mac"));
    EXPECT_EQ(m.at("platform_code"), PlistValue(int64_t{0}));
    for (const char* flag : {"links_ad_support", "advertising_tracking_enabled", "jailbroken"})
        EXPECT_EQ(m.at(flag), PlistValue(false)) << flag;
    EXPECT_FALSE(m.count("advertising_id"));
    EXPECT_FALSE(m.count("vendor_id"));
    EXPECT_FALSE(beacon->advertisingToken());
    EXPECT_GE(*m.at("cores").asInteger(), 1);
    EXPECT_EQ(m.at("os_version"), PlistValue(BCNHostGetOSDisplayVersion()));
    EXPECT_EQ(m.at("locale"), PlistValue("en_US_POSIX"));  // tests run with LC_ALL=C.UTF-8
    // The model is left out, both times, where the machine has none.
    if (auto model = BCNHostGetModel()) {
        EXPECT_EQ(m.at("model"), PlistValue(*model));
        EXPECT_EQ(m.at("machine"), PlistValue(*model));
    } else {
        EXPECT_FALSE(m.count("model") || m.count("machine"));
    }
    EXPECT_EQ(m.at("bundle_id"), PlistValue("com.tavlo.Tavlo"));
    EXPECT_TRUE(m.count("bundle_version") && m.count("bundle_short_version") && m.count("instance_id"));
}

TEST_F(BBXAnalyticsMetadataControllerTest, BetaTokens) {
    const struct {
        std::optional<std::string> token;
        std::optional<std::string> unwrapped;
    } cases[] = {{"2:abc", "abc"}, {"1:abc", std::nullopt}, {"abc", std::nullopt}, {"2:a:b", std::nullopt},
                 {"2:", ""},       {std::nullopt, std::nullopt}};
    auto beacon = makeBeacon();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.token.value_or("(none)"));
        EXPECT_EQ(Controller::unwrapBetaToken(c.token), c.unwrapped);
        auto m = Controller::metadataWithTimeStamp(0, c.token, std::nullopt, *beacon);
        EXPECT_EQ(m.count("beta_tester_token"), c.unwrapped ? 1u : 0u);
    }
}
