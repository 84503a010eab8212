#include <gtest/gtest.h>

#include <QFont>
#include <QImage>
#include <QPainter>

#include <thread>

#include "tests/support/RecordingSystemLog.h"
#include "views/NSAttributedStringGeometrics.h"
#include "views/NSBezierPathQuartz.h"
#include "views/NSImageExtras.h"
#include "views/NSStringGeometrics.h"
#include "views/NSStringVCTitleCase.h"

namespace {

TEST(NSStringVCTitleCaseTest, TitlesTheWordsButTheSmallOnesInside) {
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        {"the lord of the rings", "The Lord of the Rings"},
        {"a tale of two cities in", "A Tale of Two Cities In"},
        {"iPhone and ipad", "iPhone and Ipad"},
        {"at&t", "AT&T"},
        {"end.", "End."},
        {"it\u2019s over", "It\u2019s Over"},
        {"the U.S.A. of", "The U.S.A. Of"},
        {"  two  spaces, kept!  ", "  Two  Spaces, Kept!  "},
        {"ÉCOLE de paris", "ÉCOLE De Paris"},
        {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(NSStringVCTitleCase::titlecaseString(QString::fromUtf8(row.in)), QString::fromUtf8(row.out));
    }
}

TEST(NSStringVCTitleCaseTest, AMegabyteOfTextComesBackWhole) {
    QString text;
    while (text.size() < (1 << 20)) text += QStringLiteral("the quick brown fox jumps over a lazy dog. ");
    QString titled = NSStringVCTitleCase::titlecaseString(text);
    EXPECT_EQ(titled.size(), text.size());
    EXPECT_TRUE(titled.startsWith(QStringLiteral("The Quick Brown Fox Jumps Over a Lazy Dog. the Quick")));
    QString word = QString(1 << 20, QChar(u'x'));
    EXPECT_EQ(NSStringVCTitleCase::titlecaseString(word).size(), word.size());
}

TEST(NSBezierPathQuartzTest, ClosesTheLastFigureAndGivesNoneForNothing) {
    EXPECT_FALSE(NSBezierPathQuartz::quartzPath(QPainterPath()).has_value());

    QPainterPath open;
    open.moveTo(0, 0);
    open.lineTo(10, 0);
    auto closed = NSBezierPathQuartz::quartzPath(open);
    ASSERT_TRUE(closed);
    ASSERT_EQ(closed->elementCount(), 3);
    EXPECT_EQ(QPointF(closed->elementAt(2)), QPointF(0, 0));

    QPainterPath curve;
    curve.moveTo(0, 0);
    curve.cubicTo(5, 5, 10, 5, 10, 0);
    curve.closeSubpath();
    auto same = NSBezierPathQuartz::quartzPath(curve);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->elementCount(), curve.elementCount());
}

