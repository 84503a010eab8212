#include "TLImageView.h"

#include <QPaintEvent>
#include <QPainter>

#include "NSImageExtras.h"

TLImageView::TLImageView(QWidget* parent) : QWidget(parent) {}

void TLImageView::setImage(const QImage& image) {
    image_ = image;
    update();
}

void TLImageView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (backgroundColor_.isValid() && backgroundColor_ != QColor(Qt::transparent))
        painter.fillRect(event->rect(), backgroundColor_);
    NSImageExtras::drawCenteredInRect(image_, painter, rect(), QPainter::CompositionMode_SourceOver, 1.0);
}
