#include "sdk/blackbox/BBXCrashReportingController.h"

#include <fcntl.h>
#include <unistd.h>

#include <exception>
#include <filesystem>

#include "platform/desktop/Alert.h"
#include "platform/desktop/ApplicationLifecycle.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/PlistValue.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXApplication.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXCrashReportingControllerDelegate.h"
#include "sdk/blackbox/BBXException.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXHandler.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXMachException.h"
#include "sdk/blackbox/BBXNetworkClient.h"
#include "sdk/blackbox/BBXReportsController.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXSettings.h"
#include "sdk/blackbox/BBXSignal.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

using foundation::PlistValue;

bool debug() { return Beacon::sharedSDK()->debug(); }

void debugLog(const std::string& line) {
    if (debug()) foundation::systemLog(line);
}

// The text form of a number of milliseconds, as the internal keys hold it.
PlistValue millisecondsText(double milliseconds) {
    return PlistValue(PlistValue(milliseconds).stringValue().value_or("0"));
}

void crashCallback(void* delegate) {
    if (delegate) static_cast<BBXCrashReportingController*>(delegate)->deliverCrashDelegateCallback();
}

}  // namespace

std::shared_ptr<BBXCrashReportingController> BBXCrashReportingController::create(
    std::shared_ptr<BBXFileManager> fileManager, BBXCrashReportingControllerDelegate* delegate, Environment environment) {
    auto controller = std::shared_ptr<BBXCrashReportingController>(
        new BBXCrashReportingController(std::move(fileManager), delegate, std::move(environment)));
    // The upload client hears of the controller through a weak reference.
    controller->networkClient_ =
        BBXNetworkClient::create(controller->operationQueue_, controller->fileManager_, controller->weak_from_this());
    return controller;
}

BBXCrashReportingController::BBXCrashReportingController(std::shared_ptr<BBXFileManager> fileManager,
                                                         BBXCrashReportingControllerDelegate* delegate,
                                                         Environment environment)
    : fileManager_(std::move(fileManager)),
      delegate_(delegate),
      environment_(std::move(environment)),
      operationQueue_(dispatch::OperationQueue::create(kWorkQueueName, 1)) {}

BBXCrashReportingController::~BBXCrashReportingController() = default;

std::shared_ptr<BBXSettings> BBXCrashReportingController::settings() {
    std::lock_guard lock(mutex_);
    if (!settings_ && delegate_) settings_ = delegate_->settingsForCrashReportingController(*this);
    if (!settings_) settings_ = std::make_shared<BBXSettings>(nullptr);
    return settings_;
}

std::shared_ptr<BBXInternalReport> BBXCrashReportingController::currentReport() const {
    std::lock_guard lock(mutex_);
    return currentReport_;
}

void BBXCrashReportingController::addOperation(std::function<void(BBXCrashReportingController&)> block) {
    operationQueue_->addOperation([self = shared_from_this(), block = std::move(block)] { block(*self); });
}

// MARK: - Start

bool BBXCrashReportingController::startWithProfilingMark(uint64_t mark, const std::optional<std::string>& betaToken) {
    profilingMark_ = mark;
    if (!checkPreconditions()) return false;
    if (!settings()->crashReportingEnabled()) {
        foundation::systemLog("[Blackbox:Crash] Reporting is disabled");
        fileManager_->removeContentsOfAllPaths();
        return false;
    }
    // The removal of an older layout's tree runs here, before the stages are
    // made: queued, it could run after this launch's folder exists and take
    // it away with the tree.
    fileManager_->removeLegacyDirectories();
    if (!fileManager_->prepareForNewLaunch()) return false;

    bool urgent = checkForAndCreateLaunchMarker();
    std::vector<std::string> earlierReports = fileManager_->activePathContents();
    if (!setupCurrentReport()) foundation::systemLog("[Blackbox:Crash] Unable to setup a new report");
    if (!startCrashReporter(betaToken)) foundation::systemLog("[Blackbox:Crash] Unable to start crash reporter");
    processExistingReportPaths(earlierReports, urgent);
    handleContentsInOtherReportingDirectories();
    BBXUserLoggingRecordInternalKeyValue(std::string(kKitStartTimeKey),
                                         millisecondsText(BBXProfilingElapsedMilliseconds(profilingMark_)));
    return currentReport() != nullptr;
}

