// The report lifecycle of one launch: the launch marker, this launch's report
// folder, what happens to the folders earlier launches left (removed, sent at
// once during start, offered to the delegate, put to the user), and a start
// that stops early. Packaging and upload are replaced by a recorder here.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "platform/desktop/Alert.h"
#include "platform/desktop/ApplicationLifecycle.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXCrashReportingController.h"
#include "sdk/blackbox/BBXCrashReportingControllerDelegate.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXSettings.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "sdk/blackbox/BBXUtilities.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using foundation::PlistValue;
using Dictionary = PlistValue::Dictionary;

void write(const fs::path& path, const std::string& contents = {}) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << contents;
}

using blackboxtest::metadataRecord;

// The kit's side of the questions, with settings from JSON text.
class TestDelegate : public BBXCrashReportingControllerDelegate {
public:
    std::string settingsJSON = "{}";
    bool informed = false;  // the application wants reports offered
    std::optional<bool> answer = true;  // what the application answers, none: never
    std::vector<std::string> offered, detected;

    std::optional<std::string> APIKeyForCrashReportingController(BBXCrashReportingController&) override {
        return std::string("key");
    }
    std::optional<std::string> installIDForCrashReportingController(BBXCrashReportingController&) override {
        return std::string("install");
    }
    bool isFirstInstallForCrashReportingController(BBXCrashReportingController&) override { return false; }
    std::shared_ptr<BBXSettings> settingsForCrashReportingController(BBXCrashReportingController&) override {
        auto value = foundation::JSON::read(settingsJSON);
        return std::make_shared<BBXSettings>(std::make_shared<const Dictionary>(*value.value().asDictionary()));
    }
    bool shouldInstallCrashCallback() override { return false; }
    void detectedCrash() override {}
    bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController&) override { return false; }
    bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController&) override { return informed; }
    void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController&,
                                                            const std::shared_ptr<BBXInternalReport>& report,
                                                            std::function<void(bool)> completion) override {
        if (!informed) return completion(true);
        std::lock_guard lock(mutex);
        offered.push_back(report->identifier());
        if (answer) completion(*answer);
    }
    void reportingControllerInternalDidDetectReportForLastExecution(
        BBXCrashReportingController&, const std::shared_ptr<BBXInternalReport>& report) override {
        std::lock_guard lock(mutex);
        detected.push_back(report->identifier());
    }
    bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController&, int) override { return false; }

    std::mutex mutex;
};

struct Submission {
    std::string identifier;
    bool urgent = false;
    bool processing = false;
    bool onStartingThread = false;
};

class BBXCrashReportingControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto folder = home_.root() / "Fixture.app";
        write(folder / "Contents/Info.plist",
              foundation::PropertyList::writeXML(PlistValue(Dictionary{{"CFBundleIdentifier", identifier_}})).value());
        foundation::Bundle::setMainBundlePath(folder);
        files_ = std::make_shared<BBXFileManager>();
    }
    void TearDown() override {
        if (controller_) controller_->operationQueue()->waitUntilAllOperationsAreFinished();
        BBXContextReset();
    }

    BBXCrashReportingController::Environment environment() {
        BBXCrashReportingController::Environment environment;
        environment.prepareAndSubmitReport = [this](const std::shared_ptr<BBXInternalReport>& report, bool urgent,
                                                    bool processing) {
            std::lock_guard lock(mutex_);
            submissions_.push_back({report->identifier(), urgent, processing, std::this_thread::get_id() == startingThread_});
            return true;
        };
        environment.runAlert = [this](desktop::Alert& alert) {
            std::lock_guard lock(mutex_);
            alerts_.push_back(alert.buttonTitles());
            return response_;
        };
        return environment;
    }

    bool start() {
        controller_ = BBXCrashReportingController::create(files_, &delegate_, environment());
        return controller_->startWithProfilingMark(BBXProfilingMarkNow(), std::nullopt);
    }

    // Runs the main queue and the work queue until both are quiet.
    void settle() {
        for (int round = 0; round < 5; ++round) {
            dispatch::MainQueue::runUntilIdle();
            controller_->operationQueue()->waitUntilAllOperationsAreFinished();
        }
    }

    fs::path active() const { return files_->activePath(); }
    fs::path launchMarker() const { return fs::path(files_->structurePath()) / "launchmarker"; }
    void earlierCrash(const std::string& name) {
        write(active() / name / "metadata.bbxrecord", metadataRecord(name));
        write(active() / name / "signal.bbxrecord", "{}\n");
    }

    std::vector<Submission> submissions() {
        std::lock_guard lock(mutex_);
        return submissions_;
    }

    std::string identifier_ = "org.example.fixture";
    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
    std::shared_ptr<BBXFileManager> files_;
    TestDelegate delegate_;
    std::shared_ptr<BBXCrashReportingController> controller_;
    std::mutex mutex_;
    std::vector<Submission> submissions_;
    std::vector<std::vector<std::string>> alerts_;
    std::thread::id startingThread_ = std::this_thread::get_id();
    int response_ = desktop::Alert::kFirstButtonReturn;
};

