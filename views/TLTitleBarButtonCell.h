#pragma once
// A pop-up style button of the panel's header: its image nudged 8 px right and
// 1 px down, its title from 15 px in at a fixed height and cut to fit, a small
// filled triangle 20 px from the right edge, and a 1 px separator line along
// the right edge. TLAltTitleBarButtonCell differs only in its constants.
// Main queue only.
#include <QColor>
#include <QPushButton>
#include <QRectF>

class TLTitleBarButtonCell : public QPushButton {
public:
    // What tells the two kinds of header button apart.
    struct Style {
        double titleY;
        QColor triangleColor;
        bool triangleUp;  // points up (else down)
        QColor separatorColor;
    };

    explicit TLTitleBarButtonCell(QWidget* parent = nullptr);

    const Style& cellStyle() const { return style_; }

    // The three parts of the drawing, each in the frame it is given.
    void drawImage(QPainter& painter, const QRectF& frame) const;
    QRectF drawTitle(QPainter& painter, const QRectF& frame) const;
    void drawBezel(QPainter& painter, const QRectF& frame) const;

protected:
    TLTitleBarButtonCell(const Style& style, QWidget* parent);
    void paintEvent(QPaintEvent* event) override;

private:
    Style style_;
};

class TLAltTitleBarButtonCell : public TLTitleBarButtonCell {
public:
    explicit TLAltTitleBarButtonCell(QWidget* parent = nullptr);
};
