#pragma once
// One item of a pasteboard: its representations in the order its writer gave
// them, each a type identifier and its bytes. A plain value; any thread.
//
// Types compare as type identifiers do (without regard to case); setting a
// type the item already has replaces that representation where it stands.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Data.h"

namespace desktop {

class PasteboardItem {
public:
    struct Representation {
        std::string type;
        foundation::Data data;
        bool operator==(const Representation&) const = default;
    };

    PasteboardItem() = default;
    explicit PasteboardItem(std::vector<Representation> representations);

    std::vector<std::string> types() const;
    bool hasType(std::string_view type) const;
    // The bytes for type; null when the item has none.
    const foundation::Data* data(std::string_view type) const;
    // The bytes for type as text (taken as UTF-8); nothing when the item has none.
    std::optional<std::string> string(std::string_view type) const;

    void setData(std::string_view type, foundation::Data data);
    void setString(std::string_view type, std::string_view text);
    void removeType(std::string_view type);

    const std::vector<Representation>& representations() const { return representations_; }
    bool empty() const { return representations_.empty(); }
    // The bytes of all representations together.
    size_t byteCount() const;

    bool operator==(const PasteboardItem&) const = default;

private:
    std::vector<Representation> representations_;
};

}  // namespace desktop
