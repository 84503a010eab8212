#include "sdk/tally/UTF16.h"

#include "platform/foundation/UTF8.h"

namespace tally {

size_t utf16Length(std::string_view text) {
    size_t units = 0;
    for (size_t i = 0; i < text.size();) units += foundation::decodeUTF8(text, i) > 0xFFFF ? 2 : 1;
    return units;
}

std::string_view utf16Prefix(std::string_view text, size_t maxUnits) {
    size_t units = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t next = i;
        size_t width = foundation::decodeUTF8(text, next) > 0xFFFF ? 2 : 1;
        if (units + width > maxUnits) break;
        units += width;
        i = next;
    }
    return text.substr(0, i);
}

uint32_t javaHashCode(std::string_view text) {
    uint32_t h = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = foundation::decodeUTF8(text, i);
        if (cp > 0xFFFF) {
            cp -= 0x10000;
            h = h * 31 + (0xD800 + (cp >> 10));
            h = h * 31 + (0xDC00 + (cp & 0x3FF));
        } else {
            h = h * 31 + cp;
        }
    }
    return h;
}

}  // namespace tally