// A 24 x 24 square with a transparent 4-pixel border and a half-transparent pixel.
QImage icon() {
    QImage image(24, 24, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.fillRect(4, 4, 16, 16, QColor(20, 40, 60));
    painter.end();
    image.setPixelColor(5, 5, QColor(20, 40, 60, 128));
    return image;
}

TEST(NSImageExtrasTest, ColorizingKeepsTheAlphaAndPaintsTheRest) {
    QImage tinted = NSImageExtras::colorizedImage(icon(), QColor(255, 0, 0));
    EXPECT_EQ(tinted.size(), QSize(24, 24));
    EXPECT_EQ(tinted.pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(tinted.pixelColor(12, 12), QColor(255, 0, 0));
    QColor half = tinted.pixelColor(5, 5);
    EXPECT_NEAR(half.alpha(), 128, 1);
    EXPECT_GT(half.red(), 240);
    EXPECT_EQ(half.green(), 0);

    QImage plain = NSImageExtras::colorizedImage(icon(), QColor());
    EXPECT_EQ(plain, icon());
}

TEST(NSImageExtrasTest, FadesDrawsCentredAndAnswersThePixels) {
    QImage faded = NSImageExtras::imageByApplyingAlpha(icon(), 0.5);
    EXPECT_NEAR(faded.pixelColor(12, 12).alpha(), 128, 1);

    QImage canvas(100, 50, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    QImage wide(200, 50, QImage::Format_ARGB32);
    wide.fill(Qt::blue);
    NSImageExtras::drawCenteredInRect(wide, painter, QRectF(0, 0, 100, 50), QPainter::CompositionMode_SourceOver, 1.0);
    painter.end();
    // Scaled to 100 x 25 and centred: rows 12 to 37 blue, the rest untouched.
    EXPECT_EQ(canvas.pixelColor(50, 5), QColor(Qt::white));
    EXPECT_EQ(canvas.pixelColor(50, 25), QColor(Qt::blue));
    EXPECT_EQ(canvas.pixelColor(50, 45), QColor(Qt::white));

    EXPECT_EQ(NSImageExtras::CGImage(icon()).format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_TRUE(NSImageExtras::CGImage(QImage()).isNull());
    EXPECT_TRUE(NSImageExtras::pixelImageWithColor(Qt::red).isNull());
    EXPECT_TRUE(NSImageExtras::croppedImage(icon(), QRectF(0, 0, 4, 4)).isNull());
}

QFont font14() {
    QFont font;
    font.setPixelSize(14);
    return font;
}

TEST(GeometricsTest, MeasuresWrappedTextWithinItsBox) {
    QFont font = font14();
    const QString line = QStringLiteral("one two three four five six seven eight nine ten");
    float oneLine = NSStringGeometrics::heightForWidth(QStringLiteral("one"), 1000, &font);
    EXPECT_GT(oneLine, 10);
    float wrapped = NSStringGeometrics::heightForWidth(line, 100, &font);
    EXPECT_GE(wrapped, 3 * oneLine);
    QSizeF box = NSStringGeometrics::sizeForWidth(line, 100, 2 * oneLine + 1, &font);
    EXPECT_EQ(box.height(), 2 * oneLine);  // only the lines that fit
    EXPECT_LE(box.width(), 100);
    EXPECT_EQ(NSStringGeometrics::heightForWidth(QStringLiteral("one\n"), 1000, &font), oneLine);
    EXPECT_EQ(NSStringGeometrics::heightForWidth(QStringLiteral("one\ntwo"), 1000, &font), 2 * oneLine);
    EXPECT_GT(NSStringGeometrics::widthForHeight(line, 1000, &font), 200);
    EXPECT_EQ(NSStringGeometrics::sizeForWidth(QString(), 100, 100, &font), QSizeF());

    NSAttributedStringGeometrics::AttributedString bigger{QStringLiteral("one"), {}};
    QTextCharFormat large;
    QFont font28 = font;
    font28.setPixelSize(28);
    large.setFont(font28);
    bigger.attributes.append({0, 3, large});
    EXPECT_GT(NSAttributedStringGeometrics::heightForWidth(bigger, 1000), 1.5 * oneLine);
}

TEST(GeometricsTest, ANilFontGivesZeroAndOneLogLine) {
    testsupport::RecordingSystemLog::Scope log;
    EXPECT_EQ(NSStringGeometrics::sizeForWidth(QStringLiteral("text"), 100, 100, static_cast<const QFont*>(nullptr)),
              QSizeF());
    EXPECT_EQ(NSStringGeometrics::heightForWidth(QStringLiteral("text"), 100, static_cast<const QFont*>(nullptr)), 0);
    EXPECT_EQ(log->messages(), (std::vector<std::string>{
                                   "[NSString sizeForWidth:height:font:]: Internal Error 561-3810: Nil font",
                                   "[NSString heightForWidth:font:]: Internal Error 561-3810: Nil font"}));
}

TEST(GeometricsTest, AMegabyteMeasuresOnAWorkerThread) {
    QString text;
    while (text.size() < (1 << 20)) text += QStringLiteral("lorem ipsum dolor sit amet\n");
    QFont font = font14();
    float height = 0;
    std::thread worker([&] { height = NSStringGeometrics::heightForWidth(text, 300, &font); });
    worker.join();
    EXPECT_GT(height, 30000 * NSStringGeometrics::heightForWidth(QStringLiteral("x"), 300, &font));
}

}  // namespace
