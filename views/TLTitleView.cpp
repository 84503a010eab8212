#include "TLTitleView.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "TLDraggableView.h"
#include "platform/desktop/KeyEvent.h"

namespace {

constexpr double kTitleX = 14;
constexpr double kTitleInset = 32;     // the title's box is the view's width less this
constexpr double kTitleMaxInset = 40;  // its drawn width at most the view's width less this
constexpr int kChooserGap = 20;

}  // namespace

TLTitleView::TLTitleView(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::ClickFocus);
}

void TLTitleView::setTitle(const QString& title) {
    if (title == title_) return;
    title_ = title;
    update();
}

void TLTitleView::setIcon(const QImage& icon) {
    if (icon.isNull() && icon_.isNull()) return;
    icon_ = icon;
    update();
}

double TLTitleView::titleX() const {
    return kTitleX + (icon_.isNull() ? 0 : kIconSize + kIconGap);
}

void TLTitleView::setDarkMode(bool darkMode) {
    darkMode_ = darkMode;
    update();
}

QFont TLTitleView::titleFont() const {
    QFont font = this->font();
    font.setPixelSize(kTitleFontPixelSize);
    font.setWeight(QFont::Normal);
    return font;
}

double TLTitleView::drawnTitleWidth() const {
    if (title_.isEmpty()) return 0;
    double width = QFontMetricsF(titleFont()).horizontalAdvance(title_);
    return std::min(width, this->width() - kTitleMaxInset - (titleX() - kTitleX));
}

int TLTitleView::chooserMarkX() const {
    return static_cast<int>(std::round(static_cast<float>(drawnTitleWidth()))) + kChooserGap +
           static_cast<int>(titleX() - kTitleX);
}

void TLTitleView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor titleColor = darkMode_ ? QColor::fromRgbF(1, 1, 1, 1) : QColor::fromRgbF(0.25f, 0.25f, 0.25f, 1);
    QColor arrowColor = darkMode_ ? QColor::fromRgbF(1, 1, 1, 0.5f) : QColor::fromRgbF(0, 0, 0, 0.25f);
    if (!icon_.isNull()) {
        // The icon's alpha in the title's colour, centred on the title's line.
        QImage tinted = icon_.scaled(kIconSize, kIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                            .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QPainter tint(&tinted);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(tinted.rect(), titleColor);
        tint.end();
        painter.drawImage(QPointF(kTitleX, std::round((height() - tinted.height()) / 2.0)), tinted);
    }
    if (!title_.isEmpty()) {
        QFont font = titleFont();
        QFontMetricsF metrics(font);
        double boxWidth = std::max(0.0, width() - kTitleInset - (titleX() - kTitleX));
        double height = metrics.height();
        painter.setFont(font);
        painter.setPen(titleColor);
        QRectF box(titleX(), (this->height() - height) / 2, boxWidth, height);
        painter.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                         metrics.elidedText(title_, Qt::ElideRight, boxWidth));
    }
    const double x0 = chooserMarkX();
    const double half = std::round(static_cast<float>(height() / 2.0));
    const double y1 = half + 1;
    const double y2 = half - 5;
    QPainterPath marks;
    marks.moveTo(x0, y1);
    marks.lineTo(x0 + 8, y1);
    marks.lineTo(x0 + 4, y1 + 4);
    marks.closeSubpath();
    marks.moveTo(x0, y2 + 4);
    marks.lineTo(x0 + 8, y2 + 4);
    marks.lineTo(x0 + 4, y2);
    marks.closeSubpath();
    painter.fillPath(marks, arrowColor);
}

void TLTitleView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        if (rightClickAction_) rightClickAction_();
        update();
        event->accept();
        return;
    }
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    initialLocation_ = TLDraggableView::initialLocationForPointer(*this, event->globalPosition().toPoint());
    dragged_ = false;
    event->accept();
}

void TLTitleView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    TLDraggableView::dragWindow(*this, event->globalPosition().toPoint(), initialLocation_);
    dragged_ = true;
    event->accept();
}

void TLTitleView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        update();
        event->accept();
        return;
    }
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    if (!dragged_ && rect().contains(event->position().toPoint()) && clickAction_) clickAction_();
}

void TLTitleView::keyPressEvent(QKeyEvent* event) {
    if (desktop::KeyEvent::fromQKeyEvent(*event).character() == u'z' && clickAction_) clickAction_();
    QWidget::keyPressEvent(event);
}
