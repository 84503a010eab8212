#include "TLClippingsTableView.h"

#include <QContextMenuEvent>
#include <QDrag>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QHeaderView>
#include <QPainter>
#include <QPainterPath>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cmath>

#include "TLClippingCellView.h"
#include "TLClippingRowView.h"
#include "kit/TLUserDefaultsKeys.h"
#include "kit/TavloKit.h"
#include "platform/desktop/Menu.h"
#include "platform/foundation/NotificationCenter.h"

// Paints a row: its row view, then its cell, each in the row's own coordinates.
class TLClippingsTableView::Delegate : public QStyledItemDelegate {
public:
    explicit Delegate(TLClippingsTableView& table) : QStyledItemDelegate(&table), table_(table) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        TLClippingRowView* rowView = table_.rowViewAtRow(index.row(), true);
        TLClippingCellView* cell = table_.viewAtRow(index.row(), true);
        if (!rowView || !cell) return;
        QRectF frame = option.rect;
        QRectF bounds(QPointF(0, 0), frame.size());
        rowView->setFrame(frame);
        rowView->setCellView(cell);
        rowView->setSelected(option.state & QStyle::State_Selected);
        if (cell->frame() != frame) cell->setFrame(frame);
        painter->save();
        painter->translate(frame.topLeft());
        painter->setClipRect(bounds, Qt::IntersectClip);
        rowView->draw(*painter, bounds);
        cell->drawRect(*painter, bounds);
        painter->restore();
    }

private:
    TLClippingsTableView& table_;
};

TLClippingsTableView::TLClippingsTableView(QWidget* parent) : TLTableView(parent) {
    setItemDelegate(new Delegate(*this));
    setShowGrid(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
    ageTimer_.setSingleShot(true);
    QObject::connect(&ageTimer_, &QTimer::timeout, viewport(), [this] { viewport()->update(); });
}

TLClippingsTableView::~TLClippingsTableView() {
    for (auto& connection : modelConnections_) QObject::disconnect(connection);
}

void TLClippingsTableView::setModel(QAbstractItemModel* model) {
    for (auto& connection : modelConnections_) QObject::disconnect(connection);
    modelConnections_.clear();
    reloadData();
    TLTableView::setModel(model);
    if (!model) return;
    // Rows that move, come or go take other clippings: every cell is set again.
    auto reload = [this] { reloadData(); };
    modelConnections_ = {
        QObject::connect(model, &QAbstractItemModel::rowsInserted, this, reload),
        QObject::connect(model, &QAbstractItemModel::rowsRemoved, this, reload),
        QObject::connect(model, &QAbstractItemModel::rowsMoved, this, reload),
        QObject::connect(model, &QAbstractItemModel::modelReset, this, reload),
        QObject::connect(model, &QAbstractItemModel::layoutChanged, this, reload),
    };
}

TLClippingCellView* TLClippingsTableView::viewAtRow(int row, bool makeIfNecessary) {
    auto it = rows_.find(row);
    if (it != rows_.end() && it->second.cell) return it->second.cell.get();
    if (!makeIfNecessary || !model() || row < 0 || row >= model()->rowCount(rootIndex())) return nullptr;
    std::unique_ptr<TLClippingCellView> cell;
    if (!freeCells_.empty()) {
        cell = std::move(freeCells_.back());
        freeCells_.pop_back();
    } else {
        cell = std::make_unique<TLClippingCellView>();
    }
    TLClippingCellView* raw = cell.get();
    raw->setNeedsDisplayHandler(nullptr);  // configuring is no redisplay of an old row
    raw->setRow(row);
    raw->setFrame(QRectF(visualRect(model()->index(row, 0, rootIndex()))));
    if (configureCell_) configureCell_(*this, *raw, row);
    raw->setNeedsDisplayHandler([this, raw] { cellNeedsDisplay(raw); });
    rows_[row].cell = std::move(cell);
    return raw;
}

TLClippingRowView* TLClippingsTableView::rowViewAtRow(int row, bool makeIfNecessary) {
    auto it = rows_.find(row);
    if (it != rows_.end() && it->second.rowView) return it->second.rowView.get();
    if (!makeIfNecessary || !model() || row < 0 || row >= model()->rowCount(rootIndex())) return nullptr;
    auto rowView = makeRowView_ ? makeRowView_(*this, row) : nullptr;
    if (!rowView) rowView = std::make_unique<TLClippingRowView>();
    auto* raw = rowView.get();
    rows_[row].rowView = std::move(rowView);
    return raw;
}

void TLClippingsTableView::reloadData() {
    releaseRowsOutside(0, -1);
    viewport()->update();
}

void TLClippingsTableView::releaseRowsOutside(int first, int last) {
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (it->first >= first && it->first <= last) {
            ++it;
            continue;
        }
        if (it->second.cell) {
            it->second.cell->setNeedsDisplayHandler(nullptr);
            it->second.cell->setClipping(nullptr);
            it->second.cell->setClippingImage(QImage());
            freeCells_.push_back(std::move(it->second.cell));
        }
        it = rows_.erase(it);
    }
}

