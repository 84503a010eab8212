#pragma once
// Takes an accepted report folder to the reports service: into "processing",
// symbolicated, packed into one file in "prepared" (the folder is then
// removed), and posted to <reports endpoint>/sdk-api/v1/platforms/mac/apps/
// <escaped bundle identifier>/reports through the upload client. The package
// stays in "prepared" until an upload succeeds, so what this launch does not
// send is taken up by the next one.
//
// An urgent upload is sent on the calling thread and waits for the answer, 2 s
// at most here (10 s where background requests exist); other uploads are
// tasks that report back on the work queue.
//
// prepareAndSubmitReport runs on its caller's thread (the work queue, or the
// main thread for an urgent report at start). The delegate is asked for
// settings, API key and bundle identifier on the calling thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Error.h"
#include "platform/net/URLRequest.h"

class BBXFileManager;
class BBXInternalReport;
class BBXNetworkClient;
class BBXReportsControllerDelegate;
class BBXSettings;

class BBXReportsController {
public:
    static constexpr const char* kActivityReason = "Blackbox Crash Report Processing";
    // Sudden and automatic termination disabled.
    static constexpr uint64_t kActivityOptions = 0xC000;
    static constexpr double kTimeout = 10.0;
    static constexpr double kUrgentTimeoutWithoutBackgroundRequests = 2.0;

    BBXReportsController(std::shared_ptr<dispatch::OperationQueue> queue,
                         std::weak_ptr<BBXReportsControllerDelegate> delegate,
                         std::shared_ptr<BBXNetworkClient> client, std::shared_ptr<BBXFileManager> fileManager);

    const std::shared_ptr<dispatch::OperationQueue>& operationQueue() const { return operationQueue_; }
    const std::shared_ptr<BBXNetworkClient>& networkClient() const { return networkClient_; }
    const std::shared_ptr<BBXFileManager>& fileManager() const { return fileManager_; }
    std::shared_ptr<BBXReportsControllerDelegate> delegate() const { return delegate_.lock(); }

    // Processing (move into "processing" and symbolicate), packaging, removing
    // the folder, then the upload. True only when the upload was started (for
    // an urgent one: sent; its success shows as the package's removal).
    bool prepareAndSubmitReport(const std::shared_ptr<BBXInternalReport>& report, bool asUrgent, bool withProcessing);
    // False, with "Submission disabled", when the settings turn submission off.
    bool uploadPackagedReportAtPath(const std::string& path, bool asUrgent);
    // False for an empty or unreadable package (it stays where it is).
    bool submitPackageMultipartMimeAtPath(const std::string& path, bool synchronously);
    // An upload's end: success removes the package; the delegate hears either way.
    void reportUploadAtPath(const std::string& path, const std::optional<foundation::Error>& error);
    bool cleanUpSubmittedReportAtPath(const std::string& path);

    // <reports endpoint>/sdk-api/v1/platforms/mac/apps/<escaped id>/reports
    std::string reportURL();
    // POST with the kit's fixed headers, the API key and the locale.
    net::URLRequest mutableRequestWithURL(const std::string& url, double timeout);
    // "Content-Type" with the package's name as boundary, "Content-Length".
    bool fillInRequest(net::URLRequest& request, const std::string& path);
    double timeoutForUpload(bool synchronously) const;

    bool packagingEnabled();
    bool submissionEnabled();
    std::string localeIdentifier() const;
    std::optional<std::string> APIKey();
    std::optional<std::string> appBundleIdentifier();
    std::shared_ptr<BBXSettings> settings();

private:
    const std::shared_ptr<dispatch::OperationQueue> operationQueue_;
    const std::weak_ptr<BBXReportsControllerDelegate> delegate_;
    const std::shared_ptr<BBXNetworkClient> networkClient_;
    const std::shared_ptr<BBXFileManager> fileManager_;
};
