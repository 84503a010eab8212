#pragma once
// Numbers as text without the C library, for the writers that run in signal
// handlers ("sdk.log", record files). Async-signal-safe.

#include <cstddef>
#include <cstdint>

// Room for 20 digits and a sign.
inline constexpr size_t kBBXNumberTextSize = 21;

// Writes value in base 10 or 16 (digits "0"-"9", then "a"-"f"), with a
// leading "-" when negative, right-aligned into buffer; answers where the
// text starts. The text runs to the end of the buffer.
inline size_t BBXNumberText(char (&buffer)[kBBXNumberTextSize], uint64_t value, unsigned base, bool negative) {
    static const char kDigits[] = "0123456789abcdef";
    size_t at = kBBXNumberTextSize;
    do {
        buffer[--at] = kDigits[value % base];
        value /= base;
    } while (value != 0 && at > 1);
    if (negative) buffer[--at] = '-';
    return at;
}

// The magnitude of a signed value, INT64_MIN included.
inline uint64_t BBXMagnitude(int64_t value) {
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}
