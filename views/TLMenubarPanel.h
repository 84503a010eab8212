#pragma once
// The browser's window. It takes the keyboard, and a press on its background
// (where no view takes the mouse) moves it: through the window manager when
// there is one, else by following the pointer. Main queue only.
#include <QPoint>

#include "TLWindow.h"

class TLMenubarPanel : public TLWindow {
public:
    explicit TLMenubarPanel(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);
    static constexpr bool isMovableByWindowBackground() { return true; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool following_ = false;
    QPoint grabOffset_;
};
