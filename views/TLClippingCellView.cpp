#include "TLClippingCellView.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QStringDecoder>
#include <QTextLayout>

#include <cmath>

#include "NSImageExtras.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSColorTavloColors.h"
#include "platform/desktop/KeyLabels.h"
#include "platform/foundation/Date.h"

namespace {

constexpr double kCellInset = 10;        // content top, and the height the rows lose above and below
constexpr double kTitleHeight = 18;
constexpr double kTitleAdvance = 20;
constexpr double kListLine = 12;         // + ceil(q): the list-name line of a row with a badge
constexpr double kLineCut = 500;         // single-line fields are cut before eliding
constexpr uint64_t kCommand = 0x100000, kOption = 0x80000, kControl = 0x40000;

QColor white(double level, double alpha = 1) { return QColor::fromRgbF(level, level, level, alpha); }

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool isLineBreak(char16_t c) { return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029 || c == 0x85; }
bool isSpace(char16_t c) { return isBlank(c) || isLineBreak(c) || QChar(c).isSpace(); }

// Control characters shown as their pictures, so NUL and escape sequences are
// seen rather than acted on or dropped.
char16_t visible(char16_t c) {
    if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') return char16_t(0x2400 + c);
    if (c == 0x7F) return 0x2421;
    return c;
}

// The body's normalisation, fed in pieces so that only as much of a long text
// is read as the first 500 characters of the result need.
class BodyNormalizer {
public:
    // False once the result is long enough that more input cannot change it.
    bool feed(QStringView piece) {
        for (QChar qc : piece) {
            char16_t c = qc.unicode();
            if (isBlank(c)) {
                // A run of blanks becomes one blank; a blank after a line break goes.
                if (!started_ || pendingEndsWithBreak_ || pendingBlank_) continue;
                pending_ += u' ';
                pendingBlank_ = true;
            } else if (isSpace(c)) {
                if (!started_) continue;
                pending_ += visible(c);
                pendingBlank_ = false;
                pendingEndsWithBreak_ = isLineBreak(c);
            } else {
                started_ = true;
                out_ += pending_;
                pending_.clear();
                pendingBlank_ = pendingEndsWithBreak_ = false;
                out_ += visible(c);
                if (out_.size() > TLClippingCellView::kBodyLimit) return false;
            }
        }
        return true;
    }
    QString result() {
        // White space at the end never shows: pending_ is dropped.
        if (out_.size() > TLClippingCellView::kBodyLimit) {
            qsizetype cut = TLClippingCellView::kBodyLimit;
            if (QChar::isHighSurrogate(out_[cut - 1].unicode()) && QChar::isLowSurrogate(out_[cut].unicode())) --cut;
            out_.truncate(cut);
        }
        return out_;
    }

private:
    QString out_;
    QString pending_;
    bool started_ = false;
    bool pendingBlank_ = false;
    bool pendingEndsWithBreak_ = false;
};

// A single-line field, cut before it is elided so a long address costs no more
// than a short one.
QString lineField(const std::optional<std::string>& value) {
    if (!value || value->empty()) return {};
    std::string_view text = *value;
    if (text.size() > 4 * kLineCut) text = text.substr(0, 4 * kLineCut);
    QString line = QString::fromUtf8(text.data(), qsizetype(text.size())).left(qsizetype(kLineCut));
    for (auto& c : line)
        if (isLineBreak(c.unicode())) c = u' ';
        else c = QChar(visible(c.unicode()));
    return line;
}

// Text laid out from the top left of box with word wrapping; when more text
// follows than the box holds, the last line that fits ends in an ellipsis.
struct WrappedText {
    QTextLayout layout;
    int lines = 0;
    QString elided;  // the last line's text when truncated
    double elidedY = 0;
    double elidedAscent = 0;

