#include "platform/desktop/DragPasteboard.h"

#include <QMimeData>

#include "platform/desktop/LogSink.h"
#include "platform/desktop/MimeDataCodec.h"
#include "platform/desktop/PasteboardTypeMap.h"

namespace desktop {

DragPasteboard::DragPasteboard() : changeCount_(seedChangeCount()) {}

std::unique_ptr<DragPasteboard> DragPasteboard::fromDrop(const QMimeData& data, ReadLimits limits) {
    auto pasteboard = std::make_unique<DragPasteboard>();
    std::vector<std::string> skipped;
    pasteboard->items_ = MimeDataCodec::read(data, limits, skipped);
    if (!skipped.empty())
        DESKTOP_LOG_NOTE(LogTopic::Pasteboard,
                         "Dropped content left out: " + PasteboardTypeMap::joinedNotes(skipped));
    return pasteboard;
}

std::unique_ptr<QMimeData> DragPasteboard::makeMimeData() {
    auto data = std::make_unique<QMimeData>();
    MimeDataCodec::write(*data, items_);
    return data;
}

int64_t DragPasteboard::changeCount() { return changeCount_; }

std::vector<PasteboardItem> DragPasteboard::items() { return items_; }

int64_t DragPasteboard::clearContents() {
    items_.clear();
    ownsContent_ = true;
    return ++changeCount_;
}

foundation::Result<void> DragPasteboard::writeItems(const std::vector<PasteboardItem>& items) {
    if (!ownsContent_) clearContents();
    items_.insert(items_.end(), items.begin(), items.end());
    return {};
}

}  // namespace desktop
