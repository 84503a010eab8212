#include "platform/net/URLRequest.h"

#include <algorithm>

namespace net {

URLRequest::URLRequest(std::string url, double timeoutInterval) : url_(std::move(url)), timeout_(timeoutInterval) {}

void URLRequest::setHTTPBody(std::vector<uint8_t> body) {
    body_ = std::move(body);
    bodyFile_.reset();
}

void URLRequest::setHTTPBody(std::string_view body) { setHTTPBody(std::vector<uint8_t>(body.begin(), body.end())); }

void URLRequest::setHTTPBodyFile(std::filesystem::path file) {
    body_.clear();
    bodyFile_ = std::move(file);
}

void URLRequest::clearBody() {
    body_.clear();
    bodyFile_.reset();
}

bool URLRequest::allowsScheme(std::string_view scheme) const {
    return std::any_of(allowedSchemes_.begin(), allowedSchemes_.end(),
                       [&](const std::string& s) { return HeaderFields::namesEqual(s, scheme); });
}

}  // namespace net
