#include "UUID.h"

#include <cerrno>
#include <random>
#include <sys/random.h>

namespace foundation {

namespace {

int hexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

}  // namespace

UUID UUID::random() {
    std::array<uint8_t, 16> bytes{};
    size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        filled += static_cast<size_t>(n);
    }
    if (filled < bytes.size()) {
        // getrandom() only fails on kernels older than 3.17; fall back to the
        // library's source rather than hand out a predictable identifier.
        std::random_device device;
        for (auto& b : bytes) b = static_cast<uint8_t>(device());
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return UUID(bytes);
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<uint8_t, 16> bytes{};
    size_t out = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[out++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return UUID(bytes);
}

std::string UUID::string() const {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += kHex[bytes_[i] >> 4];
        out += kHex[bytes_[i] & 15];
    }
    return out;
}

}  // namespace foundation
