#pragma once
// TLPasteboard over a desktop pasteboard: the clipboard for
// generalPasteboard(), or any other a caller hands in with setPasteboard() (the
// browser wraps a drag's pasteboard this way). Used on the thread its
// pasteboard allows: the main thread for the clipboard.
//
// The item count, the saved check and the type questions never read the
// whole content (see desktop::Pasteboard::itemCount): the status menu asks
// them each time it opens, whatever another program holds.
//
// Items read from it are copies: they stay readable after the pasteboard
// changes, which is what addItems relies on to write the earlier items back.

#include <memory>

#include "kit/TLPasteboard.h"

namespace desktop {
class ClipboardReader;
}

class TLMacPasteboard : public TLPasteboard {
public:
    // The one TLMacPasteboard over the desktop clipboard, made on first use
    // (on the main thread, once Qt's application object exists; without one,
    // as in tools and tests, it holds a pasteboard in memory instead).
    static std::shared_ptr<TLMacPasteboard> generalPasteboard();
    // The reader of the clipboard's content off the main thread, chosen with
    // the general pasteboard: one on X11, none elsewhere (the pasteboard is
    // then read where it is asked).
    static std::shared_ptr<desktop::ClipboardReader> generalClipboardReader();

    int64_t changeCount() override;
    std::vector<std::string> types() override;
    std::vector<std::string> supportedTypes() override;
    bool isSupported() override { return true; }
    // Whether the pasteboard holds what this program wrote: an item carries
    // the private type, or the count is the one stored after our last write.
    bool isSaved() override;
    size_t numberOfPasteboardItems() override;
    std::vector<std::shared_ptr<TLPasteboardItem>> pasteboardItems() override;
    std::shared_ptr<TLPasteboardItem> pasteboardItemAtIndex(size_t index) override;
    std::vector<std::string> pasteboardItemIDs() override { return {}; }
    bool containsDataType(const std::string& type) override;
    std::optional<foundation::Data> dataForDataType(const std::string& type) override;
    std::optional<foundation::Data> dataForDataTypeAtIndex(const std::string& type, size_t index) override;
    std::optional<std::string> stringForDataType(const std::string& type) override;
    std::optional<std::string> stringForDataTypeAtIndex(const std::string& type, size_t index) override;
    // Clears the pasteboard, then writes the items in order.
    void copyPasteboardItems(const std::vector<std::shared_ptr<TLPasteboardItem>>& items) override;
    // Writes the items now on the pasteboard followed by these.
    void addItems(const std::vector<std::shared_ptr<TLPasteboardItem>>& items) override;

private:
    std::vector<desktop::PasteboardItem> currentItems();
    void write(const std::vector<std::shared_ptr<TLPasteboardItem>>& items);
};
