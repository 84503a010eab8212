#pragma once
// What to ask of a server: URL, method, headers, a body from memory or from a
// file, and the limits the connection keeps to. A plain value, copied freely.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/net/HeaderFields.h"

namespace net {

class URLRequest {
public:
    // Seconds without a byte moving before the request fails as timed out.
    static constexpr double kDefaultTimeout = 60;
    // Seconds the whole request may take, redirects included.
    static constexpr double kDefaultResourceTimeout = 7 * 24 * 3600;
    static constexpr int kDefaultMaxRedirects = 16;

    URLRequest() = default;
    explicit URLRequest(std::string url, double timeoutInterval = kDefaultTimeout);

    const std::string& url() const { return url_; }
    void setURL(std::string url) { url_ = std::move(url); }

    // "GET" unless set.
    const std::string& httpMethod() const { return method_; }
    void setHTTPMethod(std::string method) { method_ = std::move(method); }

    const HeaderFields& allHTTPHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const { return headers_.value(name); }
    void setValue(std::string_view name, std::string value) { headers_.set(name, std::move(value)); }
    void addValue(std::string_view name, std::string_view value) { headers_.add(name, value); }
    void removeValue(std::string_view name) { headers_.remove(name); }

    // The body: bytes in memory, or a file read while the request is sent (never
    // loaded whole). Setting one clears the other. "Content-Length" is taken from
    // the body when it is sent; a caller's own value is not sent a second time.
    const foundation::Data& httpBody() const { return body_; }
    void setHTTPBody(foundation::Data body);
    void setHTTPBody(std::string_view body);
    const std::optional<std::filesystem::path>& httpBodyFile() const { return bodyFile_; }
    void setHTTPBodyFile(std::filesystem::path file);
    bool hasBody() const { return bodyFile_.has_value() || !body_.empty(); }
    void clearBody();

    double timeoutInterval() const { return timeout_; }
    void setTimeoutInterval(double seconds) { timeout_ = seconds; }
    double resourceTimeout() const { return resourceTimeout_; }
    void setResourceTimeout(double seconds) { resourceTimeout_ = seconds; }

    // Kept for the callers that set it; there is no cache to consult.
    int cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(int policy) { cachePolicy_ = policy; }

    // Redirects followed before the request fails with too many redirects; 0
    // hands the redirect response itself to the caller.
    int maxRedirects() const { return maxRedirects_; }
    void setMaxRedirects(int count) { maxRedirects_ = count; }

    // Schemes the URL and every redirect target may have (lower case);
    // anything else fails as an unsupported URL. {"https"} keeps a request from
    // being redirected into the clear.
    const std::vector<std::string>& allowedSchemes() const { return allowedSchemes_; }
    void setAllowedSchemes(std::vector<std::string> schemes) { allowedSchemes_ = std::move(schemes); }
    bool allowsScheme(std::string_view scheme) const;

    // Largest response body accepted, in bytes (0: no limit); a longer or longer
    // announced body fails the request. Bodies of redirects count too.
    uint64_t maxBodyBytes() const { return maxBodyBytes_; }
    void setMaxBodyBytes(uint64_t bytes) { maxBodyBytes_ = bytes; }

private:
    std::string url_;
    std::string method_ = "GET";
    HeaderFields headers_;
    foundation::Data body_;
    std::optional<std::filesystem::path> bodyFile_;
    double timeout_ = kDefaultTimeout;
    double resourceTimeout_ = kDefaultResourceTimeout;
    int cachePolicy_ = 0;
    int maxRedirects_ = kDefaultMaxRedirects;
    std::vector<std::string> allowedSchemes_{"http", "https"};
    uint64_t maxBodyBytes_ = 0;
};

}  // namespace net
