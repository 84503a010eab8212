#include "sdk/beacon/BCNNetworkOperation.h"

#include "sdk/beacon/BCNDeveloperToken.h"
#include "sdk/beacon/BCNLocaleIdentifier.h"
#include "sdk/beacon/Beacon.h"

net::URLRequest BCNNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) const {
    return mutableRequestWithDefaultHTTPHeadersForURL(url, kDefaultTimeout);
}

net::URLRequest BCNNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url,
                                                                                double timeout) const {
    net::URLRequest request(url, timeout);
    request.setCachePolicy(kReloadIgnoringLocalCacheData);
    std::string locale = localeIdentifier();
    request.setValue("User-Agent", userAgentString());
    request.setValue("Accept-Charset", "utf-8");
    request.setValue("Accept-Language", locale);
    request.setValue("Content-Language", locale);
    request.setValue("X-Blackbox-Developer-Token", BCNDeveloperToken);
    request.setValue("X-Blackbox-API-Client-Id", Beacon::kSDKIdentifier);
    request.setValue("X-Blackbox-API-Client-Display-Version", Beacon::kSDKDisplayVersion);
    request.setValue("X-Blackbox-API-Client-Build-Version", Beacon::kSDKBuildVersion);
    request.setValue("X-Blackbox-API-Key", APIKey_);
    return request;
}

std::string BCNNetworkOperation::userAgentString() {
    return std::string(Beacon::kSDKIdentifier) + "/" + Beacon::kSDKDisplayVersion + " (" + Beacon::kSDKBuildVersion +
           ")";
}

std::string BCNNetworkOperation::localeIdentifier() { return BCNLocaleIdentifier(); }
