#include "TLTitleBarButtonCell.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace {

constexpr double kImageOffsetX = 8;
constexpr double kImageOffsetY = 1;
constexpr double kTitleX = 15;
constexpr double kTitleInset = 40;
constexpr double kTitleHeight = 23;
constexpr double kTriangleFromRight = 20;
constexpr double kTriangleWidth = 10;
constexpr double kTriangleHeight = 6;

const TLTitleBarButtonCell::Style kStyle{9, QColor::fromRgbF(0.75f, 0.75f, 0.75f, 1), false,
                                         QColor::fromRgbF(0.8f, 0.8f, 0.8f, 1)};
const TLTitleBarButtonCell::Style kAltStyle{10, QColor::fromRgbF(0.8f, 0.8f, 0.8f, 1), true,
                                            QColor::fromRgbF(0.85f, 0.85f, 0.85f, 1)};

}  // namespace

TLTitleBarButtonCell::TLTitleBarButtonCell(QWidget* parent) : TLTitleBarButtonCell(kStyle, parent) {}

TLTitleBarButtonCell::TLTitleBarButtonCell(const Style& style, QWidget* parent) : QPushButton(parent), style_(style) {
    setFlat(true);
}

TLAltTitleBarButtonCell::TLAltTitleBarButtonCell(QWidget* parent) : TLTitleBarButtonCell(kAltStyle, parent) {}

void TLTitleBarButtonCell::drawImage(QPainter& painter, const QRectF& frame) const {
    if (icon().isNull()) return;
    QRectF target = frame.translated(kImageOffsetX, kImageOffsetY);
    icon().paint(&painter, target.toRect());
}

QRectF TLTitleBarButtonCell::drawTitle(QPainter& painter, const QRectF& frame) const {
    QRectF box(frame.x() + kTitleX, style_.titleY, std::max(0.0, frame.width() - kTitleInset), kTitleHeight);
    QFontMetricsF metrics(font());
    painter.setFont(font());
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                     metrics.elidedText(text(), Qt::ElideRight, box.width()));
    return box;
}

void TLTitleBarButtonCell::drawBezel(QPainter& painter, const QRectF& frame) const {
    const double x0 = frame.x() + frame.width() - kTriangleFromRight;
    const double ym = frame.y() + frame.height() / 2 - 2;
    QPainterPath triangle;
    if (style_.triangleUp) {
        triangle.moveTo(x0, ym + kTriangleHeight);
        triangle.lineTo(x0 + kTriangleWidth, ym + kTriangleHeight);
        triangle.lineTo(x0 + kTriangleWidth / 2, ym);
    } else {
        triangle.moveTo(x0, ym);
        triangle.lineTo(x0 + kTriangleWidth, ym);
        triangle.lineTo(x0 + kTriangleWidth / 2, ym + kTriangleHeight);
    }
    triangle.closeSubpath();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(triangle, style_.triangleColor);
    painter.restore();
    const double right = frame.x() + frame.width();
    painter.fillRect(QRectF(right - 1, frame.y(), 1, frame.height()), style_.separatorColor);
}

void TLTitleBarButtonCell::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QRectF frame = rect();
    drawBezel(painter, frame);
    // The image sits at the left, centred in height; the title starts after it.
    QSizeF imageSize = icon().isNull() ? QSizeF() : QSizeF(iconSize());
    drawImage(painter, QRectF(frame.x(), frame.y() + (frame.height() - imageSize.height()) / 2, imageSize.width(),
                              imageSize.height()));
    drawTitle(painter, frame.adjusted(imageSize.width(), 0, 0, 0));
}
