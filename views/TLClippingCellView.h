#pragma once
// The drawing of one row of the clippings table: a 36-px left column with the
// kind icon (or, while a modifier is held, the row's numbered shortcut) and the
// clipping's age, and to its right the text, the link with its page title, or
// the thumbnail (or colour swatch), a grey source line, the list badge and the
// mark of the clipping the clipboard holds now. It draws no selection (the row
// view does); selection only dims the thumbnail.
//
// One cell per visible row, reused for other rows as the table scrolls: it is
// no widget, the table's item delegate hands it a painter. Setters only store;
// those the Part lets redisplay call the needs-display handler, and the next
// draw uses every stored value. Coordinates are the cell's own, y down from the
// row's top. Main queue only (it reads the clipping, a main-context object).
//
// setClipping() reads the fields the cell draws from the clipping at once,
// with the body already cut to 500 characters, so drawing a 10 MB clipping
// costs what a short one does; set the clipping again after it changed.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class Clipping;
class QPainter;
class QTextLayout;

class TLClippingCellView {
public:
    static constexpr const char* kIdentifier = "ClippingCell";

    // Fixed geometry and fonts (pixels, cell coordinates).
    static constexpr double kLeftColumnWidth = 36;
    static constexpr double kMainFontSize = 14;   // p
    static constexpr double kSmallFontSize = 11;  // q
    static constexpr double kShortcutFontSize = 15;
    static constexpr double kShortcutMinimumFontSize = 9;
    static constexpr double kAgeFontSize = 10;
    static constexpr int kBodyLimit = 500;
    static constexpr double kListBadgeDragCut = 24;

    enum class Kind { Text, Link, Image };

    TLClippingCellView();
    ~TLClippingCellView();
    TLClippingCellView(const TLClippingCellView&) = delete;
    TLClippingCellView& operator=(const TLClippingCellView&) = delete;

    const std::shared_ptr<Clipping>& clipping() const { return clipping_; }
    // Reads the clipping's fields; redisplays only for another object.
    void setClipping(std::shared_ptr<Clipping> clipping);
    const QImage& clippingImage() const { return clippingImage_; }
    // Redisplays only for another image.
    void setClippingImage(const QImage& image);
    bool darkMode() const { return darkMode_; }
    void setDarkMode(bool dark) { darkMode_ = dark; }
    bool tavlo() const { return tavlo_; }
    void setTavlo(bool tavlo);
    bool selected() const { return selected_; }
    void setSelected(bool selected);
    bool showsListName() const { return showsListName_; }
    void setShowsListName(bool shows) { showsListName_ = shows; }
    int64_t row() const { return row_; }
    void setRow(int64_t row) { row_ = row; }
    // The modifier flags held now (Command, Option or Control alone), 0 for none.
    uint64_t flags() const { return flags_; }
    void setFlags(uint64_t flags) { flags_ = flags; }

    // The cell's place in its table; its bounds are (0, 0, width, height).
    const QRectF& frame() const { return frame_; }
    void setFrame(const QRectF& frame);
    QRectF bounds() const { return QRectF(QPointF(0, 0), frame_.size()); }

    // Told when a setter wants the cell drawn again (the table repaints its row).
    void setNeedsDisplayHandler(std::function<void()> handler) { needsDisplay_ = std::move(handler); }

    // The age label's text, and when tick() wants to run again (seconds from
    // now; none for a clipping a day or more old).
    const QString& timeLabelText() const { return timeLabelText_; }
    std::optional<double> nextTickInterval() const { return nextTick_; }
    void tick();
    // Chooses between the shortcut label and the kind icon from flags and row.
    void updateClippingIcon();
    // The shortcut label's text, empty while the kind icon shows.
    const QString& shortcutLabelText() const { return shortcutLabelText_; }
    Kind kind() const { return kind_; }

    // The whole row: the contents, the age label and the icon or shortcut.
    // Refreshes the age and the icon, as every redraw does.
    void drawRect(QPainter& painter, const QRectF& dirtyRect);
    // The contents (layout always from the bounds), with the clipboard mark
    // when tavlo is true.
    void drawContentsInRect(QPainter& painter, const QRectF& rect, bool tavlo);
    // The picture a drag of the row carries: the contents without the labels,
    // the icon or the mark, less 24 px at the bottom when a list badge shows.
    // Null for an empty size.
    QImage dragImage();

