#include "TLMenubarPanel.h"

#include <QChildEvent>
#include <QMouseEvent>
#include <QWindow>

#include <algorithm>

namespace {

// A strip along the top or bottom edge that resizes the window from there.
// The window manager does it when there is one; without, the strip follows
// the pointer itself. The width never changes.
class ResizeGrip : public QWidget {
public:
    ResizeGrip(QWidget* window, Qt::Edge edge) : QWidget(window), edge_(edge) {
        setObjectName(edge == Qt::TopEdge ? QStringLiteral("topResizeEdge") : QStringLiteral("bottomResizeEdge"));
        setCursor(Qt::SizeVerCursor);
        setAttribute(Qt::WA_NoSystemBackground);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
        event->accept();
        QWidget* top = window();
        following_ = !(top->windowHandle() && top->windowHandle()->startSystemResize(edge_));
        pressedAt_ = event->globalPosition().toPoint();
        startFrame_ = top->geometry();
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (!following_ || !(event->buttons() & Qt::LeftButton)) return QWidget::mouseMoveEvent(event);
        event->accept();
        int dy = event->globalPosition().toPoint().y() - pressedAt_.y();
        QRect frame = startFrame_;
        if (edge_ == Qt::TopEdge) frame.setTop(std::min(frame.top() + dy, frame.bottom()));
        else frame.setBottom(std::max(frame.bottom() + dy, frame.top()));
        window()->setGeometry(frame);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) following_ = false;
        QWidget::mouseReleaseEvent(event);
    }

private:
    Qt::Edge edge_;
    bool following_ = false;
    QPoint pressedAt_;
    QRect startFrame_;
};

}  // namespace

TLMenubarPanel::TLMenubarPanel(QWidget* parent, Qt::WindowFlags flags) : TLWindow(parent, flags) {}

void TLMenubarPanel::setResizableEdges(Qt::Edges edges) {
    resizableEdges_ = edges & (Qt::TopEdge | Qt::BottomEdge);
    const Qt::Edge sides[2] = {Qt::TopEdge, Qt::BottomEdge};
    for (size_t i = 0; i < grips_.size(); ++i) {
        bool wanted = resizableEdges_.testFlag(sides[i]);
        if (wanted && !grips_[i]) grips_[i] = new ResizeGrip(this, sides[i]);
        if (grips_[i]) grips_[i]->setVisible(wanted);
    }
    placeGrips();
}

void TLMenubarPanel::placeGrips() {
    if (grips_[0]) grips_[0]->setGeometry(0, 0, width(), kResizeEdgeThickness);
    if (grips_[1]) grips_[1]->setGeometry(0, height() - kResizeEdgeThickness, width(), kResizeEdgeThickness);
    for (QWidget* grip : grips_)
        if (grip) grip->raise();
}

void TLMenubarPanel::resizeEvent(QResizeEvent* event) {
    TLWindow::resizeEvent(event);
    placeGrips();
}

void TLMenubarPanel::childEvent(QChildEvent* event) {
    TLWindow::childEvent(event);
    // Views added later go below the edges, which keep the pointer.
    if (event->added() && event->child()->isWidgetType()) placeGrips();
}

void TLMenubarPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !movable_) {
        TLWindow::mousePressEvent(event);
        return;
    }
    event->accept();
    // The window manager moves the window smoothly and keeps it where it may go.
    following_ = !(windowHandle() && windowHandle()->startSystemMove());
    grabOffset_ = event->globalPosition().toPoint() - pos();
}

void TLMenubarPanel::mouseMoveEvent(QMouseEvent* event) {
    if (!following_ || !(event->buttons() & Qt::LeftButton)) {
        TLWindow::mouseMoveEvent(event);
        return;
    }
    move(event->globalPosition().toPoint() - grabOffset_);
    event->accept();
}

void TLMenubarPanel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) following_ = false;
    TLWindow::mouseReleaseEvent(event);
}
