// The crash kit's facade: its one start, the debug flag, the identifiers it
// answers with, the delegate's reports, and the web-view bridge (its script
// run under node with a stand-in window).
#include <gtest/gtest.h>

#include <fstream>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXCrashReport.h"
#include "sdk/blackbox/BBXCrashReportingController.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/Blackbox.h"
#include "sdk/blackbox/BlackboxDelegate.h"
#include "sdk/tally/Tally.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using foundation::PlistValue;
using Dictionary = PlistValue::Dictionary;

class BlackboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto folder = home_.root() / "Fixture.app";
        fs::create_directories(folder / "Contents");
        PlistValue info = Dictionary{{"CFBundleIdentifier", "org.example.fixture"},
                                     {"Beacon", Dictionary{{"APIKey", "fixture-key"}}}};
        std::ofstream(folder / "Contents/Info.plist") << foundation::PropertyList::writeXML(info).value();
        foundation::Bundle::setMainBundlePath(folder);
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
};

TEST_F(BlackboxTest, StartsOnceHoweverOftenItIsAsked) {
    Blackbox::registerKitClass(BCNKitRegistry::shared());
    Blackbox::initializeIfNeeded();
    auto controller = Blackbox::sharedInstance()->crashReportingController();
    ASSERT_TRUE(controller);
    Blackbox::initializeIfNeeded();
    Blackbox::sharedInstance()->start();
    EXPECT_EQ(Blackbox::sharedInstance()->crashReportingController(), controller);
    EXPECT_EQ(log_->count("[Blackbox] Version 3.6.0 (99)"), 1u);
    EXPECT_TRUE(Blackbox::sharedInstance()->isBlackboxStarted());
    EXPECT_TRUE(BBXContextIsInitialized());
    // Not signed for distribution: no beta check.
    EXPECT_FALSE(Blackbox::sharedInstance()->betaController());
    // The kit starts the analytics kit itself.
    EXPECT_TRUE(Tally::sharedInstance()->analyticsController());
    EXPECT_EQ(Blackbox::sharedInstance()->APIKey(), "fixture-key");
    // Asked after start: a warning only.
    Blackbox::sharedInstance()->setDelegate(nullptr);
    EXPECT_TRUE(log_->contains("[Blackbox] Warning, setting delegate after start."));
    controller->operationQueue()->waitUntilAllOperationsAreFinished();
}

TEST_F(BlackboxTest, DebugModeCanOnlyBeTurnedOn) {
    Beacon::sharedSDK()->setDebug(false);
    Blackbox::sharedInstance()->setDebugMode(false);
    EXPECT_TRUE(Blackbox::sharedInstance()->debugMode());
    EXPECT_TRUE(Beacon::sharedSDK()->debug());
    EXPECT_FALSE(log_->contains("consider enabling debug mode"));
}

TEST_F(BlackboxTest, IdentityAndWriteOnlyAccessors) {
    auto kit = Blackbox::sharedInstance();
    EXPECT_EQ(Blackbox::sharedInstance(), kit);
    const BCNKitClass* kitClass = Blackbox::registerKitClass(BCNKitRegistry::shared());
    EXPECT_EQ(kit->kitClass(), kitClass);
    EXPECT_TRUE(kitClass->isBCNKit());
    EXPECT_EQ(kitClass->bundleIdentifier(), "org.blackbox.mac");
    EXPECT_EQ(kitClass->kitDisplayVersion(), "3.6.0");
    EXPECT_EQ(kitClass->kitBuildVersion(), "99");
    EXPECT_EQ(kit->version(), "3.6.0");
    EXPECT_EQ(kit->kitInfo(), std::nullopt);
    EXPECT_EQ(kit->settingsDictionary(), std::nullopt);
    EXPECT_EQ(kit->developmentPlatformName(), std::nullopt);
    EXPECT_EQ(kit->developmentPlatformVersion(), std::nullopt);
    EXPECT_TRUE(log_->contains("[Blackbox] developmentPlatformName is write-only"));
    EXPECT_TRUE(log_->contains("[Blackbox] developmentPlatformVersion is write-only"));
}

TEST_F(BlackboxTest, AnOlderKitsInstallIdentifierComesFirst) {
    EXPECT_EQ(Blackbox::historicInstallID(), std::nullopt);
    EXPECT_EQ(Blackbox::sharedInstance()->installID(), Beacon::sharedSDK()->installID());

    fs::path plist = home_.dataHome() / "com.blackbox" / "BBXUserDefaults.plist";
    fs::create_directories(plist);
    EXPECT_EQ(Blackbox::historicInstallID(), std::nullopt) << "a folder in its place";
    fs::remove(plist);
    std::ofstream(plist) << foundation::PropertyList::writeXML(PlistValue(Dictionary{{"com.blackbox.iuuid", "OLD-ID"}}))
                                .value();
    EXPECT_EQ(Blackbox::historicInstallID(), "OLD-ID");
    EXPECT_EQ(Blackbox::sharedInstance()->installID(), "OLD-ID");
}

