#pragma once
// The pasteboard as the kit uses it. The kit never talks to a desktop
// pasteboard directly: capture, copy-back, the browser's drags and menus all
// go through this interface over a desktop::Pasteboard (the clipboard, a drag,
// or one in memory). Used on the thread its pasteboard allows (the main thread
// for the clipboard).
//
// This base class is the abstract one: it answers 0, NO, nothing or does
// nothing, except for its support test and the pasteboard accessors.
// TLMacPasteboard gives the operations their meaning.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/TLPasteboardItem.h"
#include "platform/desktop/Pasteboard.h"
#include "platform/foundation/Data.h"

class TLPasteboard {
public:
    // The private type every item this program writes carries; its value is
    // the clipping identifier (empty for the joined text of several clippings).
    static constexpr const char* kClippingMetadataType = "com.tavlo.clipping-metadata";

    TLPasteboard() = default;
    virtual ~TLPasteboard();

    // Nothing in the base class.
    static std::shared_ptr<TLPasteboard> generalPasteboard() { return nullptr; }

    const std::shared_ptr<desktop::Pasteboard>& pasteboard() const { return pasteboard_; }
    void setPasteboard(std::shared_ptr<desktop::Pasteboard> pasteboard) { pasteboard_ = std::move(pasteboard); }

    virtual int64_t changeCount();
    virtual std::vector<std::string> types();
    virtual std::vector<std::string> supportedTypes();
    // Whether some item has one of the supported types and no item has a
    // marker type (concealed, transient, a file URL ...).
    virtual bool isSupported();
    virtual bool isSaved();
    virtual size_t numberOfPasteboardItems();
    virtual std::vector<std::shared_ptr<TLPasteboardItem>> pasteboardItems();
    virtual std::shared_ptr<TLPasteboardItem> pasteboardItemAtIndex(size_t index);
    virtual std::vector<std::string> pasteboardItemIDs();
    virtual bool containsDataType(const std::string& type);
    virtual std::optional<foundation::Data> dataForDataType(const std::string& type);
    virtual std::optional<foundation::Data> dataForDataTypeAtIndex(const std::string& type, size_t index);
    virtual std::optional<std::string> stringForDataType(const std::string& type);
    virtual std::optional<std::string> stringForDataTypeAtIndex(const std::string& type, size_t index);
    virtual void copyPasteboardItems(const std::vector<std::shared_ptr<TLPasteboardItem>>& items);
    virtual void addItems(const std::vector<std::shared_ptr<TLPasteboardItem>>& items);

    // The types whose presence makes content unsupported, in order.
    static const std::vector<std::string>& markerTypes();

protected:
    std::shared_ptr<desktop::Pasteboard> pasteboard_;
};
