#pragma once
// Reading and writing Unicode code points as UTF-8. Any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace foundation {

// Appends the UTF-8 bytes of one code point (up to U+10FFFF; callers pass no
// surrogates, which UTF-8 cannot hold).
void appendUTF8(std::string& out, uint32_t codePoint);

// The replacement character a malformed sequence reads as.
constexpr uint32_t kReplacementCharacter = 0xFFFD;

// Decodes the code point starting at text[i] and moves i past it. A malformed
// sequence (a stray byte, an overlong form, a surrogate, a value past U+10FFFF,
// a sequence cut short) reads as one kReplacementCharacter for its longest
// valid start, the usual "maximal subpart" rule, and i moves past that start
// only. i must be below text.size().
uint32_t decodeUTF8(std::string_view text, size_t& i);

}  // namespace foundation