// A delegate that has only the legacy notices.
class LegacyDelegate : public BlackboxDelegate {
public:
    unsigned implementedOperations() const override {
        return DidDetectCrashDuringPreviousExecutionWithReport | DidDetectCrashDuringPreviousExecution;
    }
    void blackboxDidDetectCrashDuringPreviousExecution(Blackbox&, const std::shared_ptr<BBXCrashReport>& report) override {
        calls.push_back("with report " + report->identifier().value_or("?"));
    }
    void blackboxDidDetectCrashDuringPreviousExecution(Blackbox&) override { calls.push_back("without report"); }
    std::vector<std::string> calls;
};

TEST_F(BlackboxTest, ALegacyDelegateHearsAfterTheReportIsAlreadyAccepted) {
    auto kit = Blackbox::sharedInstance();
    auto delegate = std::make_shared<LegacyDelegate>();
    kit->setDelegate(delegate);
    auto controller = BBXCrashReportingController::create(std::make_shared<BBXFileManager>(), kit.get());
    EXPECT_TRUE(kit->reportingControllerMustInformDelegateOfReports(*controller));
    std::optional<bool> answer;
    kit->reportingControllerDidDetectReportForLastExecution(
        *controller, std::make_shared<BBXInternalReport>("/nowhere", "earlier"), [&](bool submit) { answer = submit; });
    EXPECT_EQ(answer, true) << "at once";
    EXPECT_TRUE(delegate->calls.empty());
    dispatch::MainQueue::runUntilIdle();
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"with report earlier", "without report"}));
}

TEST_F(BlackboxTest, WithoutAUserScriptClassMonitoringFailsButTheHandlerIsThere) {
    BBXWebViewConfiguration configuration{"<web view configuration>", {}};
    Blackbox::sharedInstance()->monitorErrorsForWKWebViewConfiguration(configuration);
    EXPECT_EQ(configuration.userContentController.scriptMessageHandlers.at("blackbox"), Blackbox::sharedInstance().get());
    EXPECT_TRUE(configuration.userContentController.userScripts.empty());
    EXPECT_TRUE(log_->contains("[Blackbox] Unable to monitor <web view configuration>"));

    // A host that has the class gets the script, at document end, main frame only.
    Blackbox::setUserScriptClass([](const std::string& source, int injectionTime, bool mainFrameOnly) {
        return std::optional<BBXUserScript>(BBXUserScript{source, injectionTime, mainFrameOnly});
    });
    log_->clear();
    BBXWebViewConfiguration hosted{"hosted", {}};
    Blackbox::sharedInstance()->monitorErrorsForWKWebViewConfiguration(hosted);
    Blackbox::setUserScriptClass(nullptr);
    ASSERT_EQ(hosted.userContentController.userScripts.size(), 1u);
    const BBXUserScript& script = hosted.userContentController.userScripts[0];
    EXPECT_EQ(script.source, std::string(Blackbox::webViewLoadHook()) + Blackbox::webViewErrorHook());
    EXPECT_EQ(script.injectionTime, 1);
    EXPECT_TRUE(script.forMainFrameOnly);
    EXPECT_FALSE(log_->contains("Unable to monitor"));
}

TEST_F(BlackboxTest, AScriptMessageMustBeADictionary) {
    Blackbox::sharedInstance()->userContentControllerDidReceiveScriptMessage({"blackbox", PlistValue("just text")});
    EXPECT_EQ(log_->count("[Blackbox] Unable to record exception from WKWebView"), 1u);
    Blackbox::sharedInstance()->userContentControllerDidReceiveScriptMessage(
        {"blackbox", PlistValue(Dictionary{{"msg", "ReferenceError: x is not defined"}, {"line", int64_t{3}}})});
    EXPECT_EQ(log_->count("[Blackbox] Unable to record exception from WKWebView"), 1u);
}

TEST_F(BlackboxTest, TheUserScriptPostsErrorsAndKeepsThePagesOwnHandlers) {
    // A window whose page set its own handlers before the script ran, and
    // replaced its error handler again before load.
    std::string program = R"(
        var posted = [], seen = [];
        var window = {
            onload: function () { seen.push("page load"); },
            onerror: function (msg) { seen.push("page error " + msg); return true; },
            webkit: {messageHandlers: {blackbox: {postMessage: function (m) { posted.push(m); }}}}
        };
    )" + Blackbox::webViewUserScriptSource() + R"(
        window.onerror = function (msg) { seen.push("later page error " + msg); };
        window.onload();
        var answer = window.onerror("boom", "https://page.example/a.js", 12, 7, null);
        console.log(JSON.stringify({posted: posted, seen: seen}));
    )";
    auto result = testsupport::runCommand({"node", "-e", program}, 30s);
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find(R"({"posted":[{"msg":"boom","url":"https://page.example/a.js","line":12,"column":7}],)"
                                 R"("seen":["page load","later page error boom"]})"),
              std::string::npos)
        << result.output;
}

}  // namespace
