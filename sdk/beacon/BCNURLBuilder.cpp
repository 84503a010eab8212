#include "sdk/beacon/BCNURLBuilder.h"

#include <string_view>

#include "platform/foundation/URL.h"

namespace {

bool keptInAddresses(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-_.!~*'();/?:@&=+$,#").find(static_cast<char>(c)) != std::string_view::npos;
}

// Characters of the kept set that end or change a query parameter.
bool separatesQueryValues(unsigned char c) { return std::string_view("&=+#?").find(static_cast<char>(c)) != std::string_view::npos; }

template <class Keep>
std::string percentEscape(const std::string& text, Keep keep) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (unsigned char c : text) {
        if (keep(c)) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 0xF];
        }
    }
    return escaped;
}

}  // namespace

BCNURLBuilder BCNURLBuilder::URLWithBase(const std::string& base) {
    BCNURLBuilder builder;
    builder.appendComponent(base);
    return builder;
}

void BCNURLBuilder::appendComponent(const std::string& component) { URLString_ += component; }

void BCNURLBuilder::escapeAndAppendComponent(const std::string& component) { appendComponent(escapeString(component)); }

std::string BCNURLBuilder::escapeString(const std::string& text) { return percentEscape(text, keptInAddresses); }

void BCNURLBuilder::appendValue(const std::optional<std::string>& value, const std::string& queryParam) {
    if (!value) return;
    URLString_ += queryParams_ != 0 ? "&" : "?";
    ++queryParams_;
    URLString_ += queryParam;
    URLString_ += '=';
    URLString_ += percentEscape(*value, [](unsigned char c) { return keptInAddresses(c) && !separatesQueryValues(c); });
}

void BCNURLBuilder::appendValue(int64_t value, const std::string& queryParam) {
    appendValue(std::optional<std::string>(std::to_string(value)), queryParam);
}

std::optional<std::string> BCNURLBuilder::URL() const {
    auto url = foundation::URL::parse(URLString_);
    if (!url || !url->hasSchemeAndHost()) return std::nullopt;
    return URLString_;
}
