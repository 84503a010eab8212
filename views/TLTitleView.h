#pragma once
// The panel's header: an optional icon, the list's name in 18 px type, cut with
// an ellipsis to fit, and an up-and-down chooser mark 20 px right of the drawn
// name. The icon is a template: its alpha is drawn in the title's colour, and
// it moves the name and the mark right by its width and a gap. A click
// (press and release inside without a drag) runs the click action, a right
// press the right-click action; a drag moves the window while it is detached.
// Typing "z" with the header focused also runs the click action, and the key
// still goes on to the enclosing views. Main queue only.
#include <QImage>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <functional>

class TLTitleView : public QWidget {
public:
    using Action = std::function<void()>;

    static constexpr int kTitleFontPixelSize = 18;
    static constexpr int kIconSize = 16;
    static constexpr int kIconGap = 6;

    explicit TLTitleView(QWidget* parent = nullptr);

    const QString& title() const { return title_; }
    void setTitle(const QString& title);
    // A null image shows none.
    const QImage& icon() const { return icon_; }
    void setIcon(const QImage& icon);
    bool darkMode() const { return darkMode_; }
    void setDarkMode(bool darkMode);
    const Action& clickAction() const { return clickAction_; }
    void setClickAction(Action action) { clickAction_ = std::move(action); }
    const Action& rightClickAction() const { return rightClickAction_; }
    void setRightClickAction(Action action) { rightClickAction_ = std::move(action); }
    QPoint initialLocation() const { return initialLocation_; }
    bool dragged() const { return dragged_; }

    // The width the title takes when drawn (at most the view's width - 40, less
    // the icon's room), where it starts, and the left edge of the chooser mark.
    double drawnTitleWidth() const;
    double titleX() const;
    int chooserMarkX() const;
    QFont titleFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString title_;
    QImage icon_;
    bool darkMode_ = false;
    Action clickAction_;
    Action rightClickAction_;
    QPoint initialLocation_;
    bool dragged_ = false;
};
