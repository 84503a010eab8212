#include "FrameString.h"

#include <array>
#include <charconv>
#include <cmath>

namespace foundation {

namespace {

bool startsNumber(std::string_view text, size_t at) {
    char c = text[at];
    if (c >= '0' && c <= '9') return true;
    if ((c == '-' || c == '+' || c == '.') && at + 1 < text.size()) return startsNumber(text, at + 1) || text[at + 1] == '.';
    return false;
}

std::string number(double value) {
    if (!std::isfinite(value)) return "0";
    if (value == 0) return "0";  // never "-0"
    std::array<char, 32> buffer{};
    auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    if (error != std::errc()) return "0";
    return std::string(buffer.data(), end);
}

}  // namespace

FrameRect FrameString::rectFromString(std::string_view text) {
    std::array<double, 4> values{};
    size_t found = 0;
    size_t at = 0;
    while (found < values.size() && at < text.size()) {
        if (!startsNumber(text, at)) {
            ++at;
            continue;
        }
        size_t start = at + (text[at] == '+' ? 1 : 0);
        double value = 0;
        auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), value);
        if (end == text.data() + start) {  // a lone sign or dot
            ++at;
            continue;
        }
        values[found++] = (error == std::errc() && std::isfinite(value)) ? value : 0;
        at = static_cast<size_t>(end - text.data());
    }
    return {values[0], values[1], values[2], values[3]};
}

std::string FrameString::stringFromRect(const FrameRect& rect) {
    return "{{" + number(rect.x) + ", " + number(rect.y) + "}, {" + number(rect.width) + ", " + number(rect.height) +
           "}}";
}

}  // namespace foundation