void TLClippingsTableView::cellNeedsDisplay(const TLClippingCellView* cell) {
    if (painting_ || !model()) return;
    for (const auto& [row, slot] : rows_)
        if (slot.cell.get() == cell) viewport()->update(visualRect(model()->index(row, 0, rootIndex())));
}

void TLClippingsTableView::paintEvent(QPaintEvent* event) {
    // Rows two screens away give their cells back for the rows coming into view.
    if (model()) {
        int height = viewport()->height();
        int first = rowAt(0), last = rowAt(height - 1);
        if (first < 0) first = 0;
        if (last < 0) last = model()->rowCount(rootIndex()) - 1;
        int margin = std::max(1, last - first + 1);
        releaseRowsOutside(first - margin, last + margin);
    }
    painting_ = true;
    TLTableView::paintEvent(event);
    painting_ = false;
    scheduleAgeRefresh();
}

std::optional<double> TLClippingsTableView::ageRefreshInterval() const {
    if (!ageTimer_.isActive()) return std::nullopt;
    return ageTimer_.interval() / 1000.0;
}

void TLClippingsTableView::scheduleAgeRefresh() {
    std::optional<double> earliest;
    QRect visible = viewport()->rect();
    for (const auto& [row, slot] : rows_) {
        if (!slot.cell || !slot.cell->nextTickInterval()) continue;
        if (!visible.intersects(slot.cell->frame().toAlignedRect())) continue;
        double next = *slot.cell->nextTickInterval();
        if (!earliest || next < *earliest) earliest = next;
    }
    if (!earliest) {
        ageTimer_.stop();
        return;
    }
    int ms = static_cast<int>(std::lround(*earliest * 1000));
    if (ageTimer_.isActive() && ageTimer_.interval() == ms) return;  // a repaint before it fires keeps its beat
    ageTimer_.start(ms);
}

QString TLClippingsTableView::dragCountText(size_t rows) {
    return QStringLiteral("%1 clipping%2").arg(rows).arg(QStringLiteral("s"));
}

