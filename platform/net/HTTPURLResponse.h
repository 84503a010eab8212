#pragma once
// A server's answer, as far as the headers go: the URL that answered (after
// redirects), the status and the header fields. A plain value.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/net/HeaderFields.h"

namespace net {

class HTTPURLResponse {
public:
    HTTPURLResponse() = default;
    HTTPURLResponse(std::string url, int statusCode, HeaderFields headers);

    const std::string& url() const { return url_; }
    int statusCode() const { return statusCode_; }
    const HeaderFields& allHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const { return headers_.value(name); }

    // The announced body length ("Content-Length"), -1 when unknown.
    int64_t expectedContentLength() const;
    // From "Content-Type": the media type in lower case and its charset, if any.
    std::string mimeType() const;
    std::string textEncodingName() const;

private:
    std::string url_;
    int statusCode_ = 0;
    HeaderFields headers_;
};

}  // namespace net
