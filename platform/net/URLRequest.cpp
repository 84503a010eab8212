#include "platform/net/URLRequest.h"

#include <algorithm>

namespace net {

URLRequest::URLRequest(std::string url, double timeoutInterval) : url_(std::move(url)), timeout_(timeoutInterval) {}

void URLRequest::setHTTPBody(foundation::Data body) {
    body_ = std::move(body);
    bodyFile_.reset();
}

void URLRequest::setHTTPBody(std::string_view body) { setHTTPBody(foundation::Data::fromString(body)); }

void URLRequest::setHTTPBodyFile(std::filesystem::path file) {
    body_ = {};
    bodyFile_ = std::move(file);
}

void URLRequest::clearBody() {
    body_ = {};
    bodyFile_.reset();
}

bool URLRequest::allowsScheme(std::string_view scheme) const {
    return std::any_of(allowedSchemes_.begin(), allowedSchemes_.end(),
                       [&](const std::string& s) { return HeaderFields::namesEqual(s, scheme); });
}

}  // namespace net