    void lay(const QString& text, const QFont& font, const QSizeF& box) {
        QString laid = text;
        for (auto& c : laid)
            if (c == u'\n' || c == u'\r') c = QChar::LineSeparator;
        layout.setText(laid);
        layout.setFont(font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        option.setTextDirection(Qt::LeftToRight);
        layout.setTextOption(option);
        layout.setCacheEnabled(true);
        layout.beginLayout();
        double y = 0;
        QTextLine overflow;  // the first line that does not fit
        while (true) {
            QTextLine line = layout.createLine();
            if (!line.isValid()) break;
            line.setLineWidth(box.width());
            if (lines > 0 && y + line.height() > box.height() + 0.01) {
                overflow = line;
                break;
            }
            line.setPosition(QPointF(0, y));
            y += line.height();
            ++lines;
        }
        layout.endLayout();
        elided.clear();
        if (overflow.isValid() && lines > 0) {
            QTextLine last = layout.lineAt(lines - 1);
            // The ellipsis line holds what fits in one width: the last line
            // and the one after it hold more than that unless both are short
            // (ended by line breaks), so eliding needs only their characters
            // (eliding shapes all it is given).
            qsizetype length = qsizetype(kLineCut);
            if (last.naturalTextWidth() + overflow.naturalTextWidth() > box.width())
                length = overflow.textStart() + overflow.textLength() - last.textStart();
            QString rest = laid.mid(last.textStart(), std::min(length, qsizetype(kLineCut)));
            for (auto& c : rest)
                if (c == QChar::LineSeparator) c = u' ';
            elided = QFontMetricsF(font).elidedText(rest, Qt::ElideRight, box.width());
            elidedY = last.y();
            elidedAscent = last.ascent();
        }
    }
    void draw(QPainter& painter, const QPointF& origin) const {
        int plain = elided.isNull() ? lines : lines - 1;
        for (int i = 0; i < plain; ++i) layout.lineAt(i).draw(&painter, origin);
        if (!elided.isNull()) painter.drawText(QPointF(origin.x(), origin.y() + elidedY + elidedAscent), elided);
    }
};

void drawWrapped(QPainter& painter, const QString& text, const QRectF& rect, const QFont& font, const QColor& color) {
    if (text.isEmpty() || rect.width() <= 0) return;
    WrappedText wrapped;
    wrapped.lay(text, font, rect.size());
    painter.save();
    painter.setPen(color);
    painter.setClipRect(rect, Qt::IntersectClip);
    wrapped.draw(painter, rect.topLeft());
    painter.restore();
}

QImage kindIcon(TLClippingCellView::Kind kind, const QColor& tint) {
    // Tinted once per kind and colour; painting stays on the main queue.
    static QHash<QString, QImage> tinted;
    static const char* const names[] = {":/views/clipping-text.png", ":/views/clipping-url.png",
                                        ":/views/clipping-image.png"};
    QString key = QString::number(int(kind)) + tint.name(QColor::HexArgb);
    auto it = tinted.find(key);
    if (it != tinted.end()) return *it;
    QImage icon(QString::fromLatin1(names[int(kind)]));
    QImage image = icon.isNull() ? QImage() : NSImageExtras::colorizedImage(icon, tint);
    tinted.insert(key, image);
    return image;
}

}  // namespace

struct TLClippingCellView::BodyLayout {
    QString text;
    QSizeF box;
    QFont font;
    WrappedText wrapped;
};

TLClippingCellView::TLClippingCellView() = default;
TLClippingCellView::~TLClippingCellView() = default;

QString TLClippingCellView::normalizedBody(std::string_view utf8) {
    BodyNormalizer normalizer;
    QStringDecoder decoder(QStringDecoder::Utf8);
    constexpr size_t kPiece = 4096;
    for (size_t at = 0; at < utf8.size(); at += kPiece) {
        QString piece = decoder.decode(QByteArrayView(utf8.data() + at, qsizetype(std::min(kPiece, utf8.size() - at))));
        if (!normalizer.feed(piece)) return normalizer.result();
    }
    return normalizer.result();
}

QString TLClippingCellView::normalizedBody(const QString& text) {
    BodyNormalizer normalizer;
    normalizer.feed(text);
    return normalizer.result();
}

QColor TLClippingCellView::colorFromValue(int64_t value) {
    auto rgb = static_cast<uint32_t>(static_cast<uint64_t>(value) & 0xFFFFFF);
    return QColor::fromRgbF(((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0, 1.0);
}

TLClippingCellView::Kind TLClippingCellView::kindOf(const Fields& fields) {
    if (fields.hasImage && fields.textEmpty) return Kind::Image;
    if (!fields.urlEmpty) return Kind::Link;
    return Kind::Text;
}

void TLClippingCellView::setFields(const Fields& fields) {
    fields_ = fields;
    kind_ = kindOf(fields_);
    bodyLayout_.reset();
}

void TLClippingCellView::setClipping(std::shared_ptr<Clipping> clipping) {
    bool other = clipping != clipping_;
    clipping_ = std::move(clipping);
    Fields fields;
    if (clipping_) {
        auto text = clipping_->text();
        auto url = clipping_->url();
        auto urlName = clipping_->urlName();
        auto urlSource = clipping_->urlSource();
        auto image = clipping_->image();
        fields.hasImage = image.has_value();
        fields.textEmpty = !text || text->empty();
        fields.hasURL = url.has_value();
        fields.urlEmpty = !url || url->empty();
        fields.urlNameEmpty = !urlName || urlName->empty();
        fields.urlSourceEmpty = !urlSource || urlSource->empty();
        fields.body = normalizedBody(!fields.urlEmpty ? std::string_view(*url)
                                     : text           ? std::string_view(*text)
                                                      : std::string_view());
        fields.urlName = lineField(urlName);
        fields.sourceLine = lineField(!fields.urlSourceEmpty ? urlSource : url);
        if (auto list = clipping_->list()) {
            fields.hasList = true;
            fields.listName = lineField(list->name());
        }
        fields.color = clipping_->color();
        if (auto date = clipping_->tavloDate()) fields.tavloDate = date->timeIntervalSince1970();
    }
    setFields(fields);
    if (other) setNeedsDisplay();
}

void TLClippingCellView::setClippingImage(const QImage& image) {
    if (image.cacheKey() == clippingImage_.cacheKey() && image.isNull() == clippingImage_.isNull()) return;
    clippingImage_ = image;
    setNeedsDisplay();
}

void TLClippingCellView::setTavlo(bool tavlo) {
    if (tavlo == tavlo_) return;
    tavlo_ = tavlo;
    setNeedsDisplay();
}

void TLClippingCellView::setSelected(bool selected) {
    if (selected == selected_) return;
    selected_ = selected;
    setNeedsDisplay();
}

void TLClippingCellView::setFrame(const QRectF& frame) {
    frame_ = frame;
    setNeedsDisplay();
}

void TLClippingCellView::setNeedsDisplay() {
    if (needsDisplay_) needsDisplay_();
}

// Ages ------------------------------------------------------------------------

TLClippingCellView::Age TLClippingCellView::age(double a) {
    auto whole = [](double v) { return QString::number(static_cast<long long>(std::trunc(v))); };
    if (!(a == a)) a = 0;  // NaN: as no date
    if (a < 60) return {whole(a) + u's', 1.0};
    if (a < 3600) return {whole(a / 60) + u'm', 60.0};
    if (a < 86400) return {whole(a / 60 / 60) + u'h', 3600.0};
    if (a < 31536000) return {whole(a / 60 / 60 / 24) + u'd', std::nullopt};
    return {whole(a / 60 / 60 / 24 / 365) + u'y', std::nullopt};
}

void TLClippingCellView::tick() {
    double seconds = fields_.tavloDate ? foundation::Date::now().timeIntervalSince1970() - *fields_.tavloDate : 0;
    Age label = age(seconds);
    timeLabelText_ = label.text;
    nextTick_ = label.nextTick;
}

// Shortcut or icon --------------------------------------------------------------

QString TLClippingCellView::shortcutText(int64_t row) {
    if (row < 0 || row >= 30) return {};
    static const uint64_t groups[] = {kCommand, kOption, kControl};
    int64_t number = row % 10 + 1;
    return QString::fromStdString(desktop::modifierFlagsLabel(groups[row / 10])) +
           QString::number(number == 10 ? 0 : number);
}

QFont TLClippingCellView::systemFont(double pixelSize, int weight) {
    QFont font = QApplication::font();
    font.setPixelSize(static_cast<int>(pixelSize));
    font.setWeight(static_cast<QFont::Weight>(weight));
    return font;
}

QFont TLClippingCellView::shortcutFont(const QString& text, double width) {
    for (double size = kShortcutFontSize; size > kShortcutMinimumFontSize; --size) {
        QFont font = systemFont(size);
        if (QFontMetricsF(font).horizontalAdvance(text) <= width) return font;
    }
    return systemFont(kShortcutMinimumFontSize);
}

void TLClippingCellView::updateClippingIcon() {
    QString label = flags_ != 0 ? shortcutText(row_) : QString();
    if (label == shortcutLabelText_) return;
    shortcutLabelText_ = std::move(label);
    // A modifier going down or up changes no other state of the row.
    setNeedsDisplay();
}

// Geometry -----------------------------------------------------------------------

QRectF TLClippingCellView::integralRect(const QRectF& rect) {
    if (rect.isEmpty()) return QRectF(rect.x(), rect.y(), 0, 0);
    double left = std::floor(rect.left()), top = std::floor(rect.top());
    return QRectF(left, top, std::ceil(rect.right()) - left, std::ceil(rect.bottom()) - top);
}

double TLClippingCellView::bottomLineHeight(const Fields& f) {
    if (!f.hasImage && !f.urlNameEmpty && !f.urlEmpty) return kMainFontSize + 5;
    if ((!f.textEmpty && !f.urlSourceEmpty) || (f.textEmpty && !f.urlEmpty && f.hasImage)) return kSmallFontSize + 5;
    return 0;
}

double TLClippingCellView::contentHeight(double cellHeight, const Fields& fields, bool showsListName) {
    double r = cellHeight - 2 * kCellInset;
    if (showsListName && fields.hasList) r -= std::ceil(kSmallFontSize) + kListLine;
    return r - bottomLineHeight(fields);
}

TLClippingCellView::ThumbnailFit TLClippingCellView::fitThumbnail(const QSizeF& image, const QRectF& area) {
    // In single precision, as the fit's rounding is specified.
    const float iw = float(image.width()), ih = float(image.height());
    const float aw = float(area.width()), ah = float(area.height());
    const float ax = float(area.x()), ay = float(area.y());
    ThumbnailFit fit{QRectF(0, 0, iw, ih), area};
    if (!(iw > 0 && ih > 0 && aw > 0 && ah > 0)) return {QRectF(), QRectF()};
    float sx = 0, sy = 0, sw = iw, sh = ih;
    float dx = ax, dy = ay, dw = aw, dh = ah;
    if (aw / ah >= iw / ih && ih > ah) {
        if (iw / aw > 0.75f) {
            sh = std::ceil(iw / aw * ah);
            sy = std::floor((ih - sh) * 0.5f);
        } else {
            dw = iw;
            dx = std::round((aw - iw) * 0.5f + ax);
            sh = std::ceil(ah);
            sy = std::floor((ih - sh) * 0.5f);
        }
    } else if (ih / ah > 0.75f) {
        sw = std::ceil(ih / ah * aw);
        sx = std::floor((iw - sw) * 0.5f);
    } else {
        dh = ih;
        dy = std::round((ah - ih) * 0.5f + ay);
        if (iw > aw) {
            sw = std::ceil(aw);
            sx = std::floor((iw - sw) * 0.5f);
        } else {
            dw = iw;
            dx = std::round((aw - iw) * 0.5f + ax);
        }
    }
    fit.source = QRectF(sx, sy, sw, sh);
    fit.destination = QRectF(dx, dy, dw, dh);
    return fit;
}

QRectF TLClippingCellView::badgeRect(double contentHeight, double bottomLine, const QSizeF& nameSize) {
    return integralRect(QRectF(kLeftColumnWidth, contentHeight + kCellInset + bottomLine + 5, nameSize.width() + 10,
                               nameSize.height() + 6));
}

// Drawing ------------------------------------------------------------------------

void TLClippingCellView::drawRect(QPainter& painter, const QRectF&) {
    drawContentsInRect(painter, bounds(), tavlo_);
    tick();
    updateClippingIcon();
    painter.save();
    painter.setPen(white(0.5));
    painter.setFont(systemFont(kAgeFontSize));
    painter.drawText(QRectF(0, 35, kLeftColumnWidth, 24), Qt::AlignHCenter | Qt::AlignTop, timeLabelText_);
    if (!shortcutLabelText_.isEmpty()) {
        painter.setPen(NSColorTavloColors::appTintColor());
        painter.setFont(shortcutFont(shortcutLabelText_, kLeftColumnWidth - 2));
        painter.drawText(QRectF(0, 10, kLeftColumnWidth, 24), Qt::AlignHCenter | Qt::AlignTop, shortcutLabelText_);
    } else {
        drawIcon(painter);
    }
    painter.restore();
}

void TLClippingCellView::drawIcon(QPainter& painter) {
    QColor tint = kind_ == Kind::Image ? NSColorTavloColors::tlLightGreenColor()
                  : kind_ == Kind::Link ? NSColorTavloColors::tlBlueColor()
                  : darkMode_           ? white(1.0, 0.75)
                                        : QColor::fromRgbF(0, 0, 0, 0.5);
    QImage icon = kindIcon(kind_, tint);
    if (icon.isNull()) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(6, 8, 24, 24), icon);
}

void TLClippingCellView::drawContentsInRect(QPainter& painter, const QRectF&, bool tavlo) {
    const QRectF b = bounds();
    const double r = contentHeight(b.height(), fields_, showsListName_);
    const double bottomLine = bottomLineHeight(fields_);
    QRectF content(kLeftColumnWidth, kCellInset, b.width() - 54, r);
    painter.save();
    if (kind_ == Kind::Image) {
        content = QRectF(kLeftColumnWidth, kCellInset, b.width() - 46, r);
        drawMainImage(painter, content);
    } else if (!fields_.body.isEmpty() || !fields_.urlEmpty) {
        drawMainText(painter, content);
        if (!fields_.urlEmpty && !fields_.urlNameEmpty) content.translate(0, kTitleAdvance);
    }
    painter.restore();
    drawSourceLine(painter, content);
    drawBadge(painter, r, bottomLine);
    if (tavlo) {
        QPainterPath mark;
        mark.moveTo(b.right(), 1);
        mark.lineTo(b.right(), 17);
        mark.lineTo(b.right() - 16, 1);
        mark.closeSubpath();
        painter.fillPath(mark, NSColorTavloColors::appTintColor());
    }
}

void TLClippingCellView::drawMainText(QPainter& painter, QRectF content) {
    QColor body = fields_.hasURL ? NSColorTavloColors::tlBlueColor() : darkMode_ ? white(1.0) : white(0.1);
    if (!fields_.urlEmpty && !fields_.urlNameEmpty) {
        QFont title = systemFont(kMainFontSize, QFont::Medium);
        QRectF titleRect = integralRect(QRectF(kLeftColumnWidth, kCellInset, content.width(), kTitleHeight));
        painter.save();
        painter.setFont(title);
        painter.setPen(darkMode_ ? white(1.0) : white(0.1));
        painter.setClipRect(titleRect, Qt::IntersectClip);
        QString line = QFontMetricsF(title).elidedText(fields_.urlName, Qt::ElideRight, titleRect.width());
        painter.drawText(titleRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, line);
        painter.restore();
        content.translate(0, kTitleAdvance);
    }
    QRectF rect = integralRect(content);
    if (fields_.body.isEmpty() || rect.width() <= 0) return;
    QFont font = systemFont(kMainFontSize);
    if (!bodyLayout_ || bodyLayout_->text != fields_.body || bodyLayout_->box != rect.size() ||
        bodyLayout_->font != font) {
        bodyLayout_ = std::make_unique<BodyLayout>();
        bodyLayout_->text = fields_.body;
        bodyLayout_->box = rect.size();
        bodyLayout_->font = font;
        bodyLayout_->wrapped.lay(fields_.body, font, rect.size());
    }
    painter.setPen(body);
    painter.setFont(font);
    painter.setClipRect(rect, Qt::IntersectClip);
    bodyLayout_->wrapped.draw(painter, rect.topLeft());
}

void TLClippingCellView::drawMainImage(QPainter& painter, const QRectF& area) {
    if (area.width() <= 0 || area.height() <= 0) return;
    QPainterPath plate;
    plate.addRoundedRect(area, 4, 4);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = fields_.color && clippingImage_.isNull() ? colorFromValue(*fields_.color)
                  : darkMode_                              ? white(0.1, 0.5)
                                                           : white(0.95, 0.5);
    painter.fillPath(plate, fill);
    if (clippingImage_.isNull()) return;
    painter.setClipPath(plate, Qt::IntersectClip);
    ThumbnailFit fit = fitThumbnail(clippingImage_.size(), area);
    if (fit.source.isEmpty() || fit.destination.isEmpty()) return;
    // A source reaching past the image (a band wider than it) leaves the
    // matching part of the destination empty.
    QRectF inside = fit.source.intersected(QRectF(QPointF(0, 0), QSizeF(clippingImage_.size())));
    if (inside.isEmpty()) return;
    double sx = fit.destination.width() / fit.source.width(), sy = fit.destination.height() / fit.source.height();
    QRectF destination(fit.destination.x() + (inside.x() - fit.source.x()) * sx,
                       fit.destination.y() + (inside.y() - fit.source.y()) * sy, inside.width() * sx,
                       inside.height() * sy);
    // The thumbnail's part is scaled once for its place and kept while both stay.
    QSize pixels = destination.size().toSize();
    if (pixels.isEmpty()) return;
    if (scaled_.key != clippingImage_.cacheKey() || scaled_.source != inside || scaled_.image.size() != pixels) {
        scaled_.key = clippingImage_.cacheKey();
        scaled_.source = inside;
        scaled_.image = clippingImage_.copy(inside.toAlignedRect())
                            .scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    painter.setOpacity(selected_ ? 0.75 : 1.0);
    painter.drawImage(destination.topLeft(), scaled_.image);
}

void TLClippingCellView::drawSourceLine(QPainter& painter, const QRectF& content) {
    const auto& f = fields_;
    bool shows = (!f.textEmpty && !f.urlSourceEmpty) || (f.textEmpty && !f.urlEmpty && f.hasImage);
    if (!shows || f.sourceLine.isEmpty()) return;
    QRectF rect(content.x(), content.bottom() + 2.5, content.width(), kSmallFontSize + 4);
    drawWrapped(painter, f.sourceLine, rect, systemFont(kSmallFontSize), white(0.5));
}

void TLClippingCellView::drawBadge(QPainter& painter, double contentHeight, double bottomLine) {
    if (!showsListName_ || !fields_.hasList) return;
    QFont font = systemFont(kSmallFontSize);
    QFontMetricsF metrics(font);
    double room = bounds().width() - 46;
    QSizeF nameSize(0, 0);
    QString name;
    if (!fields_.listName.isEmpty() && room > 0) {
        name = metrics.elidedText(fields_.listName, Qt::ElideRight, room);
        nameSize = QSizeF(std::min(room, metrics.horizontalAdvance(name)), std::min(24.0, metrics.height()));
    }
    QRectF badge = badgeRect(contentHeight, bottomLine, nameSize);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath plate;
    plate.addRoundedRect(badge, 3, 3);
    painter.fillPath(plate, QColor::fromRgbF(0, 0, 0, darkMode_ ? 0.2 : 0.05));
    if (!name.isEmpty()) {
        painter.setFont(font);
        painter.setPen(white(0.5));
        painter.drawText(integralRect(QRectF(badge.topLeft() + QPointF(5, 3), badge.size())),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, name);
    }
    painter.restore();
}

QImage TLClippingCellView::dragImage() {
    QSizeF size = bounds().size();
    if (showsListName_ && fields_.hasList) size.setHeight(size.height() - kListBadgeDragCut);
    QSize pixels(static_cast<int>(std::ceil(size.width())), static_cast<int>(std::ceil(size.height())));
    if (pixels.width() <= 0 || pixels.height() <= 0) return {};
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setClipRect(QRectF(QPointF(0, 0), size));
    drawContentsInRect(painter, bounds(), false);
    return image;
}