QPixmap TLClippingsTableView::dragImageForRows(std::vector<int> rows) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<QImage> pictures;
    float height = 0, width = 0;
    for (int row : rows) {
        TLClippingCellView* cell = viewAtRow(row, true);
        if (!cell) continue;
        QImage picture = cell->dragImage();
        if (picture.isNull()) continue;  // an empty row adds nothing
        height += float(picture.height()) - 8;
        width = float(picture.width());
        pictures.push_back(std::move(picture));
        if (pictures.size() == 3) break;
    }
    if (rows.size() > 1) height += 32;
    const float pictureWidth = std::round((width - 30) * 0.75f);
    const float pictureHeight = std::round(height * 0.75f);
    const int canvasWidth = static_cast<int>(pictureWidth) - 3;
    if (canvasWidth <= 0 || pictureHeight <= 0) return {};

    QImage canvas(canvasWidth, static_cast<int>(pictureHeight), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    bool dark = TavloKit::isDarkMode();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath background;
    background.addRoundedRect(QRectF(0, 0, canvas.width(), canvas.height()), 6, 6);
    painter.fillPath(background, dark ? QColor::fromRgbF(0.18, 0.19, 0.20, 1) : QColor::fromRgbF(1, 1, 1, 1));
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    double y = 0;
    for (const QImage& picture : pictures) {
        double shown = (picture.height() - 8) * 0.75;
        QRectF target = TLClippingCellView::integralRect(QRectF(0, y, pictureWidth, shown));
        painter.drawImage(target, picture, QRectF(30, 4, picture.width() - 30, picture.height() - 8));
        y += target.height();
        painter.fillRect(QRectF(0, y, pictureWidth, 1), QColor::fromRgbF(0, 0, 0, 0.1));
    }
    if (rows.size() > 1) {
        painter.setFont(TLClippingCellView::systemFont(10));
        painter.setPen(dark ? QColor::fromRgbF(1, 1, 1, 0.5) : QColor::fromRgbF(0, 0, 0, 0.5));
        painter.drawText(QRectF(0, pictureHeight - 6 - 12, pictureWidth, 12), Qt::AlignHCenter | Qt::AlignVCenter,
                         dragCountText(rows.size()));
    }
    painter.end();
    return QPixmap::fromImage(canvas);
}

void TLClippingsTableView::startDrag(Qt::DropActions supportedActions) {
    QModelIndexList indexes = selectionModel() ? selectionModel()->selectedRows() : QModelIndexList();
    if (indexes.isEmpty() || !model()) return;
    QMimeData* data = model()->mimeData(indexes);
    if (!data) return;
    std::vector<int> rows;
    for (const auto& index : indexes) rows.push_back(index.row());
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    QPixmap picture = dragImageForRows(rows);
    if (!picture.isNull()) {
        drag->setPixmap(picture);
        drag->setHotSpot(dragHotSpot());
    }
    drag->exec(supportedActions, Qt::CopyAction);
    // The drag took the button's release.
    finishPress(QGuiApplication::queryKeyboardModifiers());
}

int TLClippingsTableView::selectedRow() const {
    if (!selectionModel()) return -1;
    QModelIndex current = selectionModel()->currentIndex();
    if (current.isValid() && selectionModel()->isRowSelected(current.row(), rootIndex())) return current.row();
    QModelIndexList rows = selectionModel()->selectedRows();
    int last = -1;
    for (const auto& index : rows) last = std::max(last, index.row());
    return last;
}

std::shared_ptr<desktop::Menu> TLClippingsTableView::menuForEventAt(const QPoint& pos) {
    int row = rowAt(pos.y());
    if (row < 0 || !model() || !selectionModel()) return nullptr;
    if (!selectionModel()->isRowSelected(row, rootIndex())) {
        QModelIndex index = model()->index(row, 0, rootIndex());
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    return menu_;
}

void TLClippingsTableView::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    // Mouse events reach the table through its viewport, in the viewport's coordinates.
    if (auto menu = menuForEventAt(event->pos())) menu->popUp(event->globalPos());
}

void TLClippingsTableView::mousePressEvent(QMouseEvent* event) {
    // The right button's selection is the menu's (below the rows it keeps the selection).
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    if (event->button() == Qt::LeftButton) pressed_ = true;
    TLTableView::mousePressEvent(event);
}

void TLClippingsTableView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    TLTableView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) finishPress(event->modifiers());
}

void TLClippingsTableView::finishPress(Qt::KeyboardModifiers modifiers) {
    if (!pressed_) return;
    pressed_ = false;
    constexpr Qt::KeyboardModifiers kDeviceIndependent =
        Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    if ((modifiers & kDeviceIndependent) == Qt::AltModifier && mouseEventDelegate_ &&
        mouseEventDelegate_->implementsTableViewOptionClickedRow())
        mouseEventDelegate_->tableViewOptionClickedRow(*this, selectedRow());
    foundation::NotificationCenter::defaultCenter().post(TLClippingTableViewEndDraggingNotification);
    if (mouseEventDelegate_ && mouseEventDelegate_->implementsTableViewDidFinishDragging())
        mouseEventDelegate_->tableViewDidFinishDragging(*this, selectedRow());
}
