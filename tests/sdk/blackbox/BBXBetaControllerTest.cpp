// The beta check against the kit service on loopback: idle without a token;
// with one, a GET after each settings download, the update kept, checks
// suspended after a success (virtual clock) and stopped after a failure.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "sdk/beacon/BCNSettingsOnboardingManager.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXBetaController.h"
#include "sdk/blackbox/BBXBetaControllerDelegate.h"
#include "sdk/blackbox/BBXBetaUpdate.h"
#include "sdk/blackbox/BBXSettings.h"
#include "tests/sdk/beacon/BCNPinnedCertificatesReplacement.h"
#include "tests/sdk/beacon/KitRequestFixture.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using foundation::PlistValue;
using Dictionary = PlistValue::Dictionary;
using testsupport::FakeKitService;
using testsupport::Reply;
using Route = FakeKitService::Route;

class Delegate : public BBXBetaControllerDelegate {
public:
    std::optional<std::string> APIKeyForBetaController(BBXBetaController&) override { return std::string("beta-key"); }
    std::shared_ptr<BBXSettings> settingsForBetaController(BBXBetaController&) override {
        return std::make_shared<BBXSettings>(nullptr);
    }
};

class BBXBetaControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        BCNReplacePinnedCertificatesBeforeFirstUse({kittest::pki().rootA().certificateDER});
        auto folder = home_.root() / "Fixture.app";
        fs::create_directories(folder / "Contents");
        PlistValue info = Dictionary{{"CFBundleIdentifier", "org.example.fixture"},
                                     {"CFBundleVersion", "42"},
                                     {"CFBundleShortVersionString", "4.2"},
                                     {"BlackboxSignedForDistribution", true}};
        std::ofstream(folder / "Contents/Info.plist") << foundation::PropertyList::writeXML(info).value();
        foundation::Bundle::setMainBundlePath(folder);
        ASSERT_TRUE(service_.start());
        ::setenv("BlackboxBetaEndpoint", service_.baseURL().c_str(), 1);
    }
    void TearDown() override {
        controller_.reset();
        ::unsetenv("BlackboxBetaEndpoint");
    }

    void make(std::optional<std::string> token) {
        controller_ = BBXBetaController::initWithDelegate(&delegate_, [token] { return token; });
    }

    static void settingsDownloaded() {
        foundation::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
    }

    // Pumps the main queue until done() holds.
    template <class F>
    bool eventually(F done, double seconds = 30) {
        return kittest::eventually(
            [&] {
                dispatch::MainQueue::runUntilIdle();
                return done();
            },
            seconds);
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
    FakeKitService service_;
    Delegate delegate_;
    std::shared_ptr<BBXBetaController> controller_;
};

TEST_F(BBXBetaControllerTest, WithoutATokenItStaysIdle) {
    EXPECT_TRUE(BBXBetaController::isBetaSupported());
    make(std::nullopt);
    EXPECT_FALSE(controller_->start());
    settingsDownloaded();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(service_.requests().empty());
}

TEST_F(BBXBetaControllerTest, ACheckCarriesTheBuildAndTheTokenAndSuspendsFurtherChecks) {
    make(std::string("TOKEN-1"));
    ASSERT_TRUE(controller_->start());
    settingsDownloaded();
    ASSERT_TRUE(eventually([&] { return controller_->activeUpdate() != nullptr; }));
    EXPECT_EQ(controller_->activeUpdate()->url(), "https://beta.invalid/build.zip");
    EXPECT_EQ(controller_->activeUpdate()->version(), "2.0");

    auto requests = service_.requests(Route::Beta);
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/spi/v2/platforms/mac/apps/org.example.fixture/beta_update_check");
    for (const char* parameter : {"build_version=42", "display_version=4.2", "instance=", "source=3"})
        EXPECT_NE(request.target.find(parameter), std::string::npos) << parameter << " in " << request.target;
    EXPECT_EQ(request.header("X-Blackbox-Beta-Token"), "TOKEN-1");
    EXPECT_EQ(request.header("X-Blackbox-API-Key"), "beta-key");
    EXPECT_EQ(request.header("User-Agent"), "Blackbox Mac SDK/3.6.0");
    EXPECT_EQ(request.header("X-Blackbox-API-Client-Id"), "org.blackbox.mac");
    EXPECT_EQ(request.header("Accept"), "application/json");

    // Suspended for the settings' default of 3600 s, on the virtual clock.
    kittest::VirtualClock clock;
    dispatch::MainQueue::runUntilIdle();
    EXPECT_TRUE(controller_->checksSuspended());
    settingsDownloaded();
    controller_->queue()->sync([] {});
    dispatch::Clock::advance(3599);
    dispatch::MainQueue::runUntilIdle();
    EXPECT_TRUE(controller_->checksSuspended());
    dispatch::Clock::advance(1);
    dispatch::MainQueue::runUntilIdle();
    EXPECT_FALSE(controller_->checksSuspended());
    EXPECT_EQ(service_.requests(Route::Beta).size(), 1u) << "no check while suspended";
}

TEST_F(BBXBetaControllerTest, AnAnswerWithoutAnAddressIsNoUpdate) {
    foundation::Error error;
    EXPECT_EQ(BBXBetaController::updateWithData(R"({"version_string": "2.0"})", &error), nullptr);
    EXPECT_EQ(error.domain, "NSURLErrorDomain");
    EXPECT_EQ(error.code, -1017);
    for (const char* answer : {R"({"url": "not a url"})", R"({"url": 7})", R"(["https://a.example"])"}) {
        foundation::Error other;
        EXPECT_EQ(BBXBetaController::updateWithData(answer, &other), nullptr) << answer;
        EXPECT_EQ(other.code, -1017) << answer;
    }
    foundation::Error malformed;
    EXPECT_EQ(BBXBetaController::updateWithData("{", &malformed), nullptr);

    service_.scriptBeta({Reply::text(R"({"version_string": "2.0"})", 200, "application/json")});
    make(std::string("TOKEN"));
    ASSERT_TRUE(controller_->start());
    settingsDownloaded();
    ASSERT_TRUE(eventually([&] { return controller_->checksSuspended(); }));
    dispatch::MainQueue::runUntilIdle();
    EXPECT_EQ(controller_->activeUpdate(), nullptr);
    EXPECT_FALSE(controller_->retrying());
}

TEST_F(BBXBetaControllerTest, AFailedCheckStopsChecksForTheProcess) {
    service_.scriptBeta({Reply::text("gone", 404)});
    make(std::string("TOKEN"));
    ASSERT_TRUE(controller_->start());
    settingsDownloaded();
    ASSERT_TRUE(eventually([&] { return service_.requests(Route::Beta).size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(controller_->retrying());
    EXPECT_FALSE(controller_->checksSuspended());
    settingsDownloaded();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(service_.requests(Route::Beta).size(), 1u);
}

}  // namespace
