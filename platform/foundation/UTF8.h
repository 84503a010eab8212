#pragma once
// Writing Unicode code points as UTF-8. Any thread.

#include <cstdint>
#include <string>

namespace foundation {

// Appends the UTF-8 bytes of one code point (up to U+10FFFF; callers pass no
// surrogates, which UTF-8 cannot hold).
void appendUTF8(std::string& out, uint32_t codePoint);

}  // namespace foundation
