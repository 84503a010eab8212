#include "UTF8.h"

namespace foundation {

void appendUTF8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace foundation

namespace foundation {

uint32_t decodeUTF8(std::string_view text, size_t& i) {
    auto byte = [&](size_t at) { return static_cast<uint8_t>(text[at]); };
    const uint8_t lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    size_t length;
    uint32_t cp;
    // The range the second byte must fall in excludes overlong forms,
    // surrogates and values past U+10FFFF.
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        ++i;
        return kReplacementCharacter;
    }
    size_t k = 1;
    for (; k < length && i + k < text.size(); ++k) {
        uint8_t next = byte(i + k);
        if (next < low || next > high) break;
        low = 0x80, high = 0xBF;
        cp = (cp << 6) | (next & 0x3F);
    }
    i += k;
    return k == length ? cp : kReplacementCharacter;
}

}  // namespace foundation
