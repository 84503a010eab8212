#include "sdk/beacon/BCNHex.h"

#include <cstring>

void BCNHexEncodeByte(uint8_t byte, char* out) {
    if (!out) return;
    out[0] = kBCNHexDigits[byte >> 4];
    out[1] = kBCNHexDigits[byte & 0x0f];
}

void BCNHexEncodeBytes(const void* bytes, size_t length, char* out) {
    if (!out) return;
    std::memset(out, 0, 2 * length + 1);
    if (!bytes) return;
    const auto* in = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < length; ++i) BCNHexEncodeByte(in[i], out + 2 * i);
}

std::string BCNHexStringFromBytes(const void* bytes, size_t length) {
    if (!bytes) length = 0;
    // One buffer of 2n+1 bytes; the string takes it over without the NUL.
    std::string text(2 * length + 1, '\0');
    BCNHexEncodeBytes(bytes, length, text.data());
    text.pop_back();
    return text;
}

std::string BCNHexStringFromData(const foundation::Data& data) {
    return BCNHexStringFromBytes(data.bytes(), data.length());
}
