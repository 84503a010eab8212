#include "platform/net/HTTPURLResponse.h"

#include <cctype>
#include <charconv>

namespace net {

namespace {

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

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
    std::string t = trim(*v);
    int64_t n = -1;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
    if (ec != std::errc() || end != t.data() + t.size() || n < 0) return -1;
    return n;
}

std::string HTTPURLResponse::mimeType() const {
    auto v = headers_.value("Content-Type");
    if (!v) return {};
    return lowered(trim(std::string_view(*v).substr(0, v->find(';'))));
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
        if (lowered(trim(param.substr(0, eq))) != "charset") continue;
        std::string value = trim(param.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        return lowered(value);
    }
    return {};
}

}  // namespace net
