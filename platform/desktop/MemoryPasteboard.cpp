#include "platform/desktop/MemoryPasteboard.h"

namespace desktop {

MemoryPasteboard::MemoryPasteboard() : changeCount_(seedChangeCount()) {}

MemoryPasteboard::MemoryPasteboard(int64_t changeCount, std::vector<PasteboardItem> items)
    : changeCount_(changeCount), items_(std::move(items)) {}

std::shared_ptr<MemoryPasteboard> MemoryPasteboard::snapshotOf(Pasteboard& source) {
    // The count before the items: should the content change between the two
    // reads, the snapshot carries the older count, and the next look at the
    // source takes the change as new instead of as already seen.
    int64_t before = source.changeCount();
    std::vector<PasteboardItem> items = source.items();
    return std::make_shared<MemoryPasteboard>(before, std::move(items));
}

void MemoryPasteboard::externalWrite(std::vector<PasteboardItem> items) {
    std::lock_guard lock(mutex_);
    ++changeCount_;
    items_ = std::move(items);
    ownsContent_ = false;
}

int64_t MemoryPasteboard::changeCount() {
    std::lock_guard lock(mutex_);
    return changeCount_;
}

std::vector<PasteboardItem> MemoryPasteboard::items() {
    std::lock_guard lock(mutex_);
    return items_;
}

int64_t MemoryPasteboard::clearContents() {
    std::lock_guard lock(mutex_);
    items_.clear();
    ownsContent_ = true;
    return ++changeCount_;
}

foundation::Result<void> MemoryPasteboard::writeItems(const std::vector<PasteboardItem>& items) {
    std::lock_guard lock(mutex_);
    if (!ownsContent_) {
        items_.clear();
        ownsContent_ = true;
        ++changeCount_;
    }
    items_.insert(items_.end(), items.begin(), items.end());
    return {};
}

}  // namespace desktop
