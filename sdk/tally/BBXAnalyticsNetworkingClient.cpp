#include "sdk/tally/BBXAnalyticsNetworkingClient.h"

#include <cerrno>

#include "platform/foundation/Data.h"
#include "sdk/beacon/BCNDeveloperToken.h"
#include "sdk/beacon/BCNMultipartMimeStreamEncoder.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/BCNNetworkOperation.h"
#include "sdk/tally/BBXEventLogFile.h"
#include "sdk/tally/Tally.h"

BBXAnalyticsNetworkingClient::BBXAnalyticsNetworkingClient() : networkClient_(BCNNetworkClient::create(nullptr)) {}

BBXAnalyticsNetworkingClient::~BBXAnalyticsNetworkingClient() {
    if (networkClient_) networkClient_->invalidateAndCancel();
}

foundation::Result<net::URLRequest> BBXAnalyticsNetworkingClient::requestForLogFilesAtURLs(
    const std::vector<std::filesystem::path>& files, const std::string& url,
    const std::optional<std::string>& apiKey) const {
    net::URLRequest request(url, timeout_);
    request.setHTTPMethod("POST");
    request.setCachePolicy(BCNNetworkOperation::kReloadIgnoringLocalCacheData);
    request.setMaxBodyBytes(kMaxResponseBytes);
    request.setValue("User-Agent", std::string("Tally Mac SDK/") + Tally::kKitDisplayVersion);
    request.setValue("X-BLACKBOX-DEVELOPER-TOKEN", BCNDeveloperToken);
    request.setValue("X-BLACKBOX-API-CLIENT-TYPE", "Tally Mac SDK");
    request.setValue("X-BLACKBOX-API-CLIENT-VERSION", Tally::kKitBuildVersion);
    request.setValue("X-BLACKBOX-API-CLIENT-DISPLAY-VERSION", Tally::kKitDisplayVersion);
    request.setValue("X-BLACKBOX-API-CLIENT-BUILD-VERSION", Tally::kKitBuildVersion);
    if (apiKey) request.setValue("X-BLACKBOX-API-KEY", *apiKey);

    std::optional<foundation::Error> unreadable;
    bool whole = BCNMultipartMimeStreamEncoder::populateRequest(request, [&](BCNMultipartMimeStreamEncoder& encoder) {
        for (const auto& file : files) {
            if (unreadable) return;
            // One file in memory at a time beside the body.
            auto data = foundation::Data::contentsOfFile(file);
            if (!data.ok()) {
                unreadable = data.error();
                return;
            }
            std::string name = file.filename().string();
            encoder.addFileData(data.value(), name, std::string(kPartContentType), name);
        }
    });
    if (unreadable) return *unreadable;
    if (!whole)
        return foundation::Error(BBXEventLogFile::kPOSIXErrorDomain, EIO, "The upload body could not be written whole");
    return request;
}

void BBXAnalyticsNetworkingClient::transmitLogFilesAtURLs(const std::vector<std::filesystem::path>& files,
                                                          const std::string& url,
                                                          const std::optional<std::string>& apiKey,
                                                          Completion completion) {
    auto request = requestForLogFilesAtURLs(files, url, apiKey);
    if (!request.ok()) {
        completion(request.error());
        return;
    }
    networkClient_->startDataTaskWithRequest(
        request.value(), kRetryLimit,
        [completion = std::move(completion)](const std::optional<foundation::Data>&,
                                             const std::optional<net::HTTPURLResponse>&,
                                             const std::optional<foundation::Error>& error) { completion(error); });
}
