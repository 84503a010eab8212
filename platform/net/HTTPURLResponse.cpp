#include "platform/net/HTTPURLResponse.h"

#include <cctype>
#include <charconv>

namespace net {

namespace {

std::string lowered(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

HTTPURLResponse::HTTPURLResponse(std::string url, int statusCode, HeaderFields headers)
    : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}

int64_t HTTPURLResponse::expectedContentLength() const {
    auto v = headers_.value("Content-Length");
    if (!v) return -1;
    std::string t = HeaderFields::trimmed(*v);
    int64_t n = -1;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
    if (ec != std::errc() || end != t.data() + t.size() || n < 0) return -1;
    return n;
}

std::string HTTPURLResponse::mimeType() const {
    auto v = headers_.value("Content-Type");
    if (!v) return {};
    return lowered(HeaderFields::trimmed(std::string_view(*v).substr(0, v->find(';'))));
}

std::string HTTPURLResponse::textEncodingName() const {
    auto v = headers_.value("Content-Type");
    if (!v) return {};
    std::string_view rest(*v);
    size_t semi;
    while ((semi = rest.find(';')) != std::string_view::npos) {
        rest = rest.substr(semi + 1);
        std::string_view param = rest.substr(0, rest.find(';'));
        size_t eq = param.find('=');
        if (eq == std::string_view::npos) continue;
        if (lowered(HeaderFields::trimmed(param.substr(0, eq))) != "charset") continue;
        std::string value = HeaderFields::trimmed(param.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        return lowered(value);
    }
    return {};
}

}  // namespace net
