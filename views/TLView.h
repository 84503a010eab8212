#pragma once
// The browser's plain view: an optional background fill and an optional draw
// block, called after the fill with the view and its painter. Setting either
// redraws. Qt's coordinates already start at the top left. Main queue only.
#include <QColor>
#include <QWidget>

#include <functional>

class QPainter;

class TLView : public QWidget {
public:
    using DrawBlock = std::function<void(TLView& view, QPainter& painter)>;

    explicit TLView(QWidget* parent = nullptr);

    // Invalid (the default) or the clear colour: no fill.
    const QColor& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(const QColor& color);
    const DrawBlock& drawBlock() const { return drawBlock_; }
    void setDrawBlock(DrawBlock block);

protected:
    void paintEvent(QPaintEvent* event) override;
    // Draws the view's dirty rectangle; subclasses draw over what this draws.
    virtual void drawRect(QPainter& painter, const QRect& dirtyRect);

private:
    QColor backgroundColor_;
    DrawBlock drawBlock_;
};
