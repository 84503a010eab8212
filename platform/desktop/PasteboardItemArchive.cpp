#include "platform/desktop/PasteboardItemArchive.h"

#include <cstring>
#include <string_view>

namespace desktop {

namespace {

constexpr std::string_view kMagic = "TLPBITM1";

void putInteger(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

class Reader {
public:
    explicit Reader(const foundation::Data& data) : bytes_(data.bytes()), left_(data.length()) {}

    std::optional<uint64_t> integer(int bytes) {
        if (left_ < static_cast<size_t>(bytes)) return std::nullopt;
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= uint64_t{bytes_[i]} << (8 * i);
        advance(bytes);
        return value;
    }
    std::optional<std::string_view> take(uint64_t length) {
        if (length > left_) return std::nullopt;
        std::string_view out(reinterpret_cast<const char*>(bytes_), length);
        advance(length);
        return out;
    }
    size_t left() const { return left_; }

private:
    void advance(size_t n) {
        bytes_ += n;
        left_ -= n;
    }
    const uint8_t* bytes_;
    size_t left_;
};

}  // namespace

foundation::Data PasteboardItemArchive::encode(const std::vector<PasteboardItem>& items) {
    size_t size = kMagic.size() + 4;
    for (const PasteboardItem& item : items) {
        size += 4;
        for (const auto& r : item.representations()) size += 12 + r.type.size() + r.data.length();
    }
    std::string out(kMagic);
    out.reserve(size);
    putInteger(out, items.size(), 4);
    for (const PasteboardItem& item : items) {
        putInteger(out, item.representations().size(), 4);
        for (const auto& r : item.representations()) {
            putInteger(out, r.type.size(), 4);
            out += r.type;
            putInteger(out, r.data.length(), 8);
            out += r.data.view();
        }
    }
    return foundation::Data(std::move(out));
}

std::optional<std::vector<PasteboardItem>> PasteboardItemArchive::decode(const foundation::Data& archive) {
    Reader reader(archive);
    auto magic = reader.take(kMagic.size());
    if (!magic || *magic != kMagic) return std::nullopt;
    auto itemCount = reader.integer(4);
    // Every item takes at least its four-byte count: a larger claim is a lie,
    // and believing it would only reserve memory for nothing.
    if (!itemCount || *itemCount > reader.left() / 4) return std::nullopt;
    std::vector<PasteboardItem> items;
    items.reserve(*itemCount);
    for (uint64_t i = 0; i < *itemCount; ++i) {
        auto count = reader.integer(4);
        if (!count) return std::nullopt;
        PasteboardItem item;
        for (uint64_t j = 0; j < *count; ++j) {
            auto typeLength = reader.integer(4);
            if (!typeLength || *typeLength == 0 || *typeLength > kMaxTypeLength) return std::nullopt;
            auto type = reader.take(*typeLength);
            if (!type || type->find('\0') != std::string_view::npos) return std::nullopt;
            auto dataLength = reader.integer(8);
            if (!dataLength) return std::nullopt;
            auto data = reader.take(*dataLength);
            if (!data) return std::nullopt;
            item.setData(*type, foundation::Data(data->data(), data->size()));
        }
        items.push_back(std::move(item));
    }
    if (reader.left() != 0) return std::nullopt;
    return items;
}

}  // namespace desktop
