#pragma once
// Starts crash reporting for one launch and takes care of what earlier
// launches left behind. At start: the preconditions and settings, the folder
// tree, the launch marker (present at start = the last launch never reached
// its first main-queue turn), this launch's report folder, the capture core's
// configuration and handlers; then every earlier report is offered to the
// delegate and the accepted ones are symbolicated, packaged and sent. Reports
// of a launch that failed early go at once, during start ("urgent").
//
// Start runs on the thread that starts the kit (the main thread). Deferred
// work runs in order on the serial work queue "org.blackbox.mac.work-queue";
// the alert and the 2 s warnings run on the main queue; internal keys are
// written on the capture core's logging queue.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "sdk/blackbox/BBXNetworkClientDelegate.h"
#include "sdk/blackbox/BBXReportsControllerDelegate.h"

namespace desktop { class Alert; }
class BBXCrashReportingControllerDelegate;
class BBXFileManager;
class BBXInternalReport;
class BBXNetworkClient;
class BBXReportsController;
class BBXSettings;

class BBXCrashReportingController : public BBXReportsControllerDelegate,
                                    public BBXNetworkClientDelegate,
                                    public std::enable_shared_from_this<BBXCrashReportingController> {
public:
    static constexpr const char* kWorkQueueName = "org.blackbox.mac.work-queue";
    static constexpr const char* kKitStartTimeKey = "com.blackbox.kit-start-time";
    static constexpr const char* kFirstRunLoopTimeKey = "com.blackbox.first-run-loop-time";
    static constexpr const char* kInBackgroundKey = "com.blackbox.in-background";
    // Seconds between attempts to send a packaged report that failed.
    static constexpr double kRetryDelay = 600;
    // Seconds after set-up before the warnings about foreign handlers.
    static constexpr double kSetupWarningDelay = 2.0;

    enum PromptChoice : int64_t { NotAsked = 0, Declined = 1, SentOnce = 2, AlwaysSend = 3 };

    // Report packaging and upload, and the alert: each empty hook takes the
    // kit's own (the reports controller, desktop::Alert::runModal).
    struct Environment {
        std::function<bool(const std::shared_ptr<BBXInternalReport>& report, bool urgent, bool processing)>
            prepareAndSubmitReport;
        std::function<bool(const std::string& path, bool urgent)> uploadPackagedReport;
        std::function<void(std::function<void()> completion)> reconnectBackgroundSession;
        // Answers the button pressed: 1000, 1001, 1002.
        std::function<int(desktop::Alert& alert)> runAlert;
    };

    // delegate is not owned and must outlive the controller.
    static std::shared_ptr<BBXCrashReportingController> create(std::shared_ptr<BBXFileManager> fileManager,
                                                               BBXCrashReportingControllerDelegate* delegate,
                                                               Environment environment = {});
    ~BBXCrashReportingController() override;

    // Once, on the thread that starts the kit: true when this launch's
    // report exists.
    bool startWithProfilingMark(uint64_t mark, const std::optional<std::string>& betaToken);

    // The exception-port mask of the handled signals the delegate wants as signals.
    uint32_t machExceptionMask();
    // Inside the crash handler: tells the delegate.
    void deliverCrashDelegateCallback();
    // Sends a copy of this launch's report at once, when urgent reports may
    // be sent; nothing in this program calls it (no crash observer).
    bool potentiallySubmittableCrashOccurred();

    // The delegate's answer about a report it was offered; any thread.
    void handleDelegateCompletionForReport(const std::shared_ptr<BBXInternalReport>& report, bool submit);
    // The end of one packaged report's upload: a failure is tried again
    // kRetryDelay seconds later, for as long as the process lives.
    void reportsControllerDidCompletePackageSubmission(BBXReportsController& controller, const std::string& packagePath,
                                                       const std::optional<foundation::Error>& error) override;
    // Lets the reports controller go (nothing in the kit calls it).
    void reportsControllerDidCompleteAllSubmissions(BBXReportsController& controller) override;
    std::shared_ptr<BBXSettings> settingsForReportsController(BBXReportsController&) override { return settings(); }
    std::optional<std::string> APIKeyForReportsController(BBXReportsController&) override;
    std::optional<std::string> bundleIdentifierForReportsController(BBXReportsController&) override;

    bool networkClientCanUseBackgroundSessions(BBXNetworkClient&) override;
    void networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                              const std::optional<foundation::Error>& error) override;

    // Made on first use.
    std::shared_ptr<BBXReportsController> reportsController();
    const std::shared_ptr<BBXNetworkClient>& networkClient() const { return networkClient_; }

    std::shared_ptr<BBXSettings> settings();
    const std::shared_ptr<BBXFileManager>& fileManager() const { return fileManager_; }
    const std::shared_ptr<dispatch::OperationQueue>& operationQueue() const { return operationQueue_; }
    std::shared_ptr<BBXInternalReport> currentReport() const;
    int64_t promptChoice() const { return promptChoice_.load(); }

    std::string launchFailureMarkerPath() const;
    bool launchFailureMarkerPresent() const;
    bool createLaunchFailureMarker() const;
    bool removeLaunchFailureMarker() const;

private:
    BBXCrashReportingController(std::shared_ptr<BBXFileManager> fileManager,
                                BBXCrashReportingControllerDelegate* delegate, Environment environment);

    bool checkPreconditions();
    bool checkForAndCreateLaunchMarker();
    bool setupCurrentReport();
    bool startCrashReporter(const std::optional<std::string>& betaToken);
    void setupStateNotifications();
    void crashReportingSetupCompleted();
    void checkForUserPromptSetting();
    void processExistingReportPaths(const std::vector<std::string>& paths, bool urgent);
    void processExistingActiveReportPath(const std::string& path, bool urgent);
    void handleContentsInOtherReportingDirectories();
    bool canProcessUrgentReports();
    bool delegateNeedsToBeInformedOfReports();
    bool needsToPrompt();
    void displayPermissionAlertForReport(const std::shared_ptr<BBXInternalReport>& report);
    void setupAndDisplayAlert(const std::shared_ptr<BBXInternalReport>& report);
    void handlePromptComplete(const std::shared_ptr<BBXInternalReport>& report, bool submit, bool alwaysSubmit);
    void removeReport(const std::shared_ptr<BBXInternalReport>& report);
    void addOperation(std::function<void(BBXCrashReportingController&)> block);

    bool prepareAndSubmitReport(const std::shared_ptr<BBXInternalReport>& report, bool urgent, bool processing);
    bool uploadPackagedReport(const std::string& path, bool urgent);
    void reconnectBackgroundSession(std::function<void()> completion);

    std::shared_ptr<BBXFileManager> fileManager_;
    BBXCrashReportingControllerDelegate* delegate_;
    Environment environment_;
    std::shared_ptr<dispatch::OperationQueue> operationQueue_;
    std::shared_ptr<BBXNetworkClient> networkClient_;
    std::atomic<int64_t> promptChoice_{NotAsked};
    uint64_t profilingMark_ = 0;

    mutable std::mutex mutex_;  // guards the three below
    std::shared_ptr<BBXReportsController> reportsController_;
    std::shared_ptr<BBXSettings> settings_;
    std::shared_ptr<BBXInternalReport> currentReport_;

    // What the capture core was given; kept for the life of the launch.
    std::string apiKey_, reportPath_, sessionID_, installID_, betaToken_;
    std::vector<foundation::ObserverRegistration> observers_;
};
