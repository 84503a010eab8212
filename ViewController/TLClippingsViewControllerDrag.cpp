// The clippings panel's drag and drop: rows dragged out to other programs
// carry the clippings as a copy would, and rows dropped between the rows of a
// list move there.
#include "TLClippingsViewController.h"

#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>

#include <algorithm>
#include <unordered_set>

#include "kit/Clipping.h"
#include "kit/NSDateCloudKit.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/desktop/DragPasteboard.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/store/Context.h"

std::unique_ptr<QMimeData> TLClippingsViewController::writeRowsForDrag(const std::vector<int>& rows) {
    flags_ = 0;
    if (rows.empty()) return nullptr;
    if (rows.size() > size_t(kMostDraggedRows)) {
        beep();
        return nullptr;
    }
    // A drag of rows outside the selection drags those rows alone.
    std::vector<int> selected;
    for (const auto& index : tableView_->selectionModel()->selectedRows()) selected.push_back(index.row());
    const bool holdsSelection = !selected.empty() && std::all_of(selected.begin(), selected.end(), [&](int row) {
        return std::find(rows.begin(), rows.end(), row) != rows.end();
    });
    if (!holdsSelection) selectRows(rows);
    auto drag = std::make_shared<desktop::DragPasteboard>();
    auto pasteboard = std::make_shared<TLMacPasteboard>();
    pasteboard->setPasteboard(drag);
    // Remotely: a drag elsewhere is no copy of the user's, nothing moves.
    if (auto manager = pasteboardManager()) manager->copyClippings(selectedClippings_, std::nullopt, pasteboard, true);
    foundation::NotificationCenter::defaultCenter().post(TLClippingTableViewBeginDraggingNotification);
    return drag->makeMimeData();
}

int TLClippingsViewController::dropRowAt(const QPoint& position) const {
    const int rows = int(shownRows().size());
    const int row = tableView_->rowAt(position.y());
    if (row < 0 || row >= rows) return rows;  // below the rows: at the end
    // The edges of a row are between rows, as the table's own drops take them.
    const QRect rect = tableView_->visualRect(tableView_->model()->index(row, 0));
    const int margin = std::clamp(int(rect.height() / 5.5), 2, 12);
    if (position.y() - rect.top() < margin) return row;
    if (rect.bottom() - position.y() < margin) return row + 1;
    return -1;  // onto the row
}

bool TLClippingsViewController::validateDrop(const QObject* source, int row) const {
    // Only a list has an order of the user's; the matches of a search are not
    // the whole list, so numbering them would scramble it.
    return source == tableView_ && list_ && !isSearching_ && !searchString_ && row >= 0;
}

bool TLClippingsViewController::acceptDrop(int row) {
    if (!list_ || isSearching_ || searchString_ || selectedClippings_.empty()) return false;
    manualUpdate_ = true;
    std::vector<std::shared_ptr<Clipping>> order = shownRows();
    std::vector<std::shared_ptr<Clipping>> current = order;
    std::unordered_set<const Clipping*> moving;
    for (const auto& clipping : selectedClippings_) moving.insert(clipping.get());
    // The selection goes, as one block, before the first row at or after the
    // drop that stays; with none, to the end.
    std::shared_ptr<Clipping> anchor;
    for (size_t i = size_t(std::max(row, 0)); i < order.size() && !anchor; ++i)
        if (!moving.count(order[i].get())) anchor = order[i];
    std::erase_if(order, [&](const std::shared_ptr<Clipping>& c) { return moving.count(c.get()) > 0; });
    auto at = anchor ? std::find(order.begin(), order.end(), anchor) : order.end();
    std::vector<std::shared_ptr<Clipping>> block;
    for (const auto& clipping : selectedClippings_)
        if (std::find(current.begin(), current.end(), clipping) != current.end()) block.push_back(clipping);
    order.insert(at, block.begin(), block.end());

    const foundation::Date now = NSDateCloudKit::currentServerDate();
    for (size_t i = 0; i < order.size(); ++i) {
        const auto& clipping = order[i];
        auto from = std::find(current.begin(), current.end(), clipping);
        if (from != current.end() && size_t(from - current.begin()) != i) {
            const int fromRow = int(from - current.begin());
            moveRow(fromRow, int(i));
            auto moved = *from;
            current.erase(from);
            current.insert(current.begin() + int(i), moved);
        }
        if (clipping->index() != int64_t(i)) {
            clipping->setIndex(int64_t(i));
            clipping->setSync(true);
            clipping->setModifiedDate(now);
        }
    }
    if (auto main = context()) {
        main->performBlockAndWait([&] {
            if (!main->hasChanges()) return;
            auto saved = configuration_.saveContext ? configuration_.saveContext(*main) : main->save();
            if (saved) return;
            beep();
            TLLogError(TLLogContextGeneral, "%@", saved.error().description());
        });
    }
    manualUpdate_ = false;
    return true;
}

void TLClippingsViewController::showDropIndicator(int row) {
    if (row < 0) {
        dropIndicator_->hide();
        return;
    }
    // The edge above the row, or below the last one.
    const int rows = int(shownRows().size());
    int y = 0;
    if (rows > 0) {
        const QRect rect = tableView_->visualRect(tableView_->model()->index(std::min(row, rows - 1), 0));
        y = row < rows ? rect.top() : rect.bottom() + 1;
    }
    dropIndicator_->setGeometry(0, std::max(0, y - 1), tableView_->viewport()->width(), 2);
    dropIndicator_->show();
    dropIndicator_->raise();
}

bool TLClippingsViewController::tableDropEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* move = static_cast<QDragMoveEvent*>(event);
        const int row = dropRowAt(move->position().toPoint());
        const bool taken = validateDrop(move->source(), row);
        // A drag refused where it enters would see no more moves: one this
        // table could take somewhere is let in, and each place is judged as
        // the drag moves over it.
        if (event->type() == QEvent::DragEnter && validateDrop(move->source(), 0)) move->acceptProposedAction();
        else if (taken) move->acceptProposedAction();
        else move->ignore();
        showDropIndicator(taken ? row : -1);
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        showDropIndicator(-1);
        const int row = dropRowAt(drop->position().toPoint());
        if (validateDrop(drop->source(), row) && acceptDrop(row)) drop->acceptProposedAction();
        else drop->ignore();
        return true;
    }
    case QEvent::DragLeave: showDropIndicator(-1); return true;
    default: return false;
    }
}
