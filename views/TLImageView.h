#pragma once
// An image view with a background fill: the fill first, then the image scaled
// down to fit (never up), keeping its proportions, centred. Setting the fill
// colour does not redraw. Main queue only.
#include <QColor>
#include <QImage>
#include <QWidget>

class TLImageView : public QWidget {
public:
    explicit TLImageView(QWidget* parent = nullptr);

    const QImage& image() const { return image_; }
    void setImage(const QImage& image);
    // Invalid (the default) or the clear colour: no fill.
    const QColor& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(const QColor& color) { backgroundColor_ = color; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
    QColor backgroundColor_;
};
