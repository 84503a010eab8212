#pragma once
// The size text takes when laid out in a box: wrapped at word boundaries (a
// word longer than the box is broken), no hyphenation, only the lines that
// fit the box's height counted, the empty line after a final line break not
// counted. Text without a font in its attributes uses the system font at 12
// px. Any thread: the layout touches no widget.

#include <cfloat>

#include <QList>
#include <QSizeF>
#include <QString>
#include <QTextLayout>

namespace NSAttributedStringGeometrics {

// A dimension without bound.
inline constexpr float kUnbounded = FLT_MAX;

// A text with attributes (character formats) over ranges of it.
struct AttributedString {
    QString string;
    QList<QTextLayout::FormatRange> attributes;
};

// The used size of the text laid out in a box width by height; zero for an empty text.
QSizeF sizeForWidth(const AttributedString& text, float width, float height);
float heightForWidth(const AttributedString& text, float width);
float widthForHeight(const AttributedString& text, float height);

}  // namespace NSAttributedStringGeometrics