bool BBXCrashReportingController::checkPreconditions() {
    auto identifier = BCNApplicationGetEscapedBundleIdentifier();
    if (identifier && !identifier->empty()) return true;
    foundation::systemLog("[Blackbox] An application must have a valid bundle idenifier in its Info.plist");
    return false;
}

std::string BBXCrashReportingController::launchFailureMarkerPath() const {
    return fileManager_->structurePath() + "/launchmarker";
}

bool BBXCrashReportingController::launchFailureMarkerPresent() const {
    std::error_code error;
    return std::filesystem::exists(launchFailureMarkerPath(), error);
}

bool BBXCrashReportingController::createLaunchFailureMarker() const {
    int fd = ::open(launchFailureMarkerPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool BBXCrashReportingController::removeLaunchFailureMarker() const {
    return ::unlink(launchFailureMarkerPath().c_str()) == 0;
}

bool BBXCrashReportingController::checkForAndCreateLaunchMarker() {
    if (launchFailureMarkerPresent()) {
        debugLog("[Blackbox:Crash] Last launch failed");
        return true;
    }
    createLaunchFailureMarker();
    return false;
}

bool BBXCrashReportingController::setupCurrentReport() {
    createLaunchFailureMarker();
    std::string identifier = Beacon::sharedSDK()->executionIdentifier();
    std::optional<std::string> path = fileManager_->setupNewPathForExecutionIdentifier(identifier);
    auto report = BBXInternalReport::reportWithPathExecutionIdentifier(path, identifier);
    std::lock_guard lock(mutex_);
    currentReport_ = report;
    return report != nullptr;
}

uint32_t BBXCrashReportingController::machExceptionMask() {
    struct Walk {
        BBXCrashReportingController* controller;
        uint32_t mask = 0;
    } walk{this};
    BBXSignalEnumerate(
        [](int, int signal, void* data) {
            auto* walk = static_cast<Walk*>(data);
            if (walk->controller->delegate_ &&
                walk->controller->delegate_->reportingControllerEnsureDeliveryOfUnixSignal(*walk->controller, signal))
                walk->mask |= BBXSignalMachExceptionMask(signal);
        },
        &walk);
    return walk.mask;
}

bool BBXCrashReportingController::startCrashReporter(const std::optional<std::string>& betaToken) {
    auto settings = this->settings();
    auto report = currentReport();
    // Without a report folder there is nowhere to record to: the capture
    // core, given no folder, would write its files relative to the working
    // directory.
    if (!report) return false;
    apiKey_ = delegate_ ? delegate_->APIKeyForCrashReportingController(*this).value_or("") : "";
    reportPath_ = report->path();
    sessionID_ = report->identifier();
    installID_ = delegate_ ? delegate_->installIDForCrashReportingController(*this).value_or("") : "";
    betaToken_ = betaToken.value_or("");

    BBXContextInitData data;
    data.apiKey = apiKey_.c_str();
    data.crashObserver = nullptr;
    data.firstInstall = delegate_ && delegate_->isFirstInstallForCrashReportingController(*this);
    bool callback = delegate_ && delegate_->shouldInstallCrashCallback();
    data.delegate = callback ? this : nullptr;
    data.customBundleID = nullptr;
    data.reportPath = reportPath_.c_str();
    data.sessionID = sessionID_.c_str();
    data.installID = installID_.c_str();
    data.betaToken = betaToken ? betaToken_.c_str() : nullptr;
    data.machExceptionMask = machExceptionMask();
    data.errorReportingEnabled = settings->errorReportingEnabled();
    data.customExceptionsEnabled = settings->customExceptionsEnabled();
    data.maxCustomExceptions = settings->maxCustomExceptions();
    data.errorLogBufferSize = settings->errorLogBufferSize();
    data.logBufferSize = settings->logBufferSize();
    data.maxCustomKeys = settings->maxCustomKeys();

    BBXHandlerSetCrashCallback(callback ? crashCallback : nullptr);
    BBXContextInitialize(&data);
    setupStateNotifications();
    crashReportingSetupCompleted();
    return true;
}

void BBXCrashReportingController::setupStateNotifications() {
    BBXUserLoggingRecordInternalKeyValue(std::string(kInBackgroundKey), PlistValue(std::string("0")));
    // The application's activation as the desktop layer posts it: active
    // again, and the last of its windows no longer active.
    auto& center = foundation::NotificationCenter::defaultCenter();
    observers_.emplace_back(center, center.addObserver(desktop::ApplicationLifecycle::kDidBecomeActive, nullptr,
                                                       [](const foundation::Notification&) {
                                                           BBXUserLoggingRecordInternalKeyValue(
                                                               std::string(kInBackgroundKey), PlistValue(false));
                                                       }));
    observers_.emplace_back(center, center.addObserver(desktop::ApplicationLifecycle::kWillResignActive, nullptr,
                                                       [](const foundation::Notification&) {
                                                           BBXUserLoggingRecordInternalKeyValue(
                                                               std::string(kInBackgroundKey), PlistValue(true));
                                                       }));
}

void BBXCrashReportingController::crashReportingSetupCompleted() {
    std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
    dispatch::after(kSetupWarningDelay, dispatch::Queue::main(), [weak] {
        BBXExceptionWarnAboutSetup();
        BBXSignalWarnAboutForeignHandlers();
        if (auto self = weak.lock()) self->checkForUserPromptSetting();
    });
    // The next turn of the main queue: this launch got that far.
    uint64_t mark = profilingMark_;
    dispatch::Queue::main()->async([weak, mark] {
        if (auto self = weak.lock()) self->removeLaunchFailureMarker();
        BBXUserLoggingRecordInternalKeyValue(std::string(kFirstRunLoopTimeKey),
                                             millisecondsText(BBXProfilingElapsedMilliseconds(mark)));
    });
}

void BBXCrashReportingController::checkForUserPromptSetting() {
    if (!settings()->userPromptEnabled() || delegateNeedsToBeInformedOfReports()) return;
    foundation::systemLog(
        "[Blackbox:Crash] WARNING: the user prompt feature is enabled. As of Blackbox 3.0.0, implementing a user "
        "prompt is the application's responsibility. See Blackbox.h's notes about "
        "-blackboxDidDetectReportForLastExecution:completionHandler:");
}

void BBXCrashReportingController::deliverCrashDelegateCallback() {
    if (delegate_) delegate_->detectedCrash();
}

// MARK: - Reports of earlier launches

bool BBXCrashReportingController::delegateNeedsToBeInformedOfReports() {
    return delegate_ && delegate_->reportingControllerMustInformDelegateOfReports(*this);
}

bool BBXCrashReportingController::needsToPrompt() {
    int64_t choice = promptChoice_.load();
    if (choice == SentOnce || choice == AlwaysSend) return false;
    return settings()->userPromptEnabled();
}

bool BBXCrashReportingController::canProcessUrgentReports() {
    return settings()->canProcessUrgentReports() && !needsToPrompt() && !delegateNeedsToBeInformedOfReports();
}

void BBXCrashReportingController::processExistingReportPaths(const std::vector<std::string>& paths, bool urgent) {
    for (const std::string& path : paths) processExistingActiveReportPath(path, urgent);
}

void BBXCrashReportingController::processExistingActiveReportPath(const std::string& path, bool urgent) {
    auto report = BBXInternalReport::reportWithPath(path);
    if (!report || !report->needsToBeSubmitted()) {
        addOperation([path](BBXCrashReportingController& self) { self.fileManager_->removeItemAtPath(path); });
        return;
    }
    if (delegate_) delegate_->reportingControllerInternalDidDetectReportForLastExecution(*this, report);
    if (urgent && canProcessUrgentReports()) {
        prepareAndSubmitReport(report, true, true);
        return;
    }
    if (!delegate_) {
        handleDelegateCompletionForReport(report, true);
        return;
    }
    std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
    delegate_->reportingControllerDidDetectReportForLastExecution(*this, report, [weak, report](bool submit) {
        if (auto self = weak.lock()) self->handleDelegateCompletionForReport(report, submit);
    });
}

void BBXCrashReportingController::handleDelegateCompletionForReport(const std::shared_ptr<BBXInternalReport>& report,
                                                                    bool submit) {
    addOperation([report, submit](BBXCrashReportingController& self) {
        if (!submit) {
            debugLog("[Blackbox:Crash] Removing report at request of delegate");
            self.removeReport(report);
        } else if (self.needsToPrompt()) {
            self.displayPermissionAlertForReport(report);
        } else {
            self.prepareAndSubmitReport(report, false, true);
        }
    });
}

void BBXCrashReportingController::removeReport(const std::shared_ptr<BBXInternalReport>& report) {
    fileManager_->removeItemAtPath(report->path());
}

void BBXCrashReportingController::displayPermissionAlertForReport(const std::shared_ptr<BBXInternalReport>& report) {
    if (BBXApplicationIsAnExtension()) {
        addOperation([report](BBXCrashReportingController& self) { self.prepareAndSubmitReport(report, false, true); });
        return;
    }
    debugLog("[Blackbox:Crash] Displaying permission alert");
    dispatch::Queue::main()->async([self = shared_from_this(), report] { self->setupAndDisplayAlert(report); });
}

void BBXCrashReportingController::setupAndDisplayAlert(const std::shared_ptr<BBXInternalReport>& report) {
    int64_t choice = promptChoice_.load();
    if (choice == Declined) return handlePromptComplete(report, false, false);
    if (choice == SentOnce || choice == AlwaysSend) return handlePromptComplete(report, true, false);

    auto settings = this->settings();
    std::optional<std::string> alwaysSend = settings->interactivePromptAlwaysSendTitle();
    desktop::Alert alert;
    alert.setMessageText(settings->interactivePromptTitle());
    alert.setInformativeText(settings->interactivePromptMessage());
    alert.addButtonWithTitle(settings->interactivePromptSendTitle());
    if (alwaysSend) alert.addButtonWithTitle(*alwaysSend);
    alert.addButtonWithTitle(settings->interactivePromptCancelTitle());
    int response = environment_.runAlert ? environment_.runAlert(alert) : alert.runModal();
    constexpr int first = desktop::Alert::kFirstButtonReturn;
    bool submit = response == first || (alwaysSend && response == first + 1);
    handlePromptComplete(report, submit, submit && alwaysSend && response == first + 1);
}

void BBXCrashReportingController::handlePromptComplete(const std::shared_ptr<BBXInternalReport>& report, bool submit,
                                                       bool alwaysSubmit) {
    addOperation([report, submit, alwaysSubmit](BBXCrashReportingController& self) {
        if (!submit) {
            self.promptChoice_.store(Declined);
            debugLog("[Blackbox:Crash] Removing report at request of user");
            self.removeReport(report);
            return;
        }
        self.prepareAndSubmitReport(report, false, true);
        if (alwaysSubmit) {
            self.promptChoice_.store(AlwaysSend);
            foundation::systemLog("should set always submit here");
        } else {
            self.promptChoice_.store(SentOnce);
        }
    });
}

void BBXCrashReportingController::handleContentsInOtherReportingDirectories() {
    std::vector<std::string> processing = fileManager_->processingPathContents();
    addOperation([processing](BBXCrashReportingController& self) {
        // Symbolicated before: these only need packaging and sending.
        for (const std::string& path : processing)
            if (auto report = BBXInternalReport::reportWithPath(path)) self.prepareAndSubmitReport(report, false, false);
    });
    std::vector<std::string> prepared = fileManager_->preparedPathContents();
    std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
    reconnectBackgroundSession([weak, prepared] {
        auto self = weak.lock();
        if (!self) return;
        self->addOperation([prepared](BBXCrashReportingController& self) {
            for (const std::string& path : prepared) {
                std::error_code error;
                if (std::filesystem::exists(path, error)) self.uploadPackagedReport(path, false);
            }
        });
    });
}

// MARK: - This launch's report, sent at once

bool BBXCrashReportingController::potentiallySubmittableCrashOccurred() {
    if (!canProcessUrgentReports()) return false;
    BBXSDKLog("%s: Attempting submission\n", __func__);
    try {
        std::vector<std::string> active = fileManager_->activePathContents();
        if (active.size() != 1) {
            BBXSDKLog("%s: More than one directory in active - cannot submit\n", __func__);
            return false;
        }
        std::string copy = active.front() + "-submit";
        std::error_code error;
        std::filesystem::copy(active.front(), copy, std::filesystem::copy_options::recursive, error);
        auto report = error ? nullptr : BBXInternalReport::reportWithPath(copy);
        if (!report) {
            BBXSDKLog("%s: Error: unable to copy report for submission\n", __func__);
            return false;
        }
        return prepareAndSubmitReport(report, true, true);
    } catch (const std::exception&) {
        BBXSDKLog("%s: Last effort exception\n", __func__);
        return false;
    }
}

// MARK: - Packaging and upload

void BBXCrashReportingController::reportsControllerDidCompletePackageSubmission(
    BBXReportsController&, const std::string& packagePath, const std::optional<foundation::Error>& error) {
    if (!error) {
        debugLog("[Blackbox:Crash] report submission successful");
        return;
    }
    debugLog(foundation::format("[Blackbox:Crash] report submission failed with error %@", error->description()));
    BBXSDKLog("%s: Error: failed to submit report '%s'\n", __func__, error->description().c_str());
    std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
    BBXAddOperationAfterDelay(
        operationQueue_,
        [weak, packagePath] {
            auto self = weak.lock();
            if (!self) return;
            debugLog("[Blackbox:Crash] re-attempting report submission");
            self->uploadPackagedReport(packagePath, false);
        },
        kRetryDelay);
}

std::shared_ptr<BBXReportsController> BBXCrashReportingController::reportsController() {
    std::lock_guard lock(mutex_);
    if (!reportsController_)
        reportsController_ = std::make_shared<BBXReportsController>(operationQueue_, weak_from_this(), networkClient_,
                                                                    fileManager_);
    return reportsController_;
}

void BBXCrashReportingController::reportsControllerDidCompleteAllSubmissions(BBXReportsController&) {
    addOperation([](BBXCrashReportingController& self) {
        {
            std::lock_guard lock(self.mutex_);
            self.reportsController_.reset();
        }
        debugLog("[Blackbox:Crash] report submission complete");
    });
}

std::optional<std::string> BBXCrashReportingController::APIKeyForReportsController(BBXReportsController&) {
    return delegate_ ? delegate_->APIKeyForCrashReportingController(*this) : std::nullopt;
}

std::optional<std::string> BBXCrashReportingController::bundleIdentifierForReportsController(BBXReportsController&) {
    return BCNApplicationGetEscapedBundleIdentifier();
}

bool BBXCrashReportingController::networkClientCanUseBackgroundSessions(BBXNetworkClient&) {
    return delegate_ && delegate_->reportingControllerCanUseBackgroundSessions(*this);
}

void BBXCrashReportingController::networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                                                       const std::optional<foundation::Error>& error) {
    reportsController()->reportUploadAtPath(path, error);
}

bool BBXCrashReportingController::prepareAndSubmitReport(const std::shared_ptr<BBXInternalReport>& report, bool urgent,
                                                         bool processing) {
    if (environment_.prepareAndSubmitReport) return environment_.prepareAndSubmitReport(report, urgent, processing);
    return reportsController()->prepareAndSubmitReport(report, urgent, processing);
}

bool BBXCrashReportingController::uploadPackagedReport(const std::string& path, bool urgent) {
    if (environment_.uploadPackagedReport) return environment_.uploadPackagedReport(path, urgent);
    return reportsController()->uploadPackagedReportAtPath(path, urgent);
}

void BBXCrashReportingController::reconnectBackgroundSession(std::function<void()> completion) {
    if (environment_.reconnectBackgroundSession) return environment_.reconnectBackgroundSession(std::move(completion));
    if (networkClient_) return networkClient_->attemptToReconnectBackgroundSessionWithCompletionBlock(completion);
    completion();
}
