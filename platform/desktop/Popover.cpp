#include "Popover.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace desktop {

namespace {

constexpr int kCornerRadius = 6;

std::vector<Popover*>& shownPopovers() {
    static std::vector<Popover*> popovers;
    return popovers;
}

Popover::Edge opposite(Popover::Edge edge) {
    switch (edge) {
    case Popover::Edge::MinX: return Popover::Edge::MaxX;
    case Popover::Edge::MaxX: return Popover::Edge::MinX;
    case Popover::Edge::MinY: return Popover::Edge::MaxY;
    case Popover::Edge::MaxY: break;
    }
    return Popover::Edge::MinY;
}

bool isHorizontal(Popover::Edge edge) {
    return edge == Popover::Edge::MinX || edge == Popover::Edge::MaxX;
}

}  // namespace

// The popover's window: the body with the content, the arrow on the side that
// faces the anchor, and the watch for presses outside.
class Popover::Frame : public QWidget {
public:
    explicit Frame(Popover* owner) : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint), owner(owner) {
        setObjectName(QStringLiteral("TLPopoverFrame"));
    }

    Popover* owner;
    QColor background;
    Edge edge = Edge::MaxY;
    int arrowAt = 0;  // the arrow's middle along the side it sits on

    QRect bodyRect() const {
        switch (edge) {
        case Edge::MaxY: return rect().adjusted(0, kArrowLength, 0, 0);
        case Edge::MinY: return rect().adjusted(0, 0, 0, -kArrowLength);
        case Edge::MaxX: return rect().adjusted(kArrowLength, 0, 0, 0);
        case Edge::MinX: break;
        }
        return rect().adjusted(0, 0, -kArrowLength, 0);
    }

    QPainterPath outline() const {
        QPainterPath path;
        path.addRoundedRect(QRectF(bodyRect()), kCornerRadius, kCornerRadius);
        QPolygonF arrow;
        const double half = kArrowWidth / 2.0;
        const double w = width(), h = height();
        switch (edge) {
        case Edge::MaxY: arrow << QPointF(arrowAt - half, kArrowLength) << QPointF(arrowAt, 0) << QPointF(arrowAt + half, kArrowLength); break;
        case Edge::MinY: arrow << QPointF(arrowAt - half, h - kArrowLength) << QPointF(arrowAt, h) << QPointF(arrowAt + half, h - kArrowLength); break;
        case Edge::MaxX: arrow << QPointF(kArrowLength, arrowAt - half) << QPointF(0, arrowAt) << QPointF(kArrowLength, arrowAt + half); break;
        case Edge::MinX: arrow << QPointF(w - kArrowLength, arrowAt - half) << QPointF(w, arrowAt) << QPointF(w - kArrowLength, arrowAt + half); break;
        }
        QPainterPath arrowPath;
        arrowPath.addPolygon(arrow);
        arrowPath.closeSubpath();
        return path.united(arrowPath);
    }

    void reshape() {
        // Without a compositing manager only a mask gives the window its shape.
        setMask(QRegion(outline().toFillPolygon().toPolygon()));
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = background.isValid() ? background : palette().color(QPalette::Window);
        painter.fillPath(outline(), fill);
        painter.setPen(QPen(palette().color(QPalette::Mid), 1));
        painter.drawPath(outline());
    }

    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && owner && owner->behavior_ == Behavior::Transient) {
            owner->performClose();
            return;
        }
        QWidget::keyPressEvent(event);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!owner || !owner->isShown() || owner->behavior_ != Behavior::Transient) return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::TabletPress:
        case QEvent::TouchBegin:
            if (watched->isWidgetType() && owner->isOutside(static_cast<QWidget*>(watched))) owner->performClose();
            break;
        case QEvent::ApplicationStateChange:
            if (QGuiApplication::applicationState() != Qt::ApplicationActive) owner->performClose();
            break;
        default: break;
        }
        return false;  // the press goes on to where it was aimed
    }
};

Popover::Popover() : frame_(std::make_unique<Frame>(this)) {}

Popover::~Popover() {
    std::erase(shownPopovers(), this);
    if (!QCoreApplication::instance()) {
        (void)frame_.release();  // no widget may be destroyed once the application is gone
        return;
    }
    qApp->removeEventFilter(frame_.get());
    frame_->owner = nullptr;
    // A popover is often let go from a press inside it (an alert's button): its
    // window goes once that press is done.
    Frame* frame = frame_.release();
    frame->hide();
    frame->deleteLater();
}

void Popover::setContentView(QWidget* content) {
    if (content_ && content_ != content) content_->deleteLater();
    content_ = content;
    if (!content) return;
    content->setParent(frame_.get());
    content->setGeometry(frame_->bodyRect());
    content->show();
}

QSize Popover::contentSize() const {
    if (contentSize_.isValid()) return contentSize_;
    return content_ ? content_->sizeHint().expandedTo(QSize(0, 0)) : QSize(0, 0);
}

void Popover::setContentSize(const QSize& size) {
    contentSize_ = size;
    if (isShown()) place();
}

