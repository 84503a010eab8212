#pragma once
// The size a plain text takes in a box, with one set of attributes or one
// font over the whole text; the rules are NSAttributedStringGeometrics'. A
// missing font gives zero size and a line in the system log. Any thread.

#include <QFont>
#include <QSizeF>
#include <QString>
#include <QTextCharFormat>

namespace NSStringGeometrics {

QSizeF sizeForWidth(const QString& text, float width, float height, const QTextCharFormat& attributes);
float heightForWidth(const QString& text, float width, const QTextCharFormat& attributes);
float widthForHeight(const QString& text, float height, const QTextCharFormat& attributes);

QSizeF sizeForWidth(const QString& text, float width, float height, const QFont* font);
float heightForWidth(const QString& text, float width, const QFont* font);
float widthForHeight(const QString& text, float height, const QFont* font);

}  // namespace NSStringGeometrics
