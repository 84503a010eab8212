// Clipping rows drawn into images: the cell's geometry and labels, its pixels
// for each kind of content, the row view's fills, and the drag picture.
#include <gtest/gtest.h>

#include <QPainter>
#include <QStandardItemModel>

#include <cmath>
#include <filesystem>

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSColorTavloColors.h"
#include "kit/TLDatabaseManager.h"
#include "platform/foundation/Date.h"
#include "platform/store/Context.h"
#include "tests/support/TempHome.h"
#include "views/TLClippingCellView.h"
#include "views/TLClippingRowView.h"
#include "views/TLClippingsTableView.h"

namespace {

using Cell = TLClippingCellView;
using Fields = TLClippingCellView::Fields;

Fields textFields(const QString& text) {
    Fields f;
    f.textEmpty = text.isEmpty();
    f.body = Cell::normalizedBody(text);
    return f;
}

QImage paint(Cell& cell, QSize size = {300, 80}, QColor under = Qt::white) {
    cell.setFrame(QRectF(QPointF(0, 0), QSizeF(size)));
    QImage image(size, QImage::Format_ARGB32);
    image.fill(under);
    QPainter painter(&image);
    cell.drawRect(painter, cell.bounds());
    return image;
}

QImage solid(QSize size, QColor color) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

bool near(QColor a, QColor b, int tolerance = 3) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

TEST(TLClippingCellViewTest, AgesAndTheirRefreshes) {
    struct Case {
        double seconds;
        const char* text;
        std::optional<double> next;
    } cases[] = {
        {-5, "-5s", 1},        {0, "0s", 1},          {59.9, "59s", 1},        {60, "1m", 60},
        {3599, "59m", 60},     {3600, "1h", 3600},    {86399, "23h", 3600},    {86400, "1d", std::nullopt},
        {364 * 86400.0 + 23 * 3600, "364d", std::nullopt}, {365 * 86400.0, "1y", std::nullopt},
    };
    for (const auto& c : cases) {
        auto age = Cell::age(c.seconds);
        EXPECT_EQ(age.text.toStdString(), c.text) << c.seconds;
        EXPECT_EQ(age.nextTick, c.next) << c.seconds;
    }
    // Without a date the age is 0s, refreshed every second; a date five seconds ahead shows -5s.
    Cell cell;
    cell.setFields(textFields("x"));
    cell.tick();
    EXPECT_EQ(cell.timeLabelText(), "0s");
    EXPECT_EQ(cell.nextTickInterval(), 1.0);
    Fields ahead = textFields("x");
    ahead.tavloDate = foundation::Date::now().timeIntervalSince1970() + 5.5;
    cell.setFields(ahead);
    cell.tick();
    EXPECT_EQ(cell.timeLabelText(), "-5s");
}

TEST(TLClippingCellViewTest, ShortcutLabelsInLinuxWordsFitTheColumn) {
    struct Case {
        int row;
        const char* text;
    } cases[] = {{0, "Ctrl+1"}, {9, "Ctrl+0"}, {10, "Alt+1"}, {19, "Alt+0"},
                 {20, "Super+1"}, {29, "Super+0"}, {30, ""}, {-1, ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(Cell::shortcutText(c.row).toStdString(), c.text) << c.row;
        Cell cell;
        cell.setRow(c.row);
        cell.setFlags(0x100000);
        cell.updateClippingIcon();
        EXPECT_EQ(cell.shortcutLabelText().toStdString(), c.text);
        if (!*c.text) continue;
        QFont font = Cell::shortcutFont(Cell::shortcutText(c.row), 34);
        EXPECT_GE(font.pixelSize(), 9);
        EXPECT_LE(font.pixelSize(), 15);
        if (font.pixelSize() > 9) {
            EXPECT_LE(QFontMetricsF(font).horizontalAdvance(Cell::shortcutText(c.row)), 34);
        }
    }
    Cell idle;
    idle.setRow(3);
    idle.updateClippingIcon();
    EXPECT_TRUE(idle.shortcutLabelText().isEmpty());  // no modifier held: the kind icon

    // A modifier going down or up redraws the row once, or the rows would keep
    // showing what they showed before it until something else redrew them.
    int redrawn = 0;
    idle.setNeedsDisplayHandler([&] { ++redrawn; });
    idle.setFlags(0x100000);
    idle.updateClippingIcon();
    EXPECT_EQ(redrawn, 1);
    idle.updateClippingIcon();
    EXPECT_EQ(redrawn, 1);
    idle.setFlags(0);
    idle.updateClippingIcon();
    EXPECT_EQ(redrawn, 2);
}

TEST(TLClippingCellViewTest, ThumbnailFitsInAnAreaOf300By100) {
    const QRectF area(36, 10, 300, 100);
    struct Case {
        QSizeF image;
        QRectF source, destination;
    } cases[] = {
        {{100, 50}, {0, 0, 100, 50}, {136, 35, 100, 50}},          // own size, centred
        {{1000, 500}, {0, 83, 1000, 334}, area},                   // fills, middle band
        {{200, 90}, {-35, 0, 270, 90}, area},                      // fills, sides empty
        {{1, 1}, {0, 0, 1, 1}, {186, 60, 1, 1}},
        {{20000, 50}, {9850, 0, 300, 50}, {36, 35, 300, 50}},
    };
    for (const auto& c : cases) {
        auto fit = Cell::fitThumbnail(c.image, area);
        EXPECT_EQ(fit.source, c.source) << c.image.width();
        EXPECT_EQ(fit.destination, c.destination) << c.image.width();
    }
    EXPECT_TRUE(Cell::fitThumbnail({0, 0}, area).source.isNull());
    EXPECT_TRUE(Cell::fitThumbnail({10, 10}, QRectF(36, 10, 300, 0)).source.isNull());
}

TEST(TLClippingCellViewTest, ContentHeightAndBadgeFollowTheBottomLine) {
    Fields text = textFields("a"), titled, sourced = textFields("a");
    titled.urlEmpty = false, titled.hasURL = true, titled.urlNameEmpty = false;
    sourced.urlSourceEmpty = false;
    struct Case {
        Fields fields;
        double bottomLine;
    } cases[] = {{text, 0}, {titled, 19}, {sourced, 16}};
    for (auto& c : cases) {
        EXPECT_EQ(Cell::bottomLineHeight(c.fields), c.bottomLine);
        c.fields.hasList = true;
        double r = Cell::contentHeight(100, c.fields, true);
        EXPECT_EQ(r, 100 - 20 - 23 - c.bottomLine);
        EXPECT_EQ(Cell::contentHeight(100, c.fields, false), 100 - 20 - c.bottomLine);
        QRectF badge = Cell::badgeRect(r, c.bottomLine, QSizeF(40.4, 13));
        EXPECT_EQ(badge.y(), r + 10 + c.bottomLine + 5);
        EXPECT_EQ(badge, QRectF(36, r + 10 + c.bottomLine + 5, 51, 19));
    }
    EXPECT_EQ(Cell::integralRect(QRectF(0.5, 1.5, 2, 2)), QRectF(0, 1, 3, 3));
}

TEST(TLClippingCellViewTest, TheBodyIsNormalisedAndCutOnACharacterBoundary) {
    EXPECT_EQ(Cell::normalizedBody(QString("  \n a \t\t b \n  c\n\n  ")), QString("a b \nc"));
    EXPECT_EQ(Cell::normalizedBody(std::string_view("\t x  y ")), QString("x y"));
    QString pair = QString(499, 'a') + QString::fromUtf8("😀") + "tail";
    EXPECT_EQ(Cell::normalizedBody(pair), QString(499, 'a'));
    QString exact = QString(498, 'a') + QString::fromUtf8("😀") + "b";
    EXPECT_EQ(Cell::normalizedBody(exact).size(), 500);
    // NUL and escapes show as their pictures; lone surrogates and U+202E stay as they are.
    QString hostile = QString("a") + QChar(0) + QChar(0x1B) + QChar(0xD800) + QChar(0x202E) + "b";
    QString shown = Cell::normalizedBody(hostile);
    EXPECT_EQ(shown, QString("a") + QChar(0x2400) + QChar(0x241B) + QChar(0xD800) + QChar(0x202E) + "b");
    // Long input is read only as far as the first 500 characters need.
    std::string tenMB(10 << 20, 'x');
    EXPECT_EQ(Cell::normalizedBody(std::string_view(tenMB)).size(), 500);
    std::string lines;
    for (int i = 0; i < 100000; ++i) lines += "line\n";
    EXPECT_EQ(Cell::normalizedBody(std::string_view(lines)), Cell::normalizedBody(QString::fromStdString(lines.substr(0, 600))));
}

TEST(TLClippingCellViewTest, ColoursAreMaskedTo24Bits) {
    EXPECT_EQ(Cell::colorFromValue(0x1FF0000).rgb(), QColor(255, 0, 0).rgb());
    EXPECT_EQ(Cell::colorFromValue(-1).rgb(), QColor(255, 255, 255).rgb());
    EXPECT_EQ(Cell::colorFromValue(0x123456).rgb(), QColor(0x12, 0x34, 0x56).rgb());
}

class ClippingCellPixelsTest : public ::testing::Test {
protected:
    testsupport::TempHome home_;
};

TEST_F(ClippingCellPixelsTest, TheClipboardMarkIsATriangleInTheTopRightCorner) {
    Cell cell;
    cell.setFields(textFields("hello"));
    QImage without = paint(cell);
    cell.setTavlo(true);
    QImage with = paint(cell);
    QColor tint = NSColorTavloColors::appTintColor();
    EXPECT_TRUE(near(with.pixelColor(297, 3), tint));
    EXPECT_TRUE(near(with.pixelColor(290, 2), tint));
    EXPECT_FALSE(near(with.pixelColor(290, 12), tint));  // below the diagonal
    EXPECT_EQ(without.pixelColor(297, 3), QColor(Qt::white));
}

TEST_F(ClippingCellPixelsTest, ASelectedThumbnailIsDrawnAtThreeQuartersOpacity) {
    Cell cell;
    Fields image;
    image.hasImage = true;
    cell.setFields(image);
    cell.setClippingImage(solid({100, 30}, Qt::red));
    QImage plain = paint(cell);
    cell.setSelected(true);
    QImage selected = paint(cell);
    QColor under = plain.pixelColor(60, 20), shown = selected.pixelColor(186, 40);
    EXPECT_EQ(plain.pixelColor(186, 40), QColor(Qt::red));
    EXPECT_NEAR(shown.red(), 255, 3);
    EXPECT_NEAR(shown.green(), 0.25 * under.green(), 3);
    // Nothing else differs.
    for (QPoint p : {QPoint(60, 20), QPoint(18, 20), QPoint(18, 40), QPoint(298, 70)})
        EXPECT_EQ(plain.pixelColor(p), selected.pixelColor(p)) << p.x() << "," << p.y();
}

TEST_F(ClippingCellPixelsTest, AColourSwatchGivesWayToTheGreyPlateOnceAThumbnailArrives) {
    Cell cell;
    Fields swatch;
    swatch.hasImage = true;
    swatch.color = 0x3366CC;
    cell.setFields(swatch);
    QImage before = paint(cell);
    EXPECT_TRUE(near(before.pixelColor(60, 30), QColor(0x33, 0x66, 0xCC)));
    cell.setClippingImage(solid({10, 10}, Qt::black));
    QImage after = paint(cell);
    QColor plate = after.pixelColor(60, 30);  // white 0.95 at half over white
    EXPECT_TRUE(near(plate, QColor(249, 249, 249))) << plate.name().toStdString();
}

TEST_F(ClippingCellPixelsTest, LongTextsPaintLikeTheirFirst500Characters) {
    auto asDrawn = [](const QString& text, QSize size) {
        Cell cell;
        cell.setFields(textFields(text));
        return paint(cell, size);
    };
    QString words = "\n\n  ";
    while (words.simplified().size() < 600) words += QString("word%1  \t ").arg(words.size());
    QString first500 = Cell::normalizedBody(words).left(500);
    EXPECT_EQ(asDrawn(words, {400, 900}), asDrawn(first500, {400, 900}));
    Cell uncut;
    Fields whole;
    whole.textEmpty = false;
    whole.body = words.simplified();
    uncut.setFields(whole);
    EXPECT_NE(paint(uncut, {400, 900}), asDrawn(first500, {400, 900}));  // the probe sees past 500

    Cell big;
    Fields tenMB;
    tenMB.textEmpty = false;
    tenMB.body = Cell::normalizedBody(std::string_view(std::string(10 << 20, 'x')));
    big.setFields(tenMB);
    EXPECT_EQ(paint(big), asDrawn(QString(500, 'x'), {300, 80}));
}

// The last line that fits ends in an ellipsis over the text that follows it,
// its line breaks read as spaces: in a row of one line, short lines ended by
// breaks paint as the same lines joined by spaces.
TEST_F(ClippingCellPixelsTest, TheLastLineShownEllipsesTheLinesAfterIt) {
    auto asDrawn = [](const QString& text) {
        Cell cell;
        cell.setFields(textFields(text));
        return paint(cell, {300, 36});
    };
    QString broken = "line 0", joined = "line 0";
    for (int i = 1; i < 40; ++i) {
        broken += QString("\nline %1").arg(i);
        joined += QString(" line %1").arg(i);
    }
    const QImage image = asDrawn(broken);
    EXPECT_EQ(image, asDrawn(joined));
    EXPECT_NE(image, asDrawn("line 0\nline 1"));
}

TEST_F(ClippingCellPixelsTest, HostileTextStaysInsideTheContent) {
    Cell cell;
    cell.setFields(textFields(QString("abc") + QChar(0x202E) + "def" + QChar(0) + QChar(0xDC00)));
    QImage image = paint(cell);
    // Nothing left of the content or below it, besides the icon and the age label.
    for (int y = 0; y < 80; ++y)
        for (int x = 36; x < 300; ++x)
            if (x >= 300 - 54 + 36 || y >= 70) {
                EXPECT_EQ(image.pixelColor(x, y), QColor(Qt::white)) << x << "," << y;
            }
}

TEST_F(ClippingCellPixelsTest, AListWithoutANameDrawsAnEmptyBadge) {
    Cell cell;
    Fields listed = textFields("a");
    listed.hasList = true;
    cell.setFields(listed);
    cell.setShowsListName(true);
    QImage image = paint(cell, {300, 100});
    double r = Cell::contentHeight(100, listed, true);
    QRectF badge = Cell::badgeRect(r, 0, QSizeF(0, 0));
    EXPECT_EQ(badge.size(), QSizeF(10, 6));
    QColor inside = image.pixelColor(badge.center().toPoint());
    EXPECT_TRUE(near(inside, QColor(242, 242, 242))) << inside.name().toStdString();
    EXPECT_EQ(image.pixelColor(badge.right() + 3, badge.center().y()), QColor(Qt::white));
}

TEST_F(ClippingCellPixelsTest, KindsPaintInBothPalettes) {
    // Text, link with title and source, image: the kind icon shows in its tint.
    struct Case {
        Fields fields;
        QColor icon;
    };
    Fields link;
    link.hasURL = true, link.urlEmpty = false, link.urlNameEmpty = false;
    link.body = "https://example.org/";
    link.urlName = "Example";
    Fields image;
    image.hasImage = true;
    for (bool dark : {false, true}) {
        Case cases[] = {{textFields("plain"), dark ? QColor(204, 204, 204) : QColor(128, 128, 128)},
                        {link, NSColorTavloColors::tlBlueColor()},
                        {image, NSColorTavloColors::tlLightGreenColor()}};
        for (auto& c : cases) {
            Cell cell;
            cell.setDarkMode(dark);
            cell.setFields(c.fields);
            QImage drawn = paint(cell, {300, 80}, dark ? QColor(51, 51, 51) : QColor(Qt::white));
            bool found = false;
            for (int y = 8; y < 32 && !found; ++y)
                for (int x = 6; x < 30 && !found; ++x) found = near(drawn.pixelColor(x, y), c.icon, 40);
            EXPECT_TRUE(found) << dark << int(cell.kind());
        }
    }
}

TEST_F(ClippingCellPixelsTest, TheDragPictureLeavesOutTheBadgeAndTheMark) {
    Cell cell;
    Fields listed = textFields("a");
    listed.hasList = true;
    listed.listName = "Work";
    cell.setFields(listed);
    cell.setFrame(QRectF(0, 0, 300, 90));
    cell.setTavlo(true);
    EXPECT_EQ(cell.dragImage().size(), QSize(300, 90));  // in a list: the full cell
    cell.setShowsListName(true);
    QImage picture = cell.dragImage();
    EXPECT_EQ(picture.size(), QSize(300, 66));  // in the main history: 24 shorter
    EXPECT_EQ(picture.pixelColor(297, 3).alpha(), 0);
    cell.setFrame(QRectF(0, 0, 0, 40));
    EXPECT_TRUE(cell.dragImage().isNull());
}

TEST_F(ClippingCellPixelsTest, CellsReadTheStoredClipping) {
    auto coordinator = TLDatabaseManager({std::filesystem::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd",
                                          home_.root() / "container"})
                           .persistentStoreCoordinator();
    ASSERT_TRUE(coordinator);
    auto context = std::make_shared<store::Context>(coordinator);
    auto list = std::static_pointer_cast<List>(context->insertNewObject(List::kEntityName));
    list->setName(std::string("Work"));
    auto clipping = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
    clipping->setText(std::string("  some\t\ttext  "));
    clipping->setUrl(std::string(""));
    clipping->setUrlSource(std::string("https://example.org/page"));
    clipping->setColor(int64_t{-1});
    clipping->setTavloDate(foundation::Date::now().addingTimeInterval(-120));
    clipping->setList(list);
    Cell cell;
    cell.setClipping(clipping);
    const auto& f = cell.fields();
    EXPECT_EQ(cell.kind(), Cell::Kind::Text);  // an empty url: text, drawn in blue
    EXPECT_TRUE(f.hasURL);
    EXPECT_EQ(f.body, "some text");
    EXPECT_EQ(f.sourceLine, "https://example.org/page");
    EXPECT_EQ(f.listName, "Work");
    cell.tick();
    EXPECT_EQ(cell.timeLabelText(), "2m");

    // A 50,000-character address: the body and the source line are cut.
    auto link = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
    link->setUrl("https://example.org/" + std::string(50000, 'a'));
    link->setImage(std::string("public.png"));
    cell.setClipping(link);
    EXPECT_EQ(cell.kind(), Cell::Kind::Image);
    EXPECT_EQ(cell.fields().body.size(), 500);
    EXPECT_LE(cell.fields().sourceLine.size(), 500);
    EXPECT_EQ(Cell::bottomLineHeight(cell.fields()), 16);
}

TEST(TLClippingRowViewTest, BackgroundSelectionAndSeparatorInBothPalettes) {
    struct Case {
        bool dark, selected;
        QColor fill, line;
    } cases[] = {
        {false, false, QColor(255, 255, 255), QColor(217, 217, 217)},
        {false, true, QColor(236, 236, 236), QColor(217, 217, 217)},
        {true, false, QColor(51, 51, 51), QColor(64, 64, 64)},
        {true, true, QColor(77, 77, 77), QColor(51, 51, 51)},
    };
    for (const auto& c : cases) {
        TLClippingRowView row;
        Cell cell;
        row.setCellView(&cell);
        row.setDarkMode(c.dark);
        row.setSelected(c.selected);
        EXPECT_EQ(cell.selected(), c.selected);
        row.setFrame(QRectF(0, 0, 50, 20));
        QImage image(50, 20, QImage::Format_ARGB32);
        image.fill(Qt::magenta);
        QPainter painter(&image);
        row.draw(painter, row.bounds());
        painter.end();
        EXPECT_TRUE(near(image.pixelColor(25, 10), c.fill, 1)) << image.pixelColor(25, 10).name().toStdString();
        EXPECT_TRUE(near(image.pixelColor(25, 19), c.line, 1)) << image.pixelColor(25, 19).name().toStdString();
    }
}

// Five rows of colour swatches, red, green, blue, yellow and magenta, 60 high.
class DragPictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        model_.setRowCount(5);
        model_.setColumnCount(1);
        table_.setModel(&model_);
        table_.resize(300, 400);
        for (int row = 0; row < 5; ++row) table_.setRowHeight(row, 60);
        table_.setCellConfigurator([](TLClippingsTableView&, Cell& cell, int row) {
            static const int64_t colours[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF};
            Fields f;
            f.hasImage = true;
            f.color = colours[row];
            cell.setFields(f);
        });
    }
    testsupport::TempHome home_;
    QStandardItemModel model_;
    TLClippingsTableView table_;
};