void Popover::setBackgroundColor(const QColor& color) {
    frame_->background = color;
    frame_->update();
}

QWidget* Popover::window() const {
    return frame_.get();
}

bool Popover::isShown() const {
    return frame_->isVisible();
}

void Popover::showRelativeToRect(const QRect& rect, QWidget* view, Edge preferredEdge) {
    if (!view || !view->isVisible()) return;
    anchorView_ = view;
    anchorRect_ = rect;
    preferredEdge_ = preferredEdge;
    place();
    bool wasShown = isShown();
    frame_->show();
    frame_->raise();
    frame_->activateWindow();
    if (content_) content_->setFocus();
    if (wasShown) return;
    shownPopovers().push_back(this);
    qApp->installEventFilter(frame_.get());
    if (didShow_) didShow_(*this);
}

void Popover::place() {
    if (!anchorView_) return;
    QRect anchor(anchorView_->mapToGlobal(anchorRect_.topLeft()), anchorRect_.size());
    QSize body = contentSize();
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) screen = anchorView_->screen();
    QRect area = screen ? screen->availableGeometry() : QRect(anchor.center() - QPoint(5000, 5000), QSize(10000, 10000));

    auto frameFor = [&](Edge edge) {
        QSize size = isHorizontal(edge) ? QSize(body.width() + kArrowLength, body.height())
                                        : QSize(body.width(), body.height() + kArrowLength);
        QPoint origin;
        switch (edge) {
        case Edge::MaxY: origin = {anchor.center().x() - size.width() / 2, anchor.y() + anchor.height()}; break;
        case Edge::MinY: origin = {anchor.center().x() - size.width() / 2, anchor.y() - size.height()}; break;
        case Edge::MaxX: origin = {anchor.x() + anchor.width(), anchor.center().y() - size.height() / 2}; break;
        case Edge::MinX: origin = {anchor.x() - size.width(), anchor.center().y() - size.height() / 2}; break;
        }
        return QRect(origin, size);
    };
    auto room = [&](Edge edge) {
        QRect frame = frameFor(edge);
        switch (edge) {
        case Edge::MaxY: return area.y() + area.height() - frame.y() - frame.height();
        case Edge::MinY: return frame.y() - area.y();
        case Edge::MaxX: return area.x() + area.width() - frame.x() - frame.width();
        case Edge::MinX: break;
        }
        return frame.x() - area.x();
    };
    Edge edge = preferredEdge_;
    if (room(edge) < 0 && room(opposite(edge)) > room(edge)) edge = opposite(edge);
    QRect frame = frameFor(edge);
    // On the screen, the top left kept in view when the popover is larger than it.
    frame.moveLeft(std::max(area.x(), std::min(frame.x(), area.x() + area.width() - frame.width())));
    frame.moveTop(std::max(area.y(), std::min(frame.y(), area.y() + area.height() - frame.height())));

    shownEdge_ = edge;
    frame_->edge = edge;
    const int margin = kCornerRadius + kArrowWidth / 2;
    if (isHorizontal(edge)) {
        frame_->arrowAt = std::clamp(anchor.center().y() - frame.y(), margin, std::max(margin, frame.height() - margin));
    } else {
        frame_->arrowAt = std::clamp(anchor.center().x() - frame.x(), margin, std::max(margin, frame.width() - margin));
    }
    frame_->setGeometry(frame);
    if (content_) content_->setGeometry(frame_->bodyRect());
    frame_->reshape();
}

void Popover::performClose() {
    if (!isShown()) return;
    if (shouldClose_ && !shouldClose_(*this)) return;
    close();
}

void Popover::close() {
    if (!isShown()) return;
    qApp->removeEventFilter(frame_.get());
    std::erase(shownPopovers(), this);
    frame_->hide();
    if (didClose_) didClose_(*this);
}

bool Popover::isOutside(const QWidget* widget) const {
    const QWidget* window = widget->window();
    // Its own windows: the frame, and dialogs made on its content.
    for (const QWidget* w = window; w; w = w->parentWidget()) {
        if (w == frame_.get()) return false;
    }
    // Menus opened from it, and popovers shown over it (an alert's).
    if (window->windowType() == Qt::Popup) return false;
    return popoverForWidget(window) == nullptr;
}

Popover* Popover::popoverForWidget(const QWidget* widget) {
    if (!widget) return nullptr;
    const QWidget* window = widget->window();
    for (Popover* popover : shownPopovers()) {
        if (popover->frame_.get() == window) return popover;
    }
    return nullptr;
}

QWidget* Popover::alertContainer() {
    if (!content_) setContentView(new QWidget);
    return content_;
}

void Popover::alertDidShow(Alert& alert) {
    QWidget* panel = alert.widget();
    if (!panel || !content_) return;
    QSize fitting = contentSize().expandedTo(panel->sizeHint());
    contentSize_ = fitting;
    content_->resize(fitting);
    panel->setGeometry(QRect(QPoint(0, 0), fitting));
    if (isShown()) place();
}

}  // namespace desktop
