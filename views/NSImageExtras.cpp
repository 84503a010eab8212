#include "NSImageExtras.h"

namespace NSImageExtras {

QImage colorizedImage(const QImage& image, const QColor& color) {
    if (!color.isValid() || image.isNull()) return image.copy();
    QImage copy = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&copy);
    painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    painter.fillRect(QRect(QPoint(0, 0), copy.size()), color);
    painter.end();
    return copy;
}

QImage imageByApplyingAlpha(const QImage& image, double alpha) {
    if (image.isNull()) return {};
    QImage result(image.size(), QImage::Format_ARGB32_Premultiplied);
    result.setDevicePixelRatio(image.devicePixelRatio());
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setOpacity(alpha);
    painter.drawImage(QPoint(0, 0), image);
    return result;
}

void drawCenteredInRect(const QImage& image, QPainter& painter, const QRectF& rect,
                        QPainter::CompositionMode operation, double fraction) {
    if (image.isNull() || rect.isEmpty()) return;
    QSizeF size = image.deviceIndependentSize();
    if (size.width() > rect.width()) size = QSizeF(rect.width(), size.height() * rect.width() / size.width());
    if (size.height() > rect.height()) size = QSizeF(size.width() * rect.height() / size.height(), rect.height());
    QRectF target(rect.x() + (rect.width() - size.width()) / 2, rect.y() + (rect.height() - size.height()) / 2,
                  size.width(), size.height());
    painter.save();
    painter.setCompositionMode(operation);
    painter.setOpacity(painter.opacity() * fraction);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image);
    painter.restore();
}

QImage CGImage(const QImage& image) {
    if (image.isNull()) return {};
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage pixelImageWithColor(const QColor&) {
    return {};
}

QImage croppedImage(const QImage&, const QRectF&) {
    return {};
}

}  // namespace NSImageExtras