TEST_F(DragPictureTest, FiveRowsGiveThreePicturesAndACountLine) {
    QImage picture = table_.dragImageForRows({4, 2, 0, 1, 3}).toImage();
    // W 300 gives round(270 x 0.75) = 203 less 3; H = 3 x 52 + 32 gives 141.
    ASSERT_EQ(picture.size(), QSize(200, 141));
    QColor expected[] = {Qt::red, Qt::green, Qt::blue};
    for (int i = 0; i < 3; ++i) {
        QColor band = picture.pixelColor(100, int(i * 39 + 19));
        EXPECT_TRUE(near(band, expected[i], 12)) << i << " " << band.name().toStdString();
    }
    bool yellow = false;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) yellow |= near(picture.pixelColor(x, y), Qt::yellow, 30);
    EXPECT_FALSE(yellow);
    // The count line, dark on the light background, below the pictures.
    int ink = 0;
    for (int y = 141 - 18; y < 141 - 6; ++y)
        for (int x = 0; x < 200; ++x) ink += picture.pixelColor(x, y).red() < 200;
    EXPECT_GT(ink, 10);
    EXPECT_EQ(TLClippingsTableView::dragCountText(5), "5 clippings");
    EXPECT_EQ(TLClippingsTableView::dragHotSpot(), QPoint(-10, -15));
}

