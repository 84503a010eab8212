#include "platform/desktop/PasteboardItem.h"

#include <algorithm>

#include "platform/foundation/TypeIdentifier.h"

namespace desktop {

namespace {

auto findType(auto& representations, std::string_view type) {
    return std::find_if(representations.begin(), representations.end(), [&](const auto& r) {
        return foundation::TypeIdentifier::equal(r.type, type);
    });
}

}  // namespace

PasteboardItem::PasteboardItem(std::vector<Representation> representations) {
    for (auto& r : representations) setData(r.type, std::move(r.data));
}

std::vector<std::string> PasteboardItem::types() const {
    std::vector<std::string> out;
    out.reserve(representations_.size());
    for (const auto& r : representations_) out.push_back(r.type);
    return out;
}

bool PasteboardItem::hasType(std::string_view type) const {
    return findType(representations_, type) != representations_.end();
}

const foundation::Data* PasteboardItem::data(std::string_view type) const {
    auto it = findType(representations_, type);
    return it == representations_.end() ? nullptr : &it->data;
}

std::optional<std::string> PasteboardItem::string(std::string_view type) const {
    const foundation::Data* bytes = data(type);
    if (!bytes) return std::nullopt;
    return bytes->toString();
}

void PasteboardItem::setData(std::string_view type, foundation::Data data) {
    auto it = findType(representations_, type);
    if (it != representations_.end()) {
        it->data = std::move(data);
    } else {
        representations_.push_back({std::string(type), std::move(data)});
    }
}

void PasteboardItem::setString(std::string_view type, std::string_view text) {
    setData(type, foundation::Data::fromString(text));
}

void PasteboardItem::removeType(std::string_view type) {
    auto it = findType(representations_, type);
    if (it != representations_.end()) representations_.erase(it);
}

size_t PasteboardItem::byteCount() const {
    size_t total = 0;
    for (const auto& r : representations_) total += r.data.length();
    return total;
}

}  // namespace desktop
