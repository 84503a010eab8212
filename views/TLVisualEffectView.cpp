#include "TLVisualEffectView.h"

#include <QPaintEvent>
#include <QPainter>

#include "kit/NSColorTavloColors.h"
#include "kit/TavloKit.h"

TLVisualEffectView::TLVisualEffectView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TLVisualEffectView::setFillColor(const QColor& color) {
    fillColor_ = color;
    update();
}

void TLVisualEffectView::paintEvent(QPaintEvent* event) {
    QColor color = fillColor_;
    if (!color.isValid()) {
        color = TavloKit::isDarkMode() ? NSColorTavloColors::darkClippingsViewBackgroundColor()
                                       : NSColorTavloColors::lightClippingsViewBackgroundColor();
    }
    QPainter(this).fillRect(event->rect(), color);
}
