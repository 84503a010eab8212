#pragma once
// The data of a drag and drop: a pasteboard a drag writes its items into and
// then hands to Qt as QMimeData, or one made from the data of a drop. Main
// thread only (QMimeData is Qt's).
//
// Its items live in memory; makeMimeData() offers them under the clipboard's
// type map, archive included, so a drop into this program gives back exactly
// the items dragged. Its change count counts clears, like any pasteboard's.

#include <memory>

#include "platform/desktop/Pasteboard.h"

class QMimeData;

namespace desktop {

class DragPasteboard final : public Pasteboard {
public:
    // Empty, for a drag to write into.
    DragPasteboard();
    // The items of a drop's data (read now; representations over the limits
    // are left out and logged).
    static std::unique_ptr<DragPasteboard> fromDrop(const QMimeData& data, ReadLimits limits = {});

    // The items written so far, for QDrag::setMimeData().
    std::unique_ptr<QMimeData> makeMimeData();

    int64_t changeCount() override;
    std::vector<PasteboardItem> items() override;
    int64_t clearContents() override;
    foundation::Result<void> writeItems(const std::vector<PasteboardItem>& items) override;

private:
    int64_t changeCount_;
    std::vector<PasteboardItem> items_;
    bool ownsContent_ = false;
};

}  // namespace desktop
