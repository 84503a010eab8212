#include "platform/desktop/Pasteboard.h"

#include <cmath>

#include "platform/foundation/Date.h"
#include "platform/foundation/TypeIdentifier.h"

namespace desktop {

Pasteboard::~Pasteboard() = default;

std::vector<std::string> Pasteboard::types() {
    std::vector<std::string> out;
    for (const PasteboardItem& item : items()) {
        for (const auto& r : item.representations()) {
            bool seen = false;
            for (const auto& type : out) seen = seen || foundation::TypeIdentifier::equal(type, r.type);
            if (!seen) out.push_back(r.type);
        }
    }
    return out;
}

size_t Pasteboard::itemCount() { return items().size(); }

bool Pasteboard::containsType(const std::string& type) {
    for (const PasteboardItem& item : items()) {
        if (item.hasType(type)) return true;
    }
    return false;
}

std::optional<foundation::Data> Pasteboard::dataForType(const std::string& type) {
    for (const PasteboardItem& item : items()) {
        if (const foundation::Data* data = item.data(type)) return *data;
    }
    return std::nullopt;
}

int64_t Pasteboard::seedChangeCount() {
    return static_cast<int64_t>(std::floor(foundation::Date::now().timeIntervalSince1970() * 1e6));
}

}  // namespace desktop
