#pragma once
// A pasteboard held in memory. Any thread.
//
// Tests use it in place of the desktop clipboard, and the capture works from
// one: snapshotOf() copies another pasteboard's count and items at one moment,
// so writing the asset files later, on another queue, reads exactly the
// content that was judged, however the clipboard changed meanwhile.

#include <memory>
#include <mutex>

#include "platform/desktop/Pasteboard.h"

namespace desktop {

class MemoryPasteboard final : public Pasteboard {
public:
    // Empty, with a count started from the clock.
    MemoryPasteboard();
    MemoryPasteboard(int64_t changeCount, std::vector<PasteboardItem> items);

    // A copy of source as it is now (read on source's thread).
    static std::shared_ptr<MemoryPasteboard> snapshotOf(Pasteboard& source);

    // Another program replaces the content: one change.
    void externalWrite(std::vector<PasteboardItem> items);

    int64_t changeCount() override;
    std::vector<PasteboardItem> items() override;
    int64_t clearContents() override;
    foundation::Result<void> writeItems(const std::vector<PasteboardItem>& items) override;

private:
    std::mutex mutex_;
    int64_t changeCount_;
    std::vector<PasteboardItem> items_;
    // Whether this process wrote the content (its writes append after its clear).
    bool ownsContent_ = false;
};

}  // namespace desktop
