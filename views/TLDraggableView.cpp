#include "TLDraggableView.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

#include "kit/TLUserDefaultsKeys.h"
#include "platform/foundation/UserDefaults.h"

TLDraggableView::TLDraggableView(QWidget* parent) : TLView(parent) {}

QPoint TLDraggableView::initialLocationForPointer(const QWidget& view, const QPoint& globalPointer) {
    return globalPointer - view.window()->pos();
}

bool TLDraggableView::dragWindow(QWidget& view, const QPoint& globalPointer, const QPoint& initialLocation) {
    if (!foundation::UserDefaults::applicationGroup()->boolForKey(TLUserDefaultsWindowIsDetached)) return false;
    QWidget* window = view.window();
    QPoint origin = globalPointer - initialLocation;
    QScreen* screen = QGuiApplication::screenAt(globalPointer);
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) {
        // The view's top on the screen once moved: the window's frame, any
        // title bar the window manager adds, and the view's place in the window.
        int viewTop = origin.y() + (window->geometry().y() - window->pos().y()) + view.mapTo(window, QPoint(0, 0)).y();
        int screenTop = screen->geometry().y();
        if (viewTop < screenTop) origin.ry() += screenTop - viewTop;
    }
    window->move(origin);
    return true;
}

void TLDraggableView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        TLView::mousePressEvent(event);
        return;
    }
    initialLocation_ = initialLocationForPointer(*this, event->globalPosition().toPoint());
    event->accept();
}

void TLDraggableView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) {
        TLView::mouseMoveEvent(event);
        return;
    }
    dragWindow(*this, event->globalPosition().toPoint(), initialLocation_);
    event->accept();
}
