#pragma once
// A run of bytes, as files, pasteboard representations and property lists hold
// them. A plain value; any thread.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Result.h"

namespace foundation {

class Data {
public:
    Data() = default;
    Data(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    Data(const void* bytes, size_t length);
    static Data fromString(std::string_view text) { return Data(text.data(), text.size()); }

    const uint8_t* bytes() const { return bytes_.data(); }
    size_t length() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::span<const uint8_t> span() const { return bytes_; }
    const std::vector<uint8_t>& vector() const { return bytes_; }
    std::vector<uint8_t>& vector() { return bytes_; }
    std::string toString() const { return std::string(bytes_.begin(), bytes_.end()); }
    void append(const void* bytes, size_t length);

    // Reads a whole regular file, refusing more than maxLength bytes.
    static Result<Data> contentsOfFile(const std::filesystem::path& path, size_t maxLength = SIZE_MAX);
    // Writes through a temporary file in the same folder and a rename, so a reader
    // (or a crash) sees the old or the new file, never a part of one.
    Result<void> writeToFile(const std::filesystem::path& path, unsigned mode = 0644) const;

    std::string base64Encoded() const;
    // Decodes base64, skipping white space; nullopt on any other stray character.
    static std::optional<Data> fromBase64(std::string_view text);

    // "<0a0b0c0d 0e>", grouped by four bytes.
    std::string description() const;

    bool operator==(const Data&) const = default;

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace foundation
