#pragma once
// A 128-bit universally unique identifier (random, version 4). Any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class UUID {
public:
    UUID() = default;  // all zero
    explicit UUID(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

    // A fresh random identifier from the kernel's random source.
    static UUID random();
    // Reads "8-4-4-4-12" hexadecimal groups, either case.
    static std::optional<UUID> parse(std::string_view text);

    const std::array<uint8_t, 16>& bytes() const { return bytes_; }
    // The canonical 36-character text in upper case, as identifiers use it.
    std::string string() const;
    std::string description() const { return string(); }

    bool operator==(const UUID&) const = default;

private:
    std::array<uint8_t, 16> bytes_{};
};

}  // namespace foundation
