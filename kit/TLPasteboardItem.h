#pragma once
// One pasteboard item as the kit sees it: it wraps an item read from a
// pasteboard, or a new one built from a dictionary of type identifier to value
// (a stored clipping rebuilt, a template's text). Used on the thread of the
// pasteboard it came from or goes to (the main thread for the clipboard).
//
// A wrapped item is shared: setting data on this object changes that item.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/desktop/PasteboardItem.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/foundation/URL.h"

// A value of the dictionary an item is made from: text, bytes and links are
// kept; the other kinds (numbers, booleans, dates) are left out of the item.
using TLPasteboardValue =
    std::variant<std::string, foundation::Data, foundation::URL, int64_t, double, bool, foundation::Date>;
// In order; a later entry for a type replaces an earlier one.
using TLPasteboardDictionary = std::vector<std::pair<std::string, TLPasteboardValue>>;

class TLPasteboardItem {
public:
    // The six image types, in the order imageType tries them.
    static constexpr std::array<const char*, 6> kImageTypes = {
        foundation::kUTTypeJPEG, foundation::kUTTypeTIFF, foundation::kUTTypeGIF,
        foundation::kUTTypePNG,  foundation::kUTTypeBMP,  foundation::kUTTypeICO,
    };
    // Whether type equals one of them (equality, not conformance).
    static bool isImageType(std::string_view type);

    // A new item: strings and data as they are, links as their absolute string.
    explicit TLPasteboardItem(const TLPasteboardDictionary& dictionary);
    // Wraps an item of a pasteboard.
    explicit TLPasteboardItem(std::shared_ptr<desktop::PasteboardItem> pasteboardItem);

    const std::shared_ptr<desktop::PasteboardItem>& pasteboardItem() const { return pasteboardItem_; }
    void setPasteboardItem(std::shared_ptr<desktop::PasteboardItem> item) { pasteboardItem_ = std::move(item); }

    std::vector<std::string> types() const;
    // UTF-8 plain text, else plain text, else text.
    std::optional<std::string> text() const;
    // The same text without a copy (null for none): the item's own bytes.
    std::shared_ptr<const std::string> sharedText() const;
    std::optional<foundation::URL> url() const;
    std::optional<std::string> urlName() const;
    // The first of the item's own types that is an image type.
    std::optional<std::string> imageType() const;
    // Whether one of the item's types conforms to one of the requested ones.
    bool hasTypes(const std::vector<std::string>& types) const;

    std::optional<foundation::Data> dataForType(std::string_view type) const;
    std::optional<std::string> stringForType(std::string_view type) const;
    void setData(foundation::Data data, std::string_view type);
    void setString(std::string_view string, std::string_view type);

    // What a pasteboard takes when the item is written to it.
    std::vector<std::string> writableTypesForPasteboard() const { return types(); }
    std::optional<foundation::Data> pasteboardPropertyListForType(std::string_view type) const { return dataForType(type); }

private:
    std::shared_ptr<desktop::PasteboardItem> pasteboardItem_;
};
