#pragma once
// Lower-case hexadecimal text of bytes. Plain functions, reentrant, any thread.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/foundation/Data.h"

// The digits every hex text here uses, lower case.
inline constexpr char kBCNHexDigits[] = "0123456789abcdef";

// Writes the two hex digits of one byte, high nibble first, into out[0..1].
// Does nothing when out is null.
void BCNHexEncodeByte(uint8_t byte, char* out);

// Zero-fills out (2 * length + 1 bytes), then writes the hex of the bytes, so
// out ends as a NUL-terminated text. With null bytes or length 0 only the
// zero-filling happens; with a null out nothing happens.
void BCNHexEncodeBytes(const void* bytes, size_t length, char* out);

// Hex text of the data's bytes; empty data gives an empty text.
std::string BCNHexStringFromData(const foundation::Data& data);
// The same for a run of bytes that is not a data object.
std::string BCNHexStringFromBytes(const void* bytes, size_t length);
