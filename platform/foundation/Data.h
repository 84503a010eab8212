#pragma once
// A run of bytes, as files, pasteboard representations and property lists hold
// them. A plain value; any thread.
//
// Copies share their bytes (a 60 MiB clipboard text is one 60 MiB buffer
// however many snapshots, items and stored values hold it); changing a Data
// whose bytes are shared copies them first.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
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
    Data(const std::vector<uint8_t>& bytes) : Data(bytes.data(), bytes.size()) {}
    // Takes the string's bytes without copying them.
    explicit Data(std::string bytes);
    Data(const void* bytes, size_t length);
    static Data fromString(std::string_view text) { return Data(text.data(), text.size()); }

    const uint8_t* bytes() const { return bytes_ ? reinterpret_cast<const uint8_t*>(bytes_->data()) : nullptr; }
    size_t length() const { return bytes_ ? bytes_->size() : 0; }
    bool empty() const { return length() == 0; }
    std::span<const uint8_t> span() const { return {bytes(), length()}; }
    std::string_view view() const { return bytes_ ? std::string_view(*bytes_) : std::string_view(); }
    std::string toString() const { return std::string(view()); }
    // The bytes themselves, shared (never null): a string that keeps them
    // alive without a copy for as long as its holder needs them.
    std::shared_ptr<const std::string> sharedString() const;
    void append(const void* bytes, size_t length);
    // Room for this many bytes in all, so appending up to it never moves them.
    void reserve(size_t length);
    // Keeps the first length bytes.
    void truncate(size_t length);

    // Reads a whole regular file, refusing more than maxLength bytes.
    static Result<Data> contentsOfFile(const std::filesystem::path& path, size_t maxLength = SIZE_MAX);
    // Writes through a temporary file in the same folder and a rename, so a reader
    // (or a crash) sees the old or the new file, never a part of one.
    Result<void> writeToFile(const std::filesystem::path& path, unsigned mode = 0644) const;
    // Copies a regular file the same way, a piece at a time (never the whole
    // file in memory), refusing more than maxLength bytes.
    static Result<void> copyFile(const std::filesystem::path& from, const std::filesystem::path& to,
                                 size_t maxLength = SIZE_MAX, unsigned mode = 0644);

    std::string base64Encoded() const;
    // Decodes base64, skipping white space; nullopt on any other stray character.
    static std::optional<Data> fromBase64(std::string_view text);

    // "<0a0b0c0d 0e>", grouped by four bytes.
    std::string description() const;

    bool operator==(const Data& other) const { return view() == other.view(); }

private:
    // The bytes to change, no longer shared with another Data.
    std::string& mutableBytes();

    std::shared_ptr<std::string> bytes_;  // null while empty
};

}  // namespace foundation
