#include "kit/TLMacPasteboard.h"

#include <mutex>

#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/desktop/ClipboardReader.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/desktop/SystemPasteboard.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/foundation/UserDefaults.h"

namespace {

// The item as a pasteboard takes it: each writable type with its data.
desktop::PasteboardItem written(const TLPasteboardItem& item) {
    desktop::PasteboardItem out;
    for (const auto& type : item.writableTypesForPasteboard()) {
        if (auto data = item.pasteboardPropertyListForType(type)) out.setData(type, std::move(*data));
    }
    return out;
}

}  // namespace

namespace {

struct General {
    std::shared_ptr<TLMacPasteboard> pasteboard;
    std::shared_ptr<desktop::ClipboardReader> reader;
};

// The clipboard and its reader, chosen once: the reader exists only where the
// system pasteboard speaks X11.
const General& general() {
    static std::once_flag once;
    static General made;
    std::call_once(once, [] {
        made.pasteboard = std::make_shared<TLMacPasteboard>();
        std::shared_ptr<desktop::Pasteboard> clipboard;
        if (auto system = desktop::SystemPasteboard::create()) {
            if (system->usesX11()) made.reader = desktop::ClipboardReader::open();
            clipboard = std::move(system);
        } else {
            clipboard = std::make_shared<desktop::MemoryPasteboard>();
        }
        made.pasteboard->setPasteboard(std::move(clipboard));
    });
    return made;
}

}  // namespace

std::shared_ptr<TLMacPasteboard> TLMacPasteboard::generalPasteboard() { return general().pasteboard; }

std::shared_ptr<desktop::ClipboardReader> TLMacPasteboard::generalClipboardReader() { return general().reader; }

std::vector<desktop::PasteboardItem> TLMacPasteboard::currentItems() {
    return pasteboard_ ? pasteboard_->items() : std::vector<desktop::PasteboardItem>{};
}

int64_t TLMacPasteboard::changeCount() { return pasteboard_ ? pasteboard_->changeCount() : 0; }

std::vector<std::string> TLMacPasteboard::types() {
    return pasteboard_ ? pasteboard_->types() : std::vector<std::string>{};
}

std::vector<std::string> TLMacPasteboard::supportedTypes() {
    return {foundation::kUTTypePlainText, foundation::kUTTypeUTF8PlainText, foundation::kUTTypeURL,
            foundation::kUTTypeJPEG,      foundation::kUTTypeTIFF,          foundation::kUTTypeGIF,
            foundation::kUTTypePNG,       foundation::kUTTypeBMP,           foundation::kUTTypeICO};
}

bool TLMacPasteboard::isSaved() {
    // The stored count answers from memory; the type may need the owner's answer.
    if (foundation::UserDefaults::applicationGroup()->integerForKey(TLUserDefaultsPasteboardChangeCount) == changeCount())
        return true;
    return containsDataType(kClippingMetadataType);
}

size_t TLMacPasteboard::numberOfPasteboardItems() { return pasteboard_ ? pasteboard_->itemCount() : 0; }

std::vector<std::shared_ptr<TLPasteboardItem>> TLMacPasteboard::pasteboardItems() {
    std::vector<std::shared_ptr<TLPasteboardItem>> out;
    for (auto& item : currentItems())
        out.push_back(std::make_shared<TLPasteboardItem>(std::make_shared<desktop::PasteboardItem>(std::move(item))));
    return out;
}

std::shared_ptr<TLPasteboardItem> TLMacPasteboard::pasteboardItemAtIndex(size_t index) {
    auto items = currentItems();
    if (index >= items.size()) return nullptr;
    return std::make_shared<TLPasteboardItem>(std::make_shared<desktop::PasteboardItem>(std::move(items[index])));
}

bool TLMacPasteboard::containsDataType(const std::string& type) {
    return pasteboard_ && pasteboard_->containsType(type);
}

std::optional<foundation::Data> TLMacPasteboard::dataForDataType(const std::string& type) {
    return pasteboard_ ? pasteboard_->dataForType(type) : std::nullopt;
}

std::optional<foundation::Data> TLMacPasteboard::dataForDataTypeAtIndex(const std::string& type, size_t index) {
    auto items = currentItems();
    if (index >= items.size()) return std::nullopt;
    const foundation::Data* data = items[index].data(type);
    return data ? std::optional<foundation::Data>(*data) : std::nullopt;
}

std::optional<std::string> TLMacPasteboard::stringForDataType(const std::string& type) {
    auto data = dataForDataType(type);
    return data ? std::optional<std::string>(data->toString()) : std::nullopt;
}

std::optional<std::string> TLMacPasteboard::stringForDataTypeAtIndex(const std::string& type, size_t index) {
    auto data = dataForDataTypeAtIndex(type, index);
    return data ? std::optional<std::string>(data->toString()) : std::nullopt;
}

void TLMacPasteboard::write(const std::vector<std::shared_ptr<TLPasteboardItem>>& items) {
    if (!pasteboard_) return;
    std::vector<desktop::PasteboardItem> out;
    for (const auto& item : items) {
        if (item) out.push_back(written(*item));
    }
    pasteboard_->clearContents();
    if (out.empty()) return;
    if (auto result = pasteboard_->writeItems(out); !result)
        TLLogWarning(TLLogContextPasteboard, "Pasteboard not written: %@", result.error().description());
}

void TLMacPasteboard::copyPasteboardItems(const std::vector<std::shared_ptr<TLPasteboardItem>>& items) { write(items); }

void TLMacPasteboard::addItems(const std::vector<std::shared_ptr<TLPasteboardItem>>& items) {
    std::vector<std::shared_ptr<TLPasteboardItem>> all = pasteboardItems();
    for (const auto& item : items) {
        if (item) all.push_back(item);
    }
    write(all);
}
