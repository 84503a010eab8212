#pragma once
// A platform request with its API key: requests made here carry the kits'
// common headers, ignore any cached data and time out after 10 seconds unless
// told otherwise. Subclasses do the work in main().

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/net/URLRequest.h"
#include "sdk/beacon/BCNAsynchronousOperation.h"

class BCNNetworkOperation : public BCNAsynchronousOperation {
public:
    static constexpr double kDefaultTimeout = 10;
    // The cache policy that ignores local cache data.
    static constexpr int kReloadIgnoringLocalCacheData = 1;

    // An operation of class Operation (constructed with the key and args);
    // null without a key.
    template <class Operation, class... Args>
    static std::shared_ptr<Operation> create(const std::optional<std::string>& APIKey, Args&&... args) {
        if (!APIKey) return nullptr;
        return std::make_shared<Operation>(*APIKey, std::forward<Args>(args)...);
    }

    explicit BCNNetworkOperation(std::string APIKey) : APIKey_(std::move(APIKey)) {}

    const std::string& APIKey() const { return APIKey_; }

    net::URLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const std::string& url) const;
    net::URLRequest mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url, double timeout) const;
    // "org.beacon.sdk.mac/1.6.3 (42)".
    static std::string userAgentString();
    static std::string localeIdentifier();

private:
    const std::string APIKey_;
};