TEST_F(BBXCrashReportingControllerTest, AFirstLaunchMarksItselfUntilItsFirstMainQueueTurn) {
    ASSERT_TRUE(start());
    std::string execution = Beacon::sharedSDK()->executionIdentifier();
    EXPECT_TRUE(controller_->launchFailureMarkerPresent());
    EXPECT_EQ(controller_->currentReport()->path(), (active() / execution).string());
    EXPECT_TRUE(fs::is_directory(active() / execution));
    for (const char* stage : {"processing", "prepared"}) EXPECT_TRUE(fs::is_directory(fs::path(files_->structurePath()) / stage));

    settle();
    EXPECT_FALSE(controller_->launchFailureMarkerPresent());
    BBXContextLoggingQueue()->sync([] {});
    auto keys = blackboxtest::keysInKVFile((active() / execution / "internal_incremental_kv.bbxrecord").string());
    for (const char* key : {"com.blackbox.in-background", "com.blackbox.kit-start-time", "com.blackbox.first-run-loop-time"})
        EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << key;
    EXPECT_TRUE(submissions().empty());
}

// "com.blackbox.in-background": "0" at start, then whether the application
// left the front (YES) or came back to it (NO), as each notice comes.
TEST_F(BBXCrashReportingControllerTest, TheActivationNoticesRecordWhetherTheApplicationIsInTheBackground) {
    ASSERT_TRUE(start());
    auto& center = foundation::NotificationCenter::defaultCenter();
    center.post(desktop::ApplicationLifecycle::kWillResignActive);
    center.post(desktop::ApplicationLifecycle::kDidBecomeActive);
    settle();
    BBXContextLoggingQueue()->sync([] {});
    std::vector<std::string> values;
    std::string file = (active() / Beacon::sharedSDK()->executionIdentifier() / "internal_incremental_kv.bbxrecord").string();
    for (const auto& entry : BBXUserLoggingReadKVFile(file.c_str()))
        if (blackboxtest::unhex(*entry.get("key")->asString()) == "com.blackbox.in-background")
            values.push_back(blackboxtest::unhex(*entry.get("value")->asString()));
    EXPECT_EQ(values, (std::vector<std::string>{"0", *BBXUserLoggingValueDescription(PlistValue(true)),
                                                *BBXUserLoggingValueDescription(PlistValue(false))}));
}

TEST_F(BBXCrashReportingControllerTest, AfterAnEarlyFailureReportsGoDuringStartAndEmptyFoldersGo) {
    files_->prepareForNewLaunch();
    write(active() / "images-only" / "metadata.bbxrecord", metadataRecord("images-only"));
    write(active() / "images-only" / "binary_images.bbxrecord", "{}\n");
    write(active() / "no-session" / "metadata.bbxrecord", "{\"identity\":{}}\n");
    write(active() / "no-session" / "signal.bbxrecord", "{}\n");
    earlierCrash("urgent");
    write(launchMarker());
    ASSERT_TRUE(start());
    auto during = submissions();
    settle();
    EXPECT_FALSE(fs::exists(active() / "images-only"));
    EXPECT_FALSE(fs::exists(active() / "no-session"));
    EXPECT_TRUE(delegate_.offered.empty());
    EXPECT_EQ(delegate_.detected, std::vector<std::string>{"urgent"});
    ASSERT_EQ(during.size(), 1u) << "sent before start returned";
    EXPECT_TRUE(during[0].onStartingThread);
    EXPECT_EQ(during[0].identifier, "urgent");
    EXPECT_TRUE(during[0].urgent);
    EXPECT_TRUE(during[0].processing);
    EXPECT_EQ(submissions().size(), 1u);
    EXPECT_TRUE(log_->count("[Blackbox:Crash] Last launch failed") == 0) << "only with the debug flag";
}

TEST_F(BBXCrashReportingControllerTest, AnApplicationThatWantsReportsIsAskedEvenAfterAnEarlyFailure) {
    files_->prepareForNewLaunch();
    earlierCrash("asked");
    write(launchMarker());
    delegate_.informed = true;
    ASSERT_TRUE(start());
    settle();
    EXPECT_EQ(delegate_.offered, std::vector<std::string>{"asked"});
    auto sent = submissions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].urgent);
    EXPECT_FALSE(sent[0].onStartingThread);
    EXPECT_TRUE(sent[0].processing);
}

