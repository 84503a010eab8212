#pragma once
// The settings a kit session is made from: the header fields added to every
// request of the session. The cookie policy is kept for the callers that set
// it; there is no cookie store or cache behind it, and a kit session never
// sends launch events. A plain value once made; copy it before changing it
// on another thread.

#include <memory>
#include <string>

#include "platform/net/HeaderFields.h"

class BBXURLSessionConfiguration {
public:
    // net::URLSession has no background configurations, so the kits' session
    // layer always runs in its own mode (BBXURLSession::NSURLSessionShouldBeUsed):
    // the default and ephemeral configurations are new ones of this class.
    static std::shared_ptr<BBXURLSessionConfiguration> defaultSessionConfiguration();
    static std::shared_ptr<BBXURLSessionConfiguration> ephemeralSessionConfiguration();
    // Sessions that outlive the process do not exist here: always null.
    static std::shared_ptr<BBXURLSessionConfiguration> backgroundSessionConfigurationWithIdentifier(
        const std::string& identifier);
    static std::shared_ptr<BBXURLSessionConfiguration> backgroundSessionConfiguration(const std::string& identifier);

    const net::HeaderFields& HTTPAdditionalHeaders() const { return additionalHeaders_; }
    void setHTTPAdditionalHeaders(net::HeaderFields headers) { additionalHeaders_ = std::move(headers); }

    unsigned HTTPCookieAcceptPolicy() const { return cookieAcceptPolicy_; }
    void setHTTPCookieAcceptPolicy(unsigned policy) { cookieAcceptPolicy_ = policy; }

    bool sessionSendsLaunchEvents() const { return false; }
    void setSessionSendsLaunchEvents(bool) {}

    // A copy carries the additional headers only.
    std::shared_ptr<BBXURLSessionConfiguration> copy() const;

private:
    net::HeaderFields additionalHeaders_;
    unsigned cookieAcceptPolicy_ = 0;
};
