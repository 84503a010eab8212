#pragma once
// Lengths, cuts and hashes of UTF-8 text measured in UTF-16 units, the unit
// the service counts attribute lengths and install-sampling hashes in. A code
// point above U+FFFF is two units; a malformed sequence counts as the one unit
// of the U+FFFD the JSON writer puts in its place (see foundation::decodeUTF8).
// Plain functions, reentrant, any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tally {

// The number of UTF-16 units of text.
size_t utf16Length(std::string_view text);

// The longest prefix of text of at most maxUnits units that ends on a code
// point boundary: a pair of units is never split, so a cut that would leave
// half of one stops one unit short. Bytes are kept as they are.
std::string_view utf16Prefix(std::string_view text, size_t maxUnits);

// Java's String.hashCode over the UTF-16 units: h = 31 * h + unit, wrapping in
// 32 bits; the empty text gives 0.
uint32_t javaHashCode(std::string_view text);

}  // namespace tally