TEST_F(BBXCrashReportingControllerTest, ACrashAfterTheFirstTurnIsSentOnTheWorkQueue) {
    files_->prepareForNewLaunch();
    earlierCrash("later");
    ASSERT_TRUE(start());
    settle();
    auto sent = submissions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].identifier, "later");
    EXPECT_FALSE(sent[0].urgent);
    EXPECT_FALSE(sent[0].onStartingThread);
}

TEST_F(BBXCrashReportingControllerTest, AReportTheDelegateDeclinesIsRemovedAndNotSent) {
    files_->prepareForNewLaunch();
    earlierCrash("declined");
    delegate_.informed = true;
    delegate_.answer = false;
    ASSERT_TRUE(start());
    settle();
    EXPECT_EQ(delegate_.offered, std::vector<std::string>{"declined"});
    EXPECT_FALSE(fs::exists(active() / "declined"));
    EXPECT_TRUE(submissions().empty());
}

TEST_F(BBXCrashReportingControllerTest, AlwaysSendSendsLaterReportsOfTheProcessWithoutAnAlert) {
    files_->prepareForNewLaunch();
    earlierCrash("first");
    delegate_.settingsJSON = R"({"features": {"prompt_enabled": true}})";
    response_ = desktop::Alert::kFirstButtonReturn + 1;  // "Always Send"
    ASSERT_TRUE(start());
    settle();
    ASSERT_EQ(alerts_.size(), 1u);
    EXPECT_EQ(alerts_[0], (std::vector<std::string>{"Send", "Always Send", "Don't Send"}));
    EXPECT_EQ(controller_->promptChoice(), BBXCrashReportingController::AlwaysSend);
    EXPECT_TRUE(log_->contains("should set always submit here"));

    // A report accepted later in the process goes without asking.
    earlierCrash("second");
    controller_->handleDelegateCompletionForReport(BBXInternalReport::reportWithPath((active() / "second").string()), true);
    settle();
    EXPECT_EQ(alerts_.size(), 1u);
    auto sent = submissions();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].identifier, "first");
    EXPECT_EQ(sent[1].identifier, "second");
    EXPECT_FALSE(sent[1].urgent);
}

TEST_F(BBXCrashReportingControllerTest, WithTwoButtonsTheSecondDeclines) {
    files_->prepareForNewLaunch();
    earlierCrash("first");
    delegate_.settingsJSON = R"({"features": {"prompt_enabled": true}, "prompt": {"always_send_button_title": null}})";
    response_ = desktop::Alert::kFirstButtonReturn + 1;
    ASSERT_TRUE(start());
    settle();
    ASSERT_EQ(alerts_.size(), 1u);
    EXPECT_EQ(alerts_[0], (std::vector<std::string>{"Send", "Don't Send"}));
    EXPECT_FALSE(fs::exists(active() / "first"));
    EXPECT_EQ(controller_->promptChoice(), BBXCrashReportingController::Declined);

    // The answer holds for the rest of the process.
    earlierCrash("second");
    controller_->handleDelegateCompletionForReport(BBXInternalReport::reportWithPath((active() / "second").string()), true);
    settle();
    EXPECT_EQ(alerts_.size(), 1u);
    EXPECT_FALSE(fs::exists(active() / "second"));
    EXPECT_TRUE(submissions().empty());
}

TEST_F(BBXCrashReportingControllerTest, DisabledCollectionEmptiesTheStagesAndInstallsNoHandler) {
    files_->prepareForNewLaunch();
    earlierCrash("earlier");
    write(fs::path(files_->preparedPath()) / "package.multipartmime", "x");
    struct sigaction before {}, after {};
    sigaction(SIGSEGV, nullptr, &before);
    delegate_.settingsJSON = R"({"features": {"collect_reports": false}})";
    EXPECT_FALSE(start());
    sigaction(SIGSEGV, nullptr, &after);
    EXPECT_EQ(after.sa_sigaction, before.sa_sigaction);
    EXPECT_FALSE(BBXContextIsInitialized());
    EXPECT_TRUE(files_->activePathContents().empty());
    EXPECT_TRUE(files_->preparedPathContents().empty());
    EXPECT_TRUE(log_->contains("[Blackbox:Crash] Reporting is disabled"));
}

TEST_F(BBXCrashReportingControllerTest, WithoutABundleIdentifierNothingIsTouched) {
    auto folder = home_.root() / "Nameless.app";
    write(folder / "Contents/Info.plist", foundation::PropertyList::writeXML(PlistValue(Dictionary{})).value());
    foundation::Bundle::setMainBundlePath(folder);
    files_ = std::make_shared<BBXFileManager>();
    EXPECT_FALSE(start());
    EXPECT_TRUE(log_->contains("[Blackbox] An application must have a valid bundle idenifier in its Info.plist"));
    EXPECT_FALSE(fs::exists(home_.cacheHome() / "com.blackbox.data"));
    EXPECT_FALSE(BBXContextIsInitialized());
}

}  // namespace
