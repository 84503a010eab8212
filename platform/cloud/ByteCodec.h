#pragma once
// The layer's binary forms (record fields in the store, the system-fields and
// change-token archives): little-endian numbers and length-prefixed bytes.
// The reader never reads past its input and refuses lengths over a bound, so
// damaged or hostile bytes end in a failed read, never a crash or a huge
// allocation. Any thread.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FieldValue.h"

namespace cloud {

class ByteCodec {
public:
    // Appending.
    static void putU8(std::string& out, uint8_t value) { out.push_back(static_cast<char>(value)); }
    static void putU32(std::string& out, uint32_t value);
    static void putI64(std::string& out, int64_t value);
    static void putDouble(std::string& out, double value);
    static void putBytes(std::string& out, std::string_view bytes);

    // Reading from the front of input; each answers nothing when the input is
    // too short or a length is over maxLength, and then leaves input as it was.
    static std::optional<uint8_t> getU8(std::string_view& input);
    static std::optional<uint32_t> getU32(std::string_view& input);
    static std::optional<int64_t> getI64(std::string_view& input);
    static std::optional<double> getDouble(std::string_view& input);
    static std::optional<std::string> getBytes(std::string_view& input, size_t maxLength);

    // A field map: each field is its key, a kind byte and the kind's bytes, so a
    // kind this layer does not know is carried over whole as an UnknownValue.
    static std::string encodeFields(const std::map<std::string, FieldValue>& fields);
    static std::optional<std::map<std::string, FieldValue>> decodeFields(std::string_view bytes);
    static std::string encodeValue(const FieldValue& value);

    // Archives: a four-letter mark, a version, the body and the first 8 bytes of
    // the SHA-256 of what came before, so that any changed byte is refused.
    static std::string seal(std::string_view mark, uint8_t version, std::string_view body);
    static std::optional<std::string> unseal(std::string_view mark, uint8_t version, std::string_view bytes,
                                             size_t maxBody);

    // The SHA-256 of bytes, in lower-case hexadecimal.
    static std::string sha256Hex(std::string_view bytes);
};

}  // namespace cloud
