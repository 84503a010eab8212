#pragma once
// Image operations of the browser: tinting template images, fading, drawing
// centred and scaled down, and the pixels behind an image. Images are
// QImages, so any thread may use them.

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRectF>

namespace NSImageExtras {

// A copy of image with color over every opaque pixel and the alpha kept; an
// invalid color (none) gives a plain copy.
QImage colorizedImage(const QImage& image, const QColor& color);
// A copy of image drawn at the given opacity (0 to 1).
QImage imageByApplyingAlpha(const QImage& image, double alpha);
// Draws image scaled down to fit rect (never up), keeping its proportions,
// centred in rect, with the composition mode and opacity given.
void drawCenteredInRect(const QImage& image, QPainter& painter, const QRectF& rect,
                        QPainter::CompositionMode operation, double fraction);
// The image's pixels as 32-bit premultiplied ARGB; a null image for a null image.
QImage CGImage(const QImage& image);
// Placeholders kept for callers that expect them: they answer nothing (a null image).
QImage pixelImageWithColor(const QColor& color);
QImage croppedImage(const QImage& image, const QRectF& rect);

}  // namespace NSImageExtras
