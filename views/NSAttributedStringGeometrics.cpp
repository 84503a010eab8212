#include "NSAttributedStringGeometrics.h"

#include <algorithm>

#include <QTextOption>

namespace NSAttributedStringGeometrics {

namespace {

// Qt lays text out in 26.6 fixed point, which overflows past 2^25 pixels; a
// box larger than this is as good as unbounded.
constexpr double kLargestExtent = 1 << 24;
constexpr int kDefaultFontPixelSize = 12;

}  // namespace

QSizeF sizeForWidth(const AttributedString& text, float width, float height) {
    if (text.string.isEmpty()) return {};
    QString laidOut = text.string;
    laidOut.replace(u'\n', QChar::LineSeparator);
    QFont font;
    font.setPixelSize(kDefaultFontPixelSize);
    QTextLayout layout(laidOut, font);
    layout.setFormats(text.attributes);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const double lineWidth = std::clamp(static_cast<double>(width), 0.0, kLargestExtent);
    const double boxHeight = std::clamp(static_cast<double>(height), 0.0, kLargestExtent);
    double usedWidth = 0;
    double usedHeight = 0;
    double lastLineHeight = 0;
    bool lastLineEmpty = false;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(lineWidth);
        if (usedHeight + line.height() > boxHeight) break;
        line.setPosition(QPointF(0, usedHeight));
        usedHeight += line.height();
        usedWidth = std::max(usedWidth, static_cast<double>(line.naturalTextWidth()));
        lastLineHeight = line.height();
        lastLineEmpty = line.textLength() == 0 ||
                        (line.textStart() == laidOut.size() - 1 && laidOut.back() == QChar::LineSeparator);
    }
    layout.endLayout();
    // The empty line a final line break opens holds no text.
    if (laidOut.back() == QChar::LineSeparator && lastLineEmpty && layout.lineCount() > 1) usedHeight -= lastLineHeight;
    return QSizeF(usedWidth, usedHeight);
}

float heightForWidth(const AttributedString& text, float width) {
    return static_cast<float>(sizeForWidth(text, width, kUnbounded).height());
}

float widthForHeight(const AttributedString& text, float height) {
    return static_cast<float>(sizeForWidth(text, kUnbounded, height).width());
}

}  // namespace NSAttributedStringGeometrics
