#pragma once
// A top-level window that takes the keyboard even without a frame (Qt gives
// frameless windows focus as any other). Main queue only.
#include <QWidget>

class TLWindow : public QWidget {
public:
    explicit TLWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window) : QWidget(parent, flags) {}
    static constexpr bool canBecomeKeyWindow() { return true; }
};
