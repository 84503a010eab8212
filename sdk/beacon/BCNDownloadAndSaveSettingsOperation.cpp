#include "sdk/beacon/BCNDownloadAndSaveSettingsOperation.h"

#include <system_error>

#include "platform/foundation/Data.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/SystemLog.h"
#include "platform/foundation/URL.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/BCNHost.h"
#include "sdk/beacon/Beacon.h"

BCNDownloadAndSaveSettingsOperation::BCNDownloadAndSaveSettingsOperation(
    std::string APIKey, std::weak_ptr<BCNDownloadAndSaveSettingsOperationDelegate> delegate, std::string settingsURL,
    std::filesystem::path settingsDirectoryPath, std::filesystem::path settingsFilePath, std::string installIdentifier,
    std::optional<std::string> advertisingToken, std::weak_ptr<BCNNetworkClient> networkClient,
    std::shared_ptr<foundation::Bundle> bundle)
    : BCNNetworkOperation(std::move(APIKey)),
      delegate_(std::move(delegate)),
      settingsURL_(std::move(settingsURL)),
      settingsDirectoryPath_(std::move(settingsDirectoryPath)),
      settingsFilePath_(std::move(settingsFilePath)),
      installIdentifier_(std::move(installIdentifier)),
      networkClient_(std::move(networkClient)) {
    if (BCNApplicationCanReportDeviceIdentifiers(bundle)) {
        advertisingToken_ = std::move(advertisingToken);
    } else if (Beacon::sharedSDK()->debug()) {
        foundation::systemLog("[Beacon] Suppressing device identifier reporting");
    }
}

std::optional<foundation::Error> BCNDownloadAndSaveSettingsOperation::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

net::URLRequest BCNDownloadAndSaveSettingsOperation::settingsRequest() const {
    net::URLRequest request = mutableRequestWithDefaultHTTPHeadersForURL(settingsURL_, timeout_);
    request.setHTTPMethod("GET");
    request.setValue("Accept", "application/json");
    request.setValue("X-Blackbox-Installation-ID", installIdentifier_);
    // A host that names no model sends no model header rather than an empty one.
    if (auto model = BCNHostGetModel()) request.setValue("X-Blackbox-Device-Model", *model);
    if (auto build = BCNHostGetOSBuildVersion()) request.setValue("X-Blackbox-OS-Build-Version", *build);
    request.setValue("X-Blackbox-OS-Display-Version", BCNHostGetOSDisplayVersion());
    request.setValue("X-Blackbox-API-Client-Version", Beacon::kSDKDisplayVersion);
    if (advertisingToken_ && !advertisingToken_->empty())
        request.setValue("X-Blackbox-Advertising-Token", *advertisingToken_);
    if (auto url = foundation::URL::parse(settingsURL_); url && url->scheme() == "https")
        request.setAllowedSchemes({"https"});
    request.setMaxBodyBytes(kMaxDocumentBytes);
    return request;
}

void BCNDownloadAndSaveSettingsOperation::main() {
    auto client = networkClient_.lock();
    if (!client) {
        finishWithError(foundation::Error(kErrorDomain, 1, "The network client is gone"));
        return;
    }
    auto self = std::static_pointer_cast<BCNDownloadAndSaveSettingsOperation>(shared_from_this());
    client->startDownloadTaskWithRequest(
        settingsRequest(), 1,
        [self](const std::optional<std::filesystem::path>& location, const std::optional<net::HTTPURLResponse>&,
               const std::optional<foundation::Error>& error) { self->downloadFinished(location, error); });
}

void BCNDownloadAndSaveSettingsOperation::downloadFinished(const std::optional<std::filesystem::path>& location,
                                                           const std::optional<foundation::Error>& error) {
    if (error) {
        finishWithError(error);
        return;
    }
    if (!location) {
        finishWithError(foundation::Error(kErrorDomain, 2, "The download left no file"));
        return;
    }
    finishWithError(saveDocument(*location));
}

std::optional<foundation::Error> BCNDownloadAndSaveSettingsOperation::saveDocument(
    const std::filesystem::path& location) {
    // The downloaded file is deleted once the handler returns: read it now.
    auto bytes = foundation::Data::contentsOfFile(location, kMaxDocumentBytes + 1);
    if (!bytes.ok()) return bytes.error();
    if (bytes.value().length() > kMaxDocumentBytes)
        return foundation::Error(kErrorDomain, 3, "The settings document is larger than 16 MiB");
    // A document that the next read would throw away must not replace the last good one.
    auto document = foundation::JSON::read(bytes.value().toString());
    if (!document.ok()) return document.error();
    if (!document.value().asDictionary())
        return foundation::Error(kErrorDomain, 4, "The settings document is not a JSON object");

    std::error_code ec;
    std::filesystem::create_directories(settingsDirectoryPath_, ec);
    auto written = bytes.value().writeToFile(settingsFilePath_, 0600);
    if (!written.ok()) {
        foundation::systemLog(
            foundation::format("[Beacon] Unable to complete settings download %@", written.error().description()));
        return written.error();
    }
    return std::nullopt;
}

void BCNDownloadAndSaveSettingsOperation::finishWithError(std::optional<foundation::Error> error) {
    {
        std::lock_guard lock(mutex_);
        error_ = error;
    }
    if (auto delegate = delegate_.lock()) delegate->operationDidDownloadAndSaveSettingsWithError(*this, error);
    finish();
}
