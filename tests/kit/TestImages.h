#pragma once
// Small encoded images for the kit's tests.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>

#include <string>

namespace kittest {

// A 4 by 4 image of one colour, encoded as PNG.
inline std::string pngBytes(QColor color = Qt::blue) {
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

}  // namespace kittest
