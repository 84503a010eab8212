#include "sdk/beacon/BCNSHA1.h"

#include <openssl/evp.h>

#include <memory>

#include "sdk/beacon/BCNHex.h"

namespace {
constexpr size_t kSHA1Length = 20;
}

std::string BCNSHA1HexStringFromBytes(const void* bytes, size_t length) {
    if (!bytes) length = 0;
    uint8_t digest[kSHA1Length] = {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned int written = 0;
    // EVP_DigestUpdate takes a size_t, so no 32-bit truncation of the length.
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) == 1 &&
              (length == 0 || EVP_DigestUpdate(context.get(), bytes, length) == 1) &&
              EVP_DigestFinal_ex(context.get(), digest, &written) == 1 && written == kSHA1Length;
    if (!ok) return {};
    return BCNHexStringFromBytes(digest, sizeof digest);
}

std::string BCNSHA1HexStringFromData(const foundation::Data& data) {
    return BCNSHA1HexStringFromBytes(data.bytes(), data.length());
}
