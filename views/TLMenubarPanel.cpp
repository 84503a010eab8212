#include "TLMenubarPanel.h"

#include <QMouseEvent>
#include <QWindow>

TLMenubarPanel::TLMenubarPanel(QWidget* parent, Qt::WindowFlags flags) : TLWindow(parent, flags) {}

void TLMenubarPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
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
