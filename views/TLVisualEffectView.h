#pragma once
// The backing of the panel's header and footer: a solid fill (an X desktop
// has no blur behind windows) that lets the mouse through, with whatever it
// holds, to the view beneath, so a press on it can move the window. Without a
// colour of its own it fills with the panel's background of the appearance in
// force. Main queue only.
#include <QColor>
#include <QWidget>

class TLVisualEffectView : public QWidget {
public:
    explicit TLVisualEffectView(QWidget* parent = nullptr);

    // Invalid (the default): the panel's background colour.
    const QColor& fillColor() const { return fillColor_; }
    void setFillColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fillColor_;
};
