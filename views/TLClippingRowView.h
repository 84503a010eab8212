#pragma once
// The row behind a clipping cell: the panel's background or, when selected,
// the selection fill, each with the separator line along the row's bottom, in
// the light or the dark palette. Selection goes on to the row's cell (column 0)
// as well. No widget: the table's item delegate paints it under the cell. Main
// queue only.
#include <QColor>
#include <QRectF>

class QPainter;
class TLClippingCellView;

class TLClippingRowView {
public:
    bool darkMode() const { return darkMode_; }
    void setDarkMode(bool dark) { darkMode_ = dark; }
    bool isSelected() const { return selected_; }
    // Stores the flag and hands it to the cell in column 0, when there is one.
    void setSelected(bool selected);

    // The row's cell (column 0); borrowed, the table owns both.
    TLClippingCellView* cellView() const { return cellView_; }
    void setCellView(TLClippingCellView* cell) { cellView_ = cell; }

    // The row's place in its table; its bounds are (0, 0, width, height).
    const QRectF& frame() const { return frame_; }
    void setFrame(const QRectF& frame) { frame_ = frame; }
    QRectF bounds() const { return QRectF(QPointF(0, 0), frame_.size()); }

    // Background or selection, as the row's state says.
    void draw(QPainter& painter, const QRectF& dirtyRect);
    void drawBackgroundInRect(QPainter& painter, const QRectF& dirtyRect);
    void drawSelectionInRect(QPainter& painter, const QRectF& dirtyRect);

private:
    void drawSeparator(QPainter& painter, const QColor& color);

    bool darkMode_ = false;
    bool selected_ = false;
    TLClippingCellView* cellView_ = nullptr;
    QRectF frame_;
};
