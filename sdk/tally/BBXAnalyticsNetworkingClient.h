#pragma once
// Sends the packaged log files of one session fragment to the analytics
// endpoint: one multipart POST, a part per file in the order given (field and
// file name the file's own name, type "application/vnd.blackbox.mac.events"),
// through a kit network client without pinning (the system's trust), retried
// up to 10 times on server trouble and time-outs.
//
// A file that cannot be read fails the upload before anything is sent, so a
// fragment is never taken as sent without all of its files. The answer's
// body is capped at 1 MiB. Any thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"
#include "platform/net/URLRequest.h"

class BCNNetworkClient;

class BBXAnalyticsNetworkingClient {
public:
    static constexpr double kTimeout = 20;
    static constexpr unsigned kRetryLimit = 10;
    static constexpr uint64_t kMaxResponseBytes = 1 << 20;
    static constexpr const char* kPartContentType = "application/vnd.blackbox.mac.events";

    using Completion = std::function<void(std::optional<foundation::Error>)>;

    BBXAnalyticsNetworkingClient();
    ~BBXAnalyticsNetworkingClient();

    const std::shared_ptr<BCNNetworkClient>& networkClient() const { return networkClient_; }

    foundation::Result<net::URLRequest> requestForLogFilesAtURLs(const std::vector<std::filesystem::path>& files,
                                                                 const std::string& url,
                                                                 const std::optional<std::string>& apiKey) const;
    // The completion runs once, on the network client's queue: nothing on
    // success, else the error.
    void transmitLogFilesAtURLs(const std::vector<std::filesystem::path>& files, const std::string& url,
                                const std::optional<std::string>& apiKey, Completion completion);

    // Tests: a shorter wait for a silent service.
    void setTimeoutForTesting(double seconds) { timeout_ = seconds; }

private:
    std::shared_ptr<BCNNetworkClient> networkClient_;
    double timeout_ = kTimeout;
};
