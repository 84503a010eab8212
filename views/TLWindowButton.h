#pragma once
// One of the detached window's three buttons (close, minimise, zoom), drawn
// by us because the window has no frame for the window manager to draw them
// in: a 12-px disc in its colour, with its sign while the pointer is over any
// of the three. The button's frame is the standard 14 × 16; the disc is that
// frame inset by 1 across and 2 down, where the window's mask has its hole.
// Main queue only.
#include <QAbstractButton>

class TLWindowButton : public QAbstractButton {
public:
    enum class Kind { Close, Miniaturize, Zoom };

    static constexpr QSize kSize{14, 16};
    // The frame of the button of kind in the window: 7 px from the left edge,
    // then every 20 px, 3 px from the top.
    static QRect frameForKind(Kind kind);
    // The disc within a button frame.
    static QRectF discInFrame(const QRectF& frame) { return frame.adjusted(1, 2, -1, -2); }

    TLWindowButton(Kind kind, QWidget* parent);
    Kind kind() const { return kind_; }
    // Whether the signs show (the pointer is over one of the buttons).
    void setShowsSign(bool shows);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    Kind kind_;
    bool showsSign_ = false;
};
