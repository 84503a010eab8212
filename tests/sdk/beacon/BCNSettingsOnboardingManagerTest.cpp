// The settings download, its cache and the application's onboarding, against
// the fake kit service on loopback HTTPS (the pins replaced by root A): what
// is requested, in what order, what lands in the cache and when the settings
// are announced.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "sdk/beacon/BBXUserDefaults.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNHost.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/BCNSettingsOnboardingManager.h"
#include "sdk/beacon/Beacon.h"
#include "tests/sdk/beacon/BCNPinnedCertificatesReplacement.h"
#include "tests/sdk/beacon/KitRequestFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

using foundation::PlistValue;
using testsupport::FakeKitService;
using testsupport::Reply;
using Route = FakeKitService::Route;

namespace {

std::vector<uint8_t> png(uint32_t width, uint32_t height) {
    std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (uint32_t side : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(side >> shift));
    for (uint8_t rest : {8, 6, 0, 0, 0, 0, 0, 0, 0}) bytes.push_back(rest);
    return bytes;
}

std::string field(const std::vector<FakeKitService::Field>& fields, const std::string& name) {
    for (const auto& f : fields)
        if (f.name == name) return f.value;
    return "<absent>";
}

const std::string kOldCache = R"({"app": {"status": "activated"}, "old": true})";

class BCNSettingsOnboardingManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        BCNReplacePinnedCertificatesBeforeFirstUse({kittest::pki().rootA().certificateDER});
        Beacon::sharedSDK()->setDebug(false);
        Beacon::sharedSDK()->setAdvertisingToken(std::string("AD-TOKEN"));
    }
    void TearDown() override {
        ::unsetenv("SettingsEndpoint");
        ::unsetenv("ConfigureEndpoint");
    }

    // Starts the service and points both endpoints at it.
    void startService(std::optional<testsupport::TestCertificates::Leaf> leaf = testsupport::TestCertificates::Leaf::Good) {
        service_ = std::make_unique<FakeKitService>(leaf);
        ASSERT_TRUE(service_->start());
        ::setenv("SettingsEndpoint", service_->baseURL().c_str(), 1);
        ::setenv("ConfigureEndpoint", service_->baseURL().c_str(), 1);
    }

    // A bundle with a key and, unless told otherwise, an icon.
    void makeManager(const std::string& identifier = "com.tavlo.Fixture", bool icon = true, bool reportIdentifiers = true) {
        auto folder = home_.root() / "Fixture.app";
        std::filesystem::create_directories(folder / "Contents/Resources");
        PlistValue info = PlistValue::Dictionary{
            {"CFBundleIdentifier", identifier}, {"CFBundleVersion", "7"}, {"CFBundleShortVersionString", "1.2"},
            {"CFBundleName", "Fixture"},
            {"Beacon", PlistValue::Dictionary{{"APIKey", "key"}, {"Kits", PlistValue::Array{}},
                                              {"ReportIdentifiers", reportIdentifiers}}}};
        if (icon) {
            info["CFBundleIconFile"] = "AppIcon";
            auto bytes = png(64, 32);
            std::ofstream(folder / "Contents/Resources/AppIcon.png", std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        std::ofstream(folder / "Contents/Info.plist") << foundation::PropertyList::writeXML(info).value();
        bundle_ = foundation::Bundle::withPath(folder);
        model_ = BCNApplicationIdentiferModel::initWithInstallID("INSTALL-ID", bundle_);
        ASSERT_TRUE(model_);
        manager_ = std::make_shared<BCNSettingsOnboardingManager>(model_, bundle_);
        manager_->setRequestTimeoutForTesting(5);
    }

    void writeOldCache() {
        std::filesystem::create_directories(manager_->settingsPath().parent_path());
        std::ofstream(manager_->settingsPath()) << kOldCache;
    }
    std::string cache() const {
        std::ifstream in(manager_->settingsPath());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Runs the flow to its end: the client invalidated and let go.
    void runFlow(const std::function<void(BCNNetworkClient&)>& prepare = {}) {
        std::weak_ptr<BCNNetworkClient> client = manager_->networkClient();
        if (prepare) prepare(*client.lock());
        manager_->beginSettingsAndOnboardingOperationsWithAPIKey("key", {{"org.blackbox.mac", "3.6.0"}});
        ASSERT_TRUE(kittest::eventually([&] { return client.expired(); }, 60)) << "the flow did not end";
        EXPECT_EQ(manager_->networkClient(), nullptr) << "no second client in this run";
    }

    std::vector<std::string> routes() const {
        std::vector<std::string> names;
        for (const auto& r : service_->requests()) names.push_back(r.method);
        return names;
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
    std::unique_ptr<FakeKitService> service_;
    std::shared_ptr<foundation::Bundle> bundle_;
    std::shared_ptr<const BCNApplicationIdentiferModel> model_;
    std::shared_ptr<BCNSettingsOnboardingManager> manager_;
    std::atomic<int> notifications_{0};
    std::atomic<size_t> updatesAtNotification_{0};
    foundation::ObserverRegistration observer_{
        foundation::NotificationCenter::defaultCenter(),
        foundation::NotificationCenter::defaultCenter().addObserver(
            BCNSettingsAvailableNotification, nullptr, [this](const foundation::Notification&) {
                if (service_) updatesAtNotification_ = service_->requests(Route::Update).size();
                ++notifications_;
            })};
};

TEST_F(BCNSettingsOnboardingManagerTest, ANewApplicationIsCreatedThenItsSettingsAnnounced) {
    startService();
    makeManager();
    service_->scriptSettings({FakeKitService::settingsDocument(R"({"status": "new"})"),
                              FakeKitService::settingsDocument(R"({"status": "activated"})")});
    runFlow();
    EXPECT_EQ(routes(), (std::vector<std::string>{"GET", "POST", "GET"}));
    EXPECT_EQ(notifications_, 1);
    EXPECT_NE(cache().find("activated"), std::string::npos);
    EXPECT_EQ(manager_->settingsModel()->appStatus(), "activated");

    auto create = service_->requests(Route::Create).at(0);
    EXPECT_EQ(create.path, "/spi/v1/platforms/mac/apps");
    EXPECT_EQ(create.header("Content-Length"), std::to_string(create.bodyLength));
    auto fields = FakeKitService::multipartFields(create);
    const auto& [architecture, uuid] = *model_->architectureUUIDMap().begin();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"app[identifier]", "com.tavlo.Fixture"},
        {"app[instance_identifier]", model_->instanceIdentifier()},
        {"app[name]", "Fixture"},
        {"app[build_version]", "7"},
        {"app[display_version]", "1.2"},
        {"app[source]", "1"},
        {"app[minimum_sdk_version]", "0.0.0"},
        {"app[built_sdk_version]", "0.0.0"},
        {"app[build][libraries][org.blackbox.mac]", "3.6.0"},
        {"app[slices][][arch]", architecture},
        {"app[slices][][uuid]", uuid},
        {"app[icon][hash]", model_->icon()->dataHash()},
        {"app[icon][prerendered]", "true"},
        {"app[icon][width]", "64"},
        {"app[icon][height]", "32"},
        {"app[icon][data]", model_->icon()->data().toString()},
    };
    ASSERT_EQ(fields.size(), expected.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(fields[i].name, expected[i].first);
        EXPECT_EQ(fields[i].value, expected[i].second) << fields[i].name;
    }
    EXPECT_EQ(fields.back().fileName, "icon.png");
    EXPECT_EQ(fields.back().contentType, "image/png");
    EXPECT_EQ(fields[0].contentType, "text/plain");
}

TEST_F(BCNSettingsOnboardingManagerTest, AnUpdateIsSentAfterTheSettingsAreAnnounced) {
    startService();
    makeManager();
    service_->scriptSettings({FakeKitService::settingsDocument(R"({"status": "activated", "update_required": true})")});
    runFlow();
    EXPECT_EQ(routes(), (std::vector<std::string>{"GET", "PUT"}));
    EXPECT_EQ(notifications_, 1);
    EXPECT_EQ(updatesAtNotification_, 0u) << "announced before the update went out";
    auto update = service_->requests(Route::Update).at(0);
    EXPECT_EQ(update.path, "/spi/v1/platforms/mac/apps/com.tavlo.Fixture");
    EXPECT_EQ(field(FakeKitService::multipartFields(update), "app[identifier]"), "com.tavlo.Fixture");
    EXPECT_TRUE(manager_->hasAttemptedAppConfigure());
}

TEST_F(BCNSettingsOnboardingManagerTest, NoAppMeansSettingsWithoutConfigure) {
    startService();
    makeManager();
    service_->scriptSettings({FakeKitService::settingsDocument("null")});
    runFlow();
    EXPECT_EQ(routes(), (std::vector<std::string>{"GET"}));
    EXPECT_EQ(notifications_, 1);
    EXPECT_FALSE(manager_->hasAttemptedAppConfigure());
}

TEST_F(BCNSettingsOnboardingManagerTest, FailedDownloadsKeepTheLastGoodSettings) {
    struct Case {
        const char* name;
        std::vector<Reply> replies;
        size_t gets;
    };
    Reply silent;
    silent.neverAnswer = true;
    Reply cut = FakeKitService::settingsDocument("null");
    cut.closeAfterBodyBytes = 5;
    const Case cases[] = {
        {"500 twice", {Reply::text("down", 500)}, 2},
        {"silent", {silent}, 2},
        {"malformed JSON", {Reply::text("{\"app\": ", 200, "application/json")}, 1},
        {"an array", {Reply::text("[{\"app\": null}]", 200, "application/json")}, 1},
        {"a cut body", {cut}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startService();
        makeManager();
        // Short enough for the silent server, long enough for a handshake on a busy machine.
        manager_->setRequestTimeoutForTesting(3);
        writeOldCache();
        log_->clear();
        notifications_ = 0;
        service_->scriptSettings(c.replies);
        runFlow([](BCNNetworkClient& client) { client.setJitterSourceForTesting([] { return 0.1; }); });
        EXPECT_EQ(service_->requests(Route::Settings).size(), c.gets);
        EXPECT_EQ(service_->requests().size(), c.gets) << "no configure";
        EXPECT_EQ(notifications_, 0);
        EXPECT_EQ(cache(), kOldCache);
        EXPECT_EQ(log_->count("[Beacon] failed to download settings "), 1u);
        service_->stop();
    }
}

TEST_F(BCNSettingsOnboardingManagerTest, AFailingCreateIsRepeatedTenTimesWithGrowingWaits) {
    kittest::VirtualClock clock;
    startService();
    makeManager();
    service_->scriptSettings({FakeKitService::settingsDocument(R"({"status": "new"})")});
    service_->scriptCreate({Reply::text("busy", 500)});
    std::weak_ptr<BCNNetworkClient> client = manager_->networkClient();
    client.lock()->setJitterSourceForTesting([] { return 1.0; });
    manager_->beginSettingsAndOnboardingOperationsWithAPIKey("key", {});
    const double waits[] = {2, 2, 4, 8, 16, 32, 64, 128, 256, 512};
    for (size_t posts = 1; posts <= 11; ++posts) {
        ASSERT_TRUE(kittest::eventually([&] { return service_->requests(Route::Create).size() >= posts; }));
        if (posts == 11) break;
        std::optional<double> deadline;
        ASSERT_TRUE(kittest::eventually([&] { return (deadline = dispatch::Clock::nextDeadline()).has_value(); }));
        EXPECT_DOUBLE_EQ(*deadline - dispatch::Clock::now(), waits[posts - 1]) << "before POST " << posts + 1;
        dispatch::Clock::advance(waits[posts - 1]);
    }
    ASSERT_TRUE(kittest::eventually([&] { return client.expired(); }));
    EXPECT_EQ(service_->requests(Route::Create).size(), 11u);
    EXPECT_EQ(service_->requests(Route::Settings).size(), 1u);
    EXPECT_EQ(notifications_, 0);
    EXPECT_EQ(log_->count("[Beacon] unable to complete application configure: "), 1u);
}

TEST_F(BCNSettingsOnboardingManagerTest, AServerOutsideThePinsIsRefused) {
    startService(testsupport::TestCertificates::Leaf::OtherRoot);
    makeManager();
    writeOldCache();
    runFlow();
    EXPECT_EQ(service_->requests().size(), 0u);
    EXPECT_EQ(notifications_, 0);
    EXPECT_EQ(cache(), kOldCache);
    auto lines = log_->messages();
    ASSERT_EQ(log_->count("[Beacon] failed to download settings "), 1u);
    EXPECT_TRUE(log_->contains("Code=-999")) << ::testing::PrintToString(lines);
}

TEST_F(BCNSettingsOnboardingManagerTest, TheSettingsRequestCarriesTheKitHeadersAndParameters) {
    startService();
    makeManager();
    runFlow();
    auto get = service_->requests(Route::Settings).at(0);
    EXPECT_EQ(get.path, "/spi/v2/platforms/mac/apps/com.tavlo.Fixture/settings");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(get.target, match,
                                 std::regex(R"(.*\?build_version=7&display_version=1\.2&instance=([0-9a-f]{40})&icon_hash=([0-9a-f]{40})&source=1)")))
        << get.target;
    EXPECT_EQ(match[1], model_->instanceIdentifier());
    EXPECT_EQ(match[2], model_->icon()->dataHash());
    for (const char* name : {"User-Agent", "Accept-Language", "X-Blackbox-Developer-Token", "X-Blackbox-API-Client-Id",
                             "X-Blackbox-API-Client-Display-Version", "X-Blackbox-API-Client-Build-Version",
                             "X-Blackbox-OS-Display-Version"})
        EXPECT_TRUE(get.header(name)) << name;
    EXPECT_EQ(get.header("Accept"), "application/json");
    EXPECT_EQ(get.header("X-Blackbox-API-Key"), "key");
    EXPECT_EQ(get.header("X-Blackbox-Installation-ID"), "INSTALL-ID");
    EXPECT_EQ(get.header("X-Blackbox-API-Client-Version"), "1.6.3");
    EXPECT_EQ(get.header("X-Blackbox-Advertising-Token"), "AD-TOKEN");
    EXPECT_EQ(get.header("X-Blackbox-Device-Model").has_value(), BCNHostGetModel().has_value());
}

TEST_F(BCNSettingsOnboardingManagerTest, OptedOutWithoutIconAndWithASlashInTheIdentifier) {
    startService();
    makeManager("a/b", false, false);
    service_->scriptSettings({FakeKitService::settingsDocument(R"({"status": "activated"})")});
    runFlow();
    auto get = service_->requests(Route::Settings).at(0);
    EXPECT_FALSE(get.header("X-Blackbox-Advertising-Token"));
    EXPECT_EQ(get.header("X-Blackbox-Installation-ID"), "INSTALL-ID");
    EXPECT_EQ(get.target.find("icon_hash"), std::string::npos);
    EXPECT_EQ(get.path, "/spi/v2/platforms/mac/apps/a_b/settings");
    EXPECT_EQ(manager_->settingsPath(), home_.cacheHome() / "org.beacon.sdk.mac.data" / "a" / "b" / "settings.json");
    EXPECT_NE(cache().find("activated"), std::string::npos);
}

TEST_F(BCNSettingsOnboardingManagerTest, EndpointsComeFromTheEnvironmentThenInfoPlistThenNowhere) {
    makeManager();
    EXPECT_EQ(manager_->valueForConfigurationKey("SettingsEndpoint"), "https://settings.invalid");
    EXPECT_EQ(manager_->valueForConfigurationKey("ConfigureEndpoint"), "https://configure.invalid");
    EXPECT_EQ(manager_->valueForConfigurationKey("Other"), std::nullopt);
    auto info = bundle_->infoDictionary();
    info["Blackbox"] = PlistValue::Dictionary{{"SettingsEndpoint", "https://plist.test"}};
    std::ofstream(home_.root() / "Fixture.app/Contents/Info.plist") << foundation::PropertyList::writeXML(info).value();
    auto reread = std::make_shared<BCNSettingsOnboardingManager>(model_, foundation::Bundle::withPath(home_.root() / "Fixture.app"));
    EXPECT_EQ(reread->valueForConfigurationKey("SettingsEndpoint"), "https://plist.test");
    ::setenv("SettingsEndpoint", "https://env.test", 1);
    EXPECT_EQ(reread->valueForConfigurationKey("SettingsEndpoint"), "https://env.test");
    EXPECT_EQ(reread->settingsURL().rfind("https://env.test/spi/v2/platforms/mac/apps/com.tavlo.Fixture/settings?", 0), 0u);
}

TEST_F(BCNSettingsOnboardingManagerTest, TheShippedInfoPlistStartsNothing) {
    startService();
    auto shipped = foundation::Bundle::withPath(TAVLO_SOURCE_RESOURCES);
    auto store = std::make_shared<BBXUserDefaults>(home_.root() / "store", foundation::UserDefaults::suite("standard"));
    auto beacon = std::make_shared<Beacon>(Beacon::Environment{shipped, store, nullptr});
    try {
        beacon->startKits({});
    } catch (const BCNException&) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(service_->server().connectionCount(), 0);
    EXPECT_EQ(notifications_, 0);
}

}  // namespace

namespace {

// The probe as a person would run it against the service.
TEST_F(BCNSettingsOnboardingManagerTest, TheProbeReportsTheAnnouncedSettings) {
    startService();
    makeManager();
    service_->scriptSettings({FakeKitService::settingsDocument(R"({"status": "activated"})")});
    auto rootA = (home_.root() / "rootA.pem").string();
    std::ofstream(rootA) << kittest::pki().rootA().certificatePEM;
    auto result = testsupport::runCommand({BEACON_PROBE, "start", "--pinned-anchors", rootA, "--wait", "20"},
                                          std::chrono::seconds(60),
                                          {{"TAVLO_BUNDLE", (home_.root() / "Fixture.app").string()}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.rfind("with: ok\nsettings-available 1\nsettings={", 0), 0u) << result.output;
    EXPECT_NE(result.output.find("\"status\":\"activated\""), std::string::npos) << result.output;
}

}  // namespace
