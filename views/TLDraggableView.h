#pragma once
// A view by which the detached window is dragged: pressing stores where the
// pointer sits in the window, and each move places the window there, only
// while the window is detached (the attached one hangs under its tray icon).
// The view never rises above the top of the screen under the pointer. Main
// queue only.
#include <QPoint>

#include "TLView.h"

class TLDraggableView : public TLView {
public:
    explicit TLDraggableView(QWidget* parent = nullptr);

    QPoint initialLocation() const { return initialLocation_; }

    // The pointer's place relative to view's window, from its place on the screen.
    static QPoint initialLocationForPointer(const QWidget& view, const QPoint& globalPointer);
    // Moves view's window so the pointer keeps its place in it, when the window
    // is detached; answers whether it moved.
    static bool dragWindow(QWidget& view, const QPoint& globalPointer, const QPoint& initialLocation);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QPoint initialLocation_;
};
