#include "NSStringGeometrics.h"

#include <string>

#include "NSAttributedStringGeometrics.h"
#include "platform/foundation/SystemLog.h"

namespace NSStringGeometrics {

namespace {

using NSAttributedStringGeometrics::AttributedString;
using NSAttributedStringGeometrics::kUnbounded;

AttributedString attributed(const QString& text, const QTextCharFormat& attributes) {
    AttributedString result{text, {}};
    if (!text.isEmpty()) result.attributes.append(QTextLayout::FormatRange{0, static_cast<int>(text.size()), attributes});
    return result;
}

bool checkFont(const QFont* font, const char* operation) {
    if (font) return true;
    foundation::systemLog(std::string("[NSString ") + operation + "]: Internal Error 561-3810: Nil font");
    return false;
}

QTextCharFormat withFont(const QFont& font) {
    QTextCharFormat format;
    format.setFont(font);
    return format;
}

}  // namespace

QSizeF sizeForWidth(const QString& text, float width, float height, const QTextCharFormat& attributes) {
    return NSAttributedStringGeometrics::sizeForWidth(attributed(text, attributes), width, height);
}

float heightForWidth(const QString& text, float width, const QTextCharFormat& attributes) {
    return static_cast<float>(sizeForWidth(text, width, kUnbounded, attributes).height());
}

float widthForHeight(const QString& text, float height, const QTextCharFormat& attributes) {
    return static_cast<float>(sizeForWidth(text, kUnbounded, height, attributes).width());
}

QSizeF sizeForWidth(const QString& text, float width, float height, const QFont* font) {
    if (!checkFont(font, "sizeForWidth:height:font:")) return {};
    return sizeForWidth(text, width, height, withFont(*font));
}

float heightForWidth(const QString& text, float width, const QFont* font) {
    if (!checkFont(font, "heightForWidth:font:")) return 0;
    return heightForWidth(text, width, withFont(*font));
}

float widthForHeight(const QString& text, float height, const QFont* font) {
    if (!checkFont(font, "widthForHeight:font:")) return 0;
    return widthForHeight(text, height, withFont(*font));
}

}  // namespace NSStringGeometrics
