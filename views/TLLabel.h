#pragma once
// A view that draws one text centred across its width, over TLView's fill and
// draw block. A label drawn without a font or colour takes the system font at
// 12 px and black, and keeps them. Only a new text redraws. Main queue only.
#include <QFont>
#include <QString>

#include <optional>

#include "TLView.h"

class TLLabel : public TLView {
public:
    explicit TLLabel(QWidget* parent = nullptr);

    const QString& text() const { return text_; }
    void setText(const QString& text);
    const QColor& textColor() const { return textColor_; }
    void setTextColor(const QColor& color) { textColor_ = color; }
    // None until set or first drawn.
    const std::optional<QFont>& font() const { return font_; }
    void setFont(const QFont& font) { font_ = font; }

    static constexpr int kDefaultFontPixelSize = 12;

protected:
    void drawRect(QPainter& painter, const QRect& dirtyRect) override;

private:
    QString text_;
    QColor textColor_;
    std::optional<QFont> font_;
};
