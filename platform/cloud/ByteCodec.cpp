#include "ByteCodec.h"

#include <openssl/evp.h>

#include <cstring>

namespace cloud {

namespace {

enum Kind : uint8_t { kString = 1, kInteger = 2, kDouble = 3, kDate = 4, kBytes = 5, kReference = 6, kAsset = 7 };

// No field, key or name this layer writes comes near these; they only bound
// what a damaged input can make the reader allocate.
constexpr size_t kMaxKeyBytes = 4096;
constexpr size_t kMaxValueBytes = size_t{256} << 20;
constexpr size_t kChecksumBytes = 8;

std::string sha256(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string_view view(const foundation::Data& data) {
    return {reinterpret_cast<const char*>(data.bytes()), data.length()};
}

}  // namespace

void ByteCodec::putU32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void ByteCodec::putI64(std::string& out, int64_t value) {
    const auto bits = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
}

void ByteCodec::putDouble(std::string& out, double value) {
    int64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putI64(out, bits);
}

void ByteCodec::putBytes(std::string& out, std::string_view bytes) {
    putU32(out, static_cast<uint32_t>(bytes.size()));
    out.append(bytes);
}

std::optional<uint8_t> ByteCodec::getU8(std::string_view& input) {
    if (input.empty()) return std::nullopt;
    const auto value = static_cast<uint8_t>(input[0]);
    input.remove_prefix(1);
    return value;
}

std::optional<uint32_t> ByteCodec::getU32(std::string_view& input) {
    if (input.size() < 4) return std::nullopt;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<uint8_t>(input[i])} << (8 * i);
    input.remove_prefix(4);
    return value;
}

std::optional<int64_t> ByteCodec::getI64(std::string_view& input) {
    if (input.size() < 8) return std::nullopt;
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= uint64_t{static_cast<uint8_t>(input[i])} << (8 * i);
    input.remove_prefix(8);
    return static_cast<int64_t>(value);
}

std::optional<double> ByteCodec::getDouble(std::string_view& input) {
    auto bits = getI64(input);
    if (!bits) return std::nullopt;
    double value;
    std::memcpy(&value, &*bits, sizeof value);
    return value;
}

std::optional<std::string> ByteCodec::getBytes(std::string_view& input, size_t maxLength) {
    std::string_view rest = input;
    auto length = getU32(rest);
    if (!length || *length > maxLength || *length > rest.size()) return std::nullopt;
    std::string bytes(rest.substr(0, *length));
    input = rest.substr(*length);
    return bytes;
}

std::string ByteCodec::encodeValue(const FieldValue& value) {
    std::string out;
    struct Visitor {
        std::string& out;
        void operator()(const std::string& v) { putU8(out, kString); putBytes(out, v); }
        void operator()(int64_t v) { putU8(out, kInteger); putU32(out, 8); putI64(out, v); }
        void operator()(double v) { putU8(out, kDouble); putU32(out, 8); putDouble(out, v); }
        void operator()(const foundation::Date& v) {
            putU8(out, kDate);
            putU32(out, 8);
            putDouble(out, v.timeIntervalSince1970());
        }
        void operator()(const foundation::Data& v) { putU8(out, kBytes); putBytes(out, view(v)); }
        void operator()(const Reference& v) {
            std::string body;
            putBytes(body, v.recordID.recordName);
            putBytes(body, v.recordID.zoneID.zoneName);
            putBytes(body, v.recordID.zoneID.ownerName);
            putI64(body, v.action);
            putU8(out, kReference);
            putBytes(out, body);
        }
        void operator()(const Asset& v) { putU8(out, kAsset); putBytes(out, v.fileURL.string()); }
        void operator()(const UnknownValue& v) { putU8(out, v.kind); putBytes(out, view(v.bytes)); }
    };
    std::visit(Visitor{out}, value);
    return out;
}

std::string ByteCodec::encodeFields(const std::map<std::string, FieldValue>& fields) {
    std::string out;
    putU32(out, static_cast<uint32_t>(fields.size()));
    for (const auto& [key, value] : fields) {
        putBytes(out, key);
        out += encodeValue(value);
    }
    return out;
}

std::optional<std::map<std::string, FieldValue>> ByteCodec::decodeFields(std::string_view bytes) {
    auto count = getU32(bytes);
    if (!count) return std::nullopt;
    std::map<std::string, FieldValue> fields;
    for (uint32_t i = 0; i < *count; ++i) {
        auto key = getBytes(bytes, kMaxKeyBytes);
        auto kind = getU8(bytes);
        auto body = getBytes(bytes, kMaxValueBytes);
        if (!key || !kind || !body) return std::nullopt;
        std::string_view in = *body;
        std::optional<FieldValue> value;
        switch (*kind) {
        case kString: value = *body; break;
        case kInteger: if (auto v = getI64(in); v && in.empty()) value = *v; break;
        case kDouble: if (auto v = getDouble(in); v && in.empty()) value = *v; break;
        case kDate: if (auto v = getDouble(in); v && in.empty()) value = foundation::Date(*v); break;
        case kBytes: value = foundation::Data(body->data(), body->size()); break;
        case kReference: {
            auto name = getBytes(in, kMaxKeyBytes);
            auto zone = getBytes(in, kMaxKeyBytes);
            auto owner = getBytes(in, kMaxKeyBytes);
            auto action = getI64(in);
            if (name && zone && owner && action && in.empty() && (*action == 0 || *action == 1))
                value = Reference{{*name, {*zone, *owner}}, static_cast<Reference::Action>(*action)};
            break;
        }
        case kAsset: value = Asset{*body}; break;
        default: value = UnknownValue{*kind, foundation::Data(body->data(), body->size())}; break;
        }
        if (!value) return std::nullopt;
        fields.emplace(std::move(*key), std::move(*value));
    }
    if (!bytes.empty()) return std::nullopt;
    return fields;
}

std::string ByteCodec::seal(std::string_view mark, uint8_t version, std::string_view body) {
    std::string out(mark);
    putU8(out, version);
    putBytes(out, body);
    out += sha256(out).substr(0, kChecksumBytes);
    return out;
}

std::optional<std::string> ByteCodec::unseal(std::string_view mark, uint8_t version, std::string_view bytes,
                                             size_t maxBody) {
    if (bytes.size() < mark.size() + 1 + 4 + kChecksumBytes || bytes.size() > mark.size() + 5 + maxBody + kChecksumBytes)
        return std::nullopt;
    const std::string_view signedPart = bytes.substr(0, bytes.size() - kChecksumBytes);
    if (sha256(signedPart).substr(0, kChecksumBytes) != bytes.substr(signedPart.size())) return std::nullopt;
    if (signedPart.substr(0, mark.size()) != mark) return std::nullopt;
    std::string_view in = signedPart.substr(mark.size());
    if (getU8(in) != version) return std::nullopt;
    auto body = getBytes(in, maxBody);
    if (!body || !in.empty()) return std::nullopt;
    return body;
}

std::string ByteCodec::sha256Hex(std::string_view bytes) {
    static const char* kDigits = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : sha256(bytes)) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 15]);
    }
    return hex;
}

}  // namespace cloud
