#pragma once
// The browser's window. It takes the keyboard, and while movable a press on
// its background (where no view takes the mouse) moves it: through the window
// manager when there is one, else by following the pointer. The edges given
// as resizable take a press too and resize the window up or down, never
// sideways: its width stays. Main queue only.
#include <QPoint>
#include <QRect>

#include <array>

#include "TLWindow.h"

class TLMenubarPanel : public TLWindow {
public:
    // How far into the window a resizable edge takes the pointer.
    static constexpr int kResizeEdgeThickness = 4;

    explicit TLMenubarPanel(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);
    static constexpr bool isMovableByWindowBackground() { return true; }

    bool isMovable() const { return movable_; }
    void setMovable(bool movable) { movable_ = movable; }
    // Only the top and bottom edges count.
    Qt::Edges resizableEdges() const { return resizableEdges_; }
    void setResizableEdges(Qt::Edges edges);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void childEvent(QChildEvent* event) override;

private:
    void placeGrips();

    bool movable_ = true;
    bool following_ = false;
    QPoint grabOffset_;
    Qt::Edges resizableEdges_;
    std::array<QWidget*, 2> grips_{};  // top, bottom; owned by the panel
};
