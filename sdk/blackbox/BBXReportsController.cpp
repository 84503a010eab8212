#include "sdk/blackbox/BBXReportsController.h"

#include <filesystem>

#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNLocaleIdentifier.h"
#include "sdk/beacon/BCNMultipartMimeStreamEncoder.h"
#include "sdk/beacon/BCNURLBuilder.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXApplication.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXNetworkClient.h"
#include "sdk/blackbox/BBXPackageReportOperation.h"
#include "sdk/blackbox/BBXProcessReportOperation.h"
#include "sdk/blackbox/BBXRequestHeaders.h"
#include "sdk/blackbox/BBXReportsControllerDelegate.h"
#include "sdk/blackbox/BBXSettings.h"
#include "sdk/blackbox/BBXSymbolResolver.h"

namespace {

bool debugging() { return Beacon::sharedSDK()->debug(); }

void debugLog(const std::string& line) {
    if (debugging()) foundation::systemLog(line);
}

}  // namespace

BBXReportsController::BBXReportsController(std::shared_ptr<dispatch::OperationQueue> queue,
                                           std::weak_ptr<BBXReportsControllerDelegate> delegate,
                                           std::shared_ptr<BBXNetworkClient> client,
                                           std::shared_ptr<BBXFileManager> fileManager)
    : operationQueue_(std::move(queue)),
      delegate_(std::move(delegate)),
      networkClient_(std::move(client)),
      fileManager_(std::move(fileManager)) {}

bool BBXReportsController::prepareAndSubmitReport(const std::shared_ptr<BBXInternalReport>& report, bool asUrgent,
                                                  bool withProcessing) {
    bool submitted = false;
    BBXApplicationRunInActivity(kActivityOptions, kActivityReason, [&] {
        if (!report || !fileManager_) return;
        if (withProcessing) {
            std::string processing = fileManager_->processingPath();
            if (!fileManager_->moveItemAtPath(report->path(), processing)) {
                foundation::systemLog("[Blackbox:Crash:Reports] Unable to move report for processing");
                return;
            }
            report->setPath(processing + "/" + report->directoryName());
            BBXProcessReportOperation symbolication(report, std::make_shared<BBXSymbolResolver>());
            symbolication.start();
        }
        if (!packagingEnabled()) {
            foundation::systemLog("[Blackbox:Crash:Reports] Report packaging disabled");
            return;
        }
        auto packaging = std::make_shared<BBXPackageReportOperation>(report, fileManager_);
        packaging->start();
        if (!packaging->finalPath()) {
            foundation::systemLog("[Blackbox:Crash:Reports] Unable to package report");
            return;
        }
        if (!fileManager_->removeItemAtPath(report->path()))
            foundation::systemLog("[Blackbox:Crash:Reports] Unable to remove a processing item");
        debugLog(foundation::format("[Blackbox:Crash:Reports] Packaged id %@ for submission", report->identifier()));
        submitted = uploadPackagedReportAtPath(*packaging->finalPath(), asUrgent);
    });
    return submitted;
}

bool BBXReportsController::uploadPackagedReportAtPath(const std::string& path, bool asUrgent) {
    if (!submissionEnabled()) {
        foundation::systemLog("[Blackbox:Crash:Reports] Submission disabled");
        return false;
    }
    debugLog(foundation::format("[Blackbox:Crash:Reports] Submitting report%@", asUrgent ? " as urgent" : ""));
    return submitPackageMultipartMimeAtPath(path, asUrgent);
}

bool BBXReportsController::submitPackageMultipartMimeAtPath(const std::string& path, bool synchronously) {
    foundation::systemLog(
        foundation::format("[Blackbox:Crash:Reports] Submitting %@ %@", synchronously ? "sync" : "async", path));
    auto size = fileManager_ ? fileManager_->fileSizeAtPath(path) : std::nullopt;
    if (!size || *size == 0) {
        debugLog("[Blackbox:Crash:Reports] Already-submitted report being ignored");
        return false;
    }
    net::URLRequest request = mutableRequestWithURL(reportURL(), timeoutForUpload(synchronously));
    if (!fillInRequest(request, path)) return false;
    networkClient_->startUploadRequest(request, path, synchronously);
    return true;
}

void BBXReportsController::reportUploadAtPath(const std::string& path, const std::optional<foundation::Error>& error) {
    debugLog(foundation::format("[Blackbox:Crash:Reports] completed submission of %@", path));
    if (!error && !cleanUpSubmittedReportAtPath(path))
        foundation::systemLog("[Blackbox:Crash:Reports] Unable to remove packaged submission");
    if (auto owner = delegate()) owner->reportsControllerDidCompletePackageSubmission(*this, path, error);
}

bool BBXReportsController::cleanUpSubmittedReportAtPath(const std::string& path) {
    return fileManager_ && fileManager_->removeItemAtPath(path);
}

std::string BBXReportsController::reportURL() {
    auto settings = this->settings();
    auto builder = BCNURLBuilder::URLWithBase(settings ? settings->reportsEndpoint() : std::string());
    builder.appendComponent("/sdk-api/v1/platforms/");
    builder.appendComponent("mac");
    builder.appendComponent("/apps/");
    builder.appendComponent(appBundleIdentifier().value_or(""));
    builder.appendComponent("/reports");
    return builder.URLString();
}

net::URLRequest BBXReportsController::mutableRequestWithURL(const std::string& url, double timeout) {
    net::URLRequest request(url, timeout);
    request.setCachePolicy(1);  // reload, ignoring local cache data
    request.setHTTPMethod("POST");
    BBXSetRequestHeaders(request, APIKey().value_or(""));
    return request;
}

bool BBXReportsController::fillInRequest(net::URLRequest& request, const std::string& path) {
    std::string boundary = std::filesystem::path(path).stem().string();
    request.setValue("Content-Type", BCNMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(boundary));
    auto size = fileManager_ ? fileManager_->fileSizeAtPath(path) : std::nullopt;
    if (!size) {
        foundation::systemLog("[Blackbox:Crash:Reports] Could not determine size of multipart mime file");
        return false;
    }
    request.setValue("Content-Length", std::to_string(*size));
    return true;
}

double BBXReportsController::timeoutForUpload(bool synchronously) const {
    if (!synchronously) return kTimeout;
    bool background = networkClient_ && networkClient_->supportsBackgroundRequests();
    return background ? kTimeout : kUrgentTimeoutWithoutBackgroundRequests;
}

bool BBXReportsController::packagingEnabled() {
    auto settings = this->settings();
    return settings ? settings->shouldPackageReports() : true;
}

bool BBXReportsController::submissionEnabled() {
    auto settings = this->settings();
    return settings ? settings->shouldSubmitReports() : true;
}

std::string BBXReportsController::localeIdentifier() const { return BCNLocaleIdentifier(); }

std::optional<std::string> BBXReportsController::APIKey() {
    auto owner = delegate();
    return owner ? owner->APIKeyForReportsController(*this) : std::nullopt;
}

std::optional<std::string> BBXReportsController::appBundleIdentifier() {
    auto owner = delegate();
    return owner ? owner->bundleIdentifierForReportsController(*this) : std::nullopt;
}

std::shared_ptr<BBXSettings> BBXReportsController::settings() {
    auto owner = delegate();
    return owner ? owner->settingsForReportsController(*this) : nullptr;
}
