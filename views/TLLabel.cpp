#include "TLLabel.h"

#include <QPainter>

TLLabel::TLLabel(QWidget* parent) : TLView(parent) {}

void TLLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    update();
}

void TLLabel::drawRect(QPainter& painter, const QRect& dirtyRect) {
    TLView::drawRect(painter, dirtyRect);
    if (!font_) {
        QFont system;
        system.setPixelSize(kDefaultFontPixelSize);
        font_ = system;
    }
    if (!textColor_.isValid()) textColor_ = Qt::black;
    painter.setFont(*font_);
    painter.setPen(textColor_);
    painter.drawText(rect(), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, text_);
}
