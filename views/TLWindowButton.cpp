#include "TLWindowButton.h"

#include <QPainter>
#include <QPainterPath>

namespace {

QColor discColor(TLWindowButton::Kind kind) {
    switch (kind) {
    case TLWindowButton::Kind::Close: return QColor(0xEE, 0x5A, 0x52);
    case TLWindowButton::Kind::Miniaturize: return QColor(0xF3, 0xB5, 0x3F);
    case TLWindowButton::Kind::Zoom: return QColor(0x5E, 0xBF, 0x4A);
    }
    return {};
}

// The three buttons show their signs together, as one group under the pointer.
void setGroupShowsSign(QWidget* parent, bool shows) {
    if (!parent) return;
    for (auto* button : parent->findChildren<TLWindowButton*>(QString(), Qt::FindDirectChildrenOnly))
        button->setShowsSign(shows);
}

}  // namespace

QRect TLWindowButton::frameForKind(Kind kind) {
    return QRect(QPoint(7 + 20 * static_cast<int>(kind), 3), kSize);
}

TLWindowButton::TLWindowButton(Kind kind, QWidget* parent) : QAbstractButton(parent), kind_(kind) {
    static const char* const names[] = {"closeButton", "miniaturizeButton", "zoomButton"};
    static const char* const tips[] = {"Close", "Minimize", "Zoom"};
    setObjectName(QString::fromLatin1(names[static_cast<int>(kind)]));
    setToolTip(QString::fromLatin1(tips[static_cast<int>(kind)]));
    setAccessibleName(toolTip());
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
    setGeometry(frameForKind(kind));
}

void TLWindowButton::setShowsSign(bool shows) {
    if (showsSign_ == shows) return;
    showsSign_ = shows;
    update();
}

void TLWindowButton::enterEvent(QEnterEvent* event) {
    setGroupShowsSign(parentWidget(), true);
    QAbstractButton::enterEvent(event);
}

void TLWindowButton::leaveEvent(QEvent* event) {
    setGroupShowsSign(parentWidget(), false);
    QAbstractButton::leaveEvent(event);
}

void TLWindowButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QRectF disc = discInFrame(QRectF(rect()));
    QColor fill = discColor(kind_);
    if (isDown()) fill = fill.darker(125);
    painter.setPen(QPen(fill.darker(115), 0.5));
    painter.setBrush(fill);
    painter.drawEllipse(disc.adjusted(0.25, 0.25, -0.25, -0.25));
    if (!showsSign_) return;
    QPen sign(QColor(0, 0, 0, 150), 1.2, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(sign);
    QPointF c = disc.center();
    const double r = 2.8;
    switch (kind_) {
    case Kind::Close:
        painter.drawLine(c + QPointF(-r, -r), c + QPointF(r, r));
        painter.drawLine(c + QPointF(-r, r), c + QPointF(r, -r));
        break;
    case Kind::Miniaturize: painter.drawLine(c + QPointF(-r - 0.5, 0), c + QPointF(r + 0.5, 0)); break;
    case Kind::Zoom:
        painter.drawLine(c + QPointF(-r - 0.5, 0), c + QPointF(r + 0.5, 0));
        painter.drawLine(c + QPointF(0, -r - 0.5), c + QPointF(0, r + 0.5));
        break;
    }
}
