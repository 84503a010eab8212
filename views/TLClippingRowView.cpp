#include "TLClippingRowView.h"

#include <QPainter>

#include "TLClippingCellView.h"
#include "kit/NSColorTavloColors.h"

namespace {
QColor white(double level) { return QColor::fromRgbF(level, level, level, 1.0); }
}

void TLClippingRowView::setSelected(bool selected) {
    selected_ = selected;
    if (cellView_) cellView_->setSelected(selected);
}

void TLClippingRowView::draw(QPainter& painter, const QRectF& dirtyRect) {
    if (selected_)
        drawSelectionInRect(painter, dirtyRect);
    else
        drawBackgroundInRect(painter, dirtyRect);
}

void TLClippingRowView::drawBackgroundInRect(QPainter& painter, const QRectF& dirtyRect) {
    painter.fillRect(dirtyRect, darkMode_ ? NSColorTavloColors::darkClippingsViewBackgroundColor()
                                          : NSColorTavloColors::lightClippingsViewBackgroundColor());
    drawSeparator(painter, darkMode_ ? white(0.25) : white(0.85));
}

void TLClippingRowView::drawSelectionInRect(QPainter& painter, const QRectF& dirtyRect) {
    painter.fillRect(dirtyRect, darkMode_ ? QColor::fromRgbF(0.3, 0.3, 0.3, 1.0) : white(0.925));
    drawSeparator(painter, darkMode_ ? white(0.2) : white(0.85));
}

void TLClippingRowView::drawSeparator(QPainter& painter, const QColor& color) {
    // A one-pixel line along the row's last pixel row (its centre half a pixel
    // above the bottom edge).
    QRectF b = bounds();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(QRectF(0, b.height() - 1, b.width(), 1), color);
    painter.restore();
}
