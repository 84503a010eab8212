#include "sdk/beacon/BCNIcon.h"

#include <cstring>

#include "sdk/beacon/BCNSHA1.h"

BCNIcon::BCNIcon(foundation::Data data, double width, double height, bool prerendered)
    : data_(std::move(data)), dataHash_(BCNSHA1HexStringFromData(data_)), width_(width), height_(height),
      prerendered_(prerendered) {}

BCNIcon::BCNIcon(foundation::Data data, std::string dataHash, double width, double height, bool prerendered)
    : data_(std::move(data)), dataHash_(std::move(dataHash)), width_(width), height_(height), prerendered_(prerendered) {}

std::shared_ptr<const BCNIcon> BCNIcon::fromPNGData(foundation::Data data) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    // The signature, then the IHDR chunk: length 13, type, width, height (big-endian).
    if (data.length() < 8 + 8 + 13 + 4) return nullptr;
    const uint8_t* bytes = data.bytes();
    auto be32 = [bytes](size_t at) {
        return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    };
    if (std::memcmp(bytes, kSignature, 8) != 0 || be32(8) != 13 || std::memcmp(bytes + 12, "IHDR", 4) != 0)
        return nullptr;
    uint32_t width = be32(16), height = be32(20);
    // The format allows sides up to 2^31 - 1.
    if (width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu) return nullptr;
    return std::make_shared<const BCNIcon>(std::move(data), width, height, true);
}
