#include "kit/TLPasteboardItem.h"

#include <algorithm>

using foundation::TypeIdentifier;

bool TLPasteboardItem::isImageType(std::string_view type) {
    return std::any_of(kImageTypes.begin(), kImageTypes.end(), [&](const char* t) { return TypeIdentifier::equal(t, type); });
}

TLPasteboardItem::TLPasteboardItem(const TLPasteboardDictionary& dictionary)
    : pasteboardItem_(std::make_shared<desktop::PasteboardItem>()) {
    for (const auto& [type, value] : dictionary) {
        if (auto* string = std::get_if<std::string>(&value)) {
            setString(*string, type);
        } else if (auto* data = std::get_if<foundation::Data>(&value)) {
            setData(*data, type);
        } else if (auto* url = std::get_if<foundation::URL>(&value)) {
            setString(url->absoluteString(), type);
        }
    }
}

TLPasteboardItem::TLPasteboardItem(std::shared_ptr<desktop::PasteboardItem> pasteboardItem)
    : pasteboardItem_(std::move(pasteboardItem)) {}

std::vector<std::string> TLPasteboardItem::types() const {
    return pasteboardItem_ ? pasteboardItem_->types() : std::vector<std::string>{};
}

std::optional<std::string> TLPasteboardItem::text() const {
    auto shared = sharedText();
    return shared ? std::optional<std::string>(*shared) : std::nullopt;
}

std::shared_ptr<const std::string> TLPasteboardItem::sharedText() const {
    if (!pasteboardItem_) return nullptr;
    for (const char* type : {foundation::kUTTypeUTF8PlainText, foundation::kUTTypePlainText, foundation::kUTTypeText}) {
        if (const foundation::Data* data = pasteboardItem_->data(type)) return data->sharedString();
    }
    return nullptr;
}

std::optional<foundation::URL> TLPasteboardItem::url() const {
    auto string = stringForType(foundation::kUTTypeURL);
    return string ? foundation::URL::parse(*string) : std::nullopt;
}

std::optional<std::string> TLPasteboardItem::urlName() const { return stringForType(foundation::kUTTypeURLName); }

std::optional<std::string> TLPasteboardItem::imageType() const {
    for (const auto& type : types()) {
        if (isImageType(type)) return type;
    }
    return std::nullopt;
}

bool TLPasteboardItem::hasTypes(const std::vector<std::string>& requested) const {
    std::vector<std::string> own = types();
    for (const auto& wanted : requested) {
        for (const auto& type : own) {
            if (TypeIdentifier::conformsTo(type, wanted)) return true;
        }
    }
    return false;
}

std::optional<foundation::Data> TLPasteboardItem::dataForType(std::string_view type) const {
    const foundation::Data* data = pasteboardItem_ ? pasteboardItem_->data(type) : nullptr;
    return data ? std::optional<foundation::Data>(*data) : std::nullopt;
}

std::optional<std::string> TLPasteboardItem::stringForType(std::string_view type) const {
    return pasteboardItem_ ? pasteboardItem_->string(type) : std::nullopt;
}

void TLPasteboardItem::setData(foundation::Data data, std::string_view type) {
    if (!pasteboardItem_) pasteboardItem_ = std::make_shared<desktop::PasteboardItem>();
    pasteboardItem_->setData(type, std::move(data));
}

void TLPasteboardItem::setString(std::string_view string, std::string_view type) {
    setData(foundation::Data::fromString(string), type);
}