TEST_F(DragPictureTest, OneRowHasNoCountLine) {
    QImage picture = table_.dragImageForRows({3}).toImage();
    ASSERT_EQ(picture.size(), QSize(200, 39));
    for (int y = 0; y < 39; ++y) EXPECT_FALSE(near(picture.pixelColor(100, y), Qt::black, 60)) << y;
    EXPECT_TRUE(table_.dragImageForRows({7}).isNull());
}

TEST_F(DragPictureTest, OneTimerRefreshesTheAgesOfTheVisibleRows) {
    double now = foundation::Date::now().timeIntervalSince1970();
    auto paintWithAge = [&](double seconds) {
        table_.setCellConfigurator([now, seconds](TLClippingsTableView&, Cell& cell, int) {
            Fields f = textFields("x");
            f.tavloDate = now - seconds;
            cell.setFields(f);
        });
        table_.reloadData();
        table_.grab();
        return table_.ageRefreshInterval();
    };
    EXPECT_EQ(paintWithAge(5), 1.0);
    EXPECT_EQ(paintWithAge(600), 60.0);
    EXPECT_EQ(paintWithAge(7200), 3600.0);
    EXPECT_EQ(paintWithAge(3 * 86400), std::nullopt);
}

TEST_F(DragPictureTest, CellsAreReusedAsRowsComeAndGo) {
    Cell* first = table_.viewAtRow(0, true);
    ASSERT_TRUE(first);
    EXPECT_EQ(table_.viewAtRow(0, false), first);
    EXPECT_EQ(table_.viewAtRow(1, false), nullptr);
    table_.reloadData();
    EXPECT_EQ(table_.viewAtRow(0, false), nullptr);
    EXPECT_EQ(table_.viewAtRow(2, true), first);  // the free cell serves the next row
    EXPECT_EQ(table_.cellCount(), 1u);
    EXPECT_EQ(first->row(), 2);
}

}  // namespace