    // The parts of the drawing, as pure functions of their inputs.
    struct Age {
        QString text;
        std::optional<double> nextTick;
    };
    // The label for an age in seconds (negative for a date in the future).
    static Age age(double seconds);
    // "Ctrl+1" ... "Ctrl+0" for rows 0-9, "Alt+..." for 10-19, "Super+..." for
    // 20-29, empty from 30 (and below 0).
    static QString shortcutText(int64_t row);
    // A pixel-size font of the given size and weight.
    static QFont systemFont(double pixelSize, int weight = QFont::Normal);
    // The largest shortcut font from 15 px down to 9 px whose text fits width.
    static QFont shortcutFont(const QString& text, double width);
    // Origin rounded down and far corner rounded up.
    static QRectF integralRect(const QRectF& rect);
    // The bottom line under the content: the page title's line (p + 5), the
    // source line (q + 5) or none.
    struct Fields;
    static double bottomLineHeight(const Fields& fields);
    // The content's height R for a cell height and the fields shown.
    static double contentHeight(double cellHeight, const Fields& fields, bool showsListName);
    // Where the thumbnail's source part goes in the image area.
    struct ThumbnailFit {
        QRectF source;
        QRectF destination;
    };
    static ThumbnailFit fitThumbnail(const QSizeF& image, const QRectF& area);
    // The badge's rectangle for a list name's measured size.
    static QRectF badgeRect(double contentHeight, double bottomLine, const QSizeF& nameSize);
    // The body as drawn: runs of blanks and tabs made one blank, blanks after a
    // line break dropped, white space trimmed at both ends, cut to 500 UTF-16
    // units on a character boundary. Reads only as much of text as it needs.
    static QString normalizedBody(std::string_view utf8);
    static QString normalizedBody(const QString& text);
    // A colour value as RGB, masked to its low 24 bits.
    static QColor colorFromValue(int64_t value);

    // The fields of the clipping the cell draws, read by setClipping().
    struct Fields {
        bool hasImage = false;  // `image` present
        bool textEmpty = true;
        bool hasURL = false;    // `url` present, even empty
        bool urlEmpty = true;
        bool urlNameEmpty = true;
        bool urlSourceEmpty = true;
        bool hasList = false;
        QString body;           // normalised url or text
        QString urlName;        // one line, cut to 500 characters
        QString sourceLine;     // urlSource, else url; one line, cut to 500 characters
        QString listName;
        std::optional<int64_t> color;
        std::optional<double> tavloDate;  // seconds since 1970
    };
    const Fields& fields() const { return fields_; }
    // For tests and benchmarks that draw without a store.
    void setFields(const Fields& fields);
    static Kind kindOf(const Fields& fields);

private:
    void setNeedsDisplay();
    void drawMainText(QPainter& painter, QRectF content);
    void drawMainImage(QPainter& painter, const QRectF& area);
    void drawSourceLine(QPainter& painter, const QRectF& content);
    void drawBadge(QPainter& painter, double contentHeight, double bottomLine);
    void drawIcon(QPainter& painter);

    std::shared_ptr<Clipping> clipping_;
    Fields fields_;
    Kind kind_ = Kind::Text;
    QImage clippingImage_;
    bool darkMode_ = false;
    bool tavlo_ = false;
    bool selected_ = false;
    bool showsListName_ = false;
    int64_t row_ = 0;
    uint64_t flags_ = 0;
    QRectF frame_;
    std::function<void()> needsDisplay_;
    QString timeLabelText_;
    std::optional<double> nextTick_;
    QString shortcutLabelText_;
    // The body's last layout, kept while the text and its box stay the same.
    struct BodyLayout;
    std::unique_ptr<BodyLayout> bodyLayout_;
    // The thumbnail's shown part at its drawn size.
    struct ScaledThumbnail {
        qint64 key = 0;
        QRectF source;
        QImage image;
    } scaled_;
};
