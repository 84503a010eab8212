#include "TLView.h"

#include <QPaintEvent>
#include <QPainter>

TLView::TLView(QWidget* parent) : QWidget(parent) {}

void TLView::setBackgroundColor(const QColor& color) {
    backgroundColor_ = color;
    update();
}

void TLView::setDrawBlock(DrawBlock block) {
    drawBlock_ = std::move(block);
    update();
}

void TLView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    drawRect(painter, event->rect());
}

void TLView::drawRect(QPainter& painter, const QRect& dirtyRect) {
    if (backgroundColor_.isValid() && backgroundColor_ != QColor(Qt::transparent))
        painter.fillRect(dirtyRect, backgroundColor_);
    if (drawBlock_) {
        painter.save();
        drawBlock_(*this, painter);
        painter.restore();
    }
}
