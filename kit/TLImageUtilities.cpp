#include "kit/TLImageUtilities.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include "platform/foundation/TypeIdentifier.h"

namespace {

// Large images are decoded at about this size before averaging: readers that
// can (JPEG) then skip most of the work, and the average hardly changes.
constexpr int kAverageDecodeSide = 64;

}  // namespace

std::optional<foundation::Data> TLImageUtilities::pngData(const foundation::Data& data) {
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.bytes()), qsizetype(data.length()));
    QBuffer input(&bytes);
    QImageReader reader(&input);
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    QByteArray png;
    QBuffer output(&png);
    output.open(QIODevice::WriteOnly);
    if (!image.save(&output, "PNG")) return std::nullopt;
    return foundation::Data(png.constData(), size_t(png.size()));
}

uint32_t TLImageUtilities::averageColorOfFile(const std::filesystem::path& path) {
    QImageReader reader(QString::fromStdString(path.string()));
    reader.setAutoTransform(true);
    QSize size = reader.size();
    if (size.isValid() && (size.width() > kAverageDecodeSide || size.height() > kAverageDecodeSide))
        reader.setScaledSize(size.scaled(kAverageDecodeSide, kAverageDecodeSide, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull()) return 0;
    QImage pixel = image.scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    // The raw pixel: pixel() would undo the premultiplication.
    QRgb rgb = reinterpret_cast<const QRgb*>(pixel.constScanLine(0))[0];
    return (uint32_t(qRed(rgb)) << 16) | (uint32_t(qGreen(rgb)) << 8) | uint32_t(qBlue(rgb));
}

std::optional<std::string> TLImageUtilities::imageTypeOfData(const foundation::Data& data) {
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.bytes()), qsizetype(data.length()));
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly)) return std::nullopt;
    QImageReader reader(&buffer);
    if (!reader.canRead()) return std::nullopt;
    std::string type = foundation::TypeIdentifier::typeForFilenameExtension(reader.format().toStdString());
    if (type.empty() || !foundation::TypeIdentifier::conformsTo(type, foundation::kUTTypeImage)) return std::nullopt;
    return type;
}
