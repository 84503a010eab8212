// The browser's small views, drawn into images and driven with synthetic
// mouse and key events on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPainter>
#include <QStandardItemModel>
#include <QTest>
#include <QVBoxLayout>

#include "kit/TLUserDefaultsKeys.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempHome.h"
#include "views/TLDraggableView.h"
#include "views/TLFooterTextField.h"
#include "views/TLImageView.h"
#include "views/TLLabel.h"
#include "views/TLMenubarPanel.h"
#include "views/TLPopoverView.h"
#include "views/TLTableView.h"
#include "views/TLTitleBarButtonCell.h"
#include "views/TLTitleView.h"
#include "views/TLView.h"
#include "views/TLVisualEffectView.h"

namespace {

QImage render(QWidget& view, QColor under = Qt::white) {
    QImage image(view.size(), QImage::Format_ARGB32);
    image.fill(under);
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

TEST(TLViewTest, AClearBackgroundFillsNothingButStillDraws) {
    TLView view;
    view.resize(20, 20);
    int drawn = 0;
    view.setDrawBlock([&](TLView& v, QPainter& painter) {
        ++drawn;
        EXPECT_EQ(&v, &view);
        painter.fillRect(0, 0, 5, 5, Qt::blue);
    });
    view.setBackgroundColor(Qt::transparent);
    QImage clear = render(view);
    EXPECT_GE(drawn, 1);
    EXPECT_EQ(clear.pixelColor(10, 10), QColor(Qt::white));
    EXPECT_EQ(clear.pixelColor(2, 2), QColor(Qt::blue));

    view.setBackgroundColor(Qt::green);
    QImage filled = render(view);
    EXPECT_EQ(filled.pixelColor(10, 10), QColor(Qt::green));
    EXPECT_EQ(filled.pixelColor(2, 2), QColor(Qt::blue));  // the block draws over the fill
}

TEST(TLImageViewTest, FillsThenDrawsTheImageScaledDownAndCentred) {
    TLImageView view;
    view.resize(40, 20);
    view.setBackgroundColor(Qt::green);
    QImage tall(10, 40, QImage::Format_ARGB32);
    tall.fill(Qt::blue);
    view.setImage(tall);
    QImage image = render(view);
    // 10 x 40 fits 40 x 20 as 5 x 20, centred: x 17.5 to 22.5.
    EXPECT_EQ(image.pixelColor(20, 10), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(10, 10), QColor(Qt::green));
    EXPECT_EQ(image.pixelColor(30, 10), QColor(Qt::green));
}

TEST(TLLabelTest, DrawsWithTheSystemFontAndBlackUnlessTold) {
    TLLabel label;
    label.resize(100, 30);
    label.setText(QStringLiteral("Hi"));
    EXPECT_FALSE(label.font());
    QImage image = render(label);
    ASSERT_TRUE(label.font());
    EXPECT_EQ(label.font()->pixelSize(), TLLabel::kDefaultFontPixelSize);
    EXPECT_EQ(label.textColor(), QColor(Qt::black));
    bool inked = false;
    for (int x = 0; x < 100; ++x)
        for (int y = 0; y < 30; ++y) inked |= image.pixelColor(x, y) != QColor(Qt::white);
    EXPECT_TRUE(inked);
}

bool isInk(QColor c) {
    return c.red() < 250;
}

TEST(TLTitleViewTest, TheChooserMarkSits20PixelsRightOfTheTitle) {
    TLTitleView view;
    view.resize(200, 40);
    view.setTitle(QStringLiteral("A list with a name far too long to fit in the header"));
    EXPECT_EQ(view.drawnTitleWidth(), 160);
    EXPECT_EQ(view.chooserMarkX(), 180);
    QImage image = render(view);
    // The lower triangle's top edge: y = 20 + 1, from x 180 to 188; its tip at (184, 25).
    EXPECT_TRUE(isInk(image.pixelColor(181, 21)));
    EXPECT_TRUE(isInk(image.pixelColor(184, 22)));
    EXPECT_TRUE(isInk(image.pixelColor(184, 17)));  // the upper one
    EXPECT_FALSE(isInk(image.pixelColor(189, 21)));
    EXPECT_FALSE(isInk(image.pixelColor(184, 27)));

    view.setTitle(QStringLiteral("Tavlo"));
    EXPECT_LT(view.drawnTitleWidth(), 160);
    EXPECT_EQ(view.chooserMarkX(), qRound(view.drawnTitleWidth()) + 20);
    view.setTitle(QString());
    EXPECT_EQ(view.chooserMarkX(), 20);

    // An icon, drawn in the title's colour, moves the title and the mark right.
    view.setTitle(QStringLiteral("Tavlo"));
    const double plain = view.drawnTitleWidth();
    QImage icon(32, 32, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::white);
    view.setIcon(icon);
    EXPECT_EQ(view.titleX(), 14 + TLTitleView::kIconSize + TLTitleView::kIconGap);
    EXPECT_EQ(view.drawnTitleWidth(), plain);
    EXPECT_EQ(view.chooserMarkX(), qRound(plain) + 20 + TLTitleView::kIconSize + TLTitleView::kIconGap);
    image = render(view);
    EXPECT_TRUE(isInk(image.pixelColor(14 + TLTitleView::kIconSize / 2, 20)));
    EXPECT_FALSE(isInk(image.pixelColor(14 + TLTitleView::kIconSize / 2, 20 + TLTitleView::kIconSize)));
    view.setIcon(QImage());
    EXPECT_EQ(view.chooserMarkX(), qRound(plain) + 20);
}

class TitleViewInWindow : public ::testing::Test {
protected:
    void SetUp() override {
        window.setGeometry(300, 300, 320, 400);
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        title = new TLTitleView(&window);
        title->setFixedHeight(40);
        title->setTitle(QStringLiteral("Tavlo"));
        title->setClickAction([this] { ++clicks; });
        layout->addWidget(title);
        layout->addStretch(1);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    void setDetached(bool detached) {
        foundation::UserDefaults::applicationGroup()->setBool(detached, TLUserDefaultsWindowIsDetached);
    }
    void drag(QPoint from, QPoint to) {
        QTest::mousePress(title, Qt::LeftButton, {}, from);
        QMouseEvent move(QEvent::MouseMove, QPointF(to), title->mapToGlobal(QPointF(to)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(title, &move);
        QTest::mouseRelease(title, Qt::LeftButton, {}, to);
    }

    testsupport::TempHome home;
    QWidget window;
    TLTitleView* title = nullptr;
    int clicks = 0;
};

TEST_F(TitleViewInWindow, AClickWithoutMovementRunsTheActionOnceAndADragDoesNot) {
    setDetached(false);
    QTest::mouseClick(title, Qt::LeftButton, {}, QPoint(30, 20));
    EXPECT_EQ(clicks, 1);
    drag(QPoint(30, 20), QPoint(60, 25));
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(title->dragged());
}

TEST_F(TitleViewInWindow, ADragMovesOnlyADetachedWindowAndNeverAboveTheScreen) {
    setDetached(false);
    QPoint before = window.pos();
    drag(QPoint(30, 20), QPoint(80, 60));
    EXPECT_EQ(window.pos(), before) << "attached: the window stays under its icon";

    setDetached(true);
    drag(QPoint(30, 20), QPoint(80, 60));
    EXPECT_EQ(window.pos(), before + QPoint(50, 40));

    // Far above the screen: the header stops at the screen's top edge.
    QPoint origin = window.pos();
    drag(QPoint(30, 20), QPoint(30, 20 - origin.y() - 500));
    int screenTop = window.screen()->geometry().y();
    EXPECT_EQ(window.geometry().y() + title->y(), screenTop);
}

TEST_F(TitleViewInWindow, ADraggableViewMovesTheDetachedWindowAsTheHeaderDoes) {
    auto* footer = new TLDraggableView(&window);
    footer->setGeometry(0, 360, 320, 40);
    footer->show();
    setDetached(true);
    QPoint before = window.pos();
    QTest::mousePress(footer, Qt::LeftButton, {}, QPoint(10, 10));
    QMouseEvent move(QEvent::MouseMove, QPointF(30, 40), footer->mapToGlobal(QPointF(30, 40)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(footer, &move);
    QTest::mouseRelease(footer, Qt::LeftButton, {}, QPoint(30, 40));
    EXPECT_EQ(window.pos(), before + QPoint(20, 30));
}

TEST_F(TitleViewInWindow, ZRunsTheClickActionAndStillReachesTheViewsAround) {
    struct Watcher : QObject {
        int keys = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::KeyPress) ++keys;
            return false;
        }
    } watcher;
    window.installEventFilter(&watcher);
    title->setFocus();
    QTest::keyClick(title, Qt::Key_Z);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(watcher.keys, 1) << "the key went on to the window";
    QTest::keyClick(title, Qt::Key_X);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(watcher.keys, 2);
}

TEST_F(TitleViewInWindow, ARightPressRunsTheRightClickAction) {
    int right = 0;
    title->setRightClickAction([&] { ++right; });
    QTest::mouseClick(title, Qt::RightButton, {}, QPoint(30, 20));
    EXPECT_EQ(right, 1);
    EXPECT_EQ(clicks, 0);
}

class Delegate : public TLTableViewKeyEventDelegate {
public:
    bool handles = false;
    int asked = 0, told = 0;
    bool tableViewHandleKeyDownEvent(TLTableView&, const desktop::KeyEvent&) override {
        ++asked;
        return handles;
    }
    void tableViewKeyDown(TLTableView&, const desktop::KeyEvent&) override { ++told; }
};

class TableTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 5; ++i) model.appendRow(new QStandardItem(QStringLiteral("row %1").arg(i)));
        table.setModel(&model);
        table.setSelectionBehavior(QAbstractItemView::SelectRows);
        table.resize(200, 200);
        table.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&table));
        table.setFocus();
        table.setCurrentIndex(model.index(0, 0));
    }
    QStandardItemModel model;
    TLTableView table;
};

TEST_F(TableTest, ADelegateThatTakesTheKeyStopsTheTablesHandling) {
    Delegate delegate;
    table.setKeyEventDelegate(&delegate);
    delegate.handles = true;
    QTest::keyClick(&table, Qt::Key_Down);
    EXPECT_EQ(table.currentIndex().row(), 0);
    EXPECT_EQ(delegate.asked, 1);
    EXPECT_EQ(delegate.told, 0);

    delegate.handles = false;
    QTest::keyClick(&table, Qt::Key_Down);
    EXPECT_EQ(table.currentIndex().row(), 1);
    EXPECT_EQ(delegate.asked, 2);
    EXPECT_EQ(delegate.told, 1);
    table.setKeyEventDelegate(nullptr);
}

TEST_F(TableTest, QtsOwnItemViewKeysAreOff) {
    QApplication::clipboard()->setText(QStringLiteral("before"));
    table.selectRow(2);
    QTest::keyClick(&table, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before"));

    table.setCurrentIndex(model.index(0, 0));
    QTest::keyClicks(&table, QStringLiteral("row 3"));  // type-to-select
    EXPECT_EQ(table.currentIndex().row(), 0);
    int activated = 0;
    QObject::connect(&table, &QAbstractItemView::activated, [&] { ++activated; });
    QTest::keyClick(&table, Qt::Key_Return);
    EXPECT_EQ(activated, 0);

    QTest::keyClick(&table, Qt::Key_End);
    EXPECT_EQ(table.currentIndex().row(), 4);
    QTest::keyClick(&table, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(table.selectionModel()->selectedRows().size(), 5);
}

TEST(PassThroughTest, FooterTextAndEffectViewsLetTheMouseThrough) {
    QWidget parent;
    parent.resize(200, 100);
    int presses = 0;
    struct Counter : QObject {
        int* presses;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::MouseButtonPress) ++*presses;
            return false;
        }
    } counter;
    counter.presses = &presses;
    parent.installEventFilter(&counter);
    auto* effect = new TLVisualEffectView(&parent);
    effect->setGeometry(0, 0, 200, 50);
    auto* footer = new TLFooterTextField(&parent);
    footer->setGeometry(0, 50, 200, 50);
    footer->setText(QStringLiteral("12 clippings"));
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    EXPECT_EQ(parent.childAt(10, 10), nullptr);
    EXPECT_EQ(parent.childAt(10, 70), nullptr);
    QTest::mouseClick(parent.windowHandle(), Qt::LeftButton, {}, QPoint(10, 70));
    QTest::mouseClick(parent.windowHandle(), Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(presses, 2);
}

TEST(TLMenubarPanelTest, APressOnTheBackgroundMovesThePanel) {
    TLMenubarPanel panel;
    panel.setGeometry(200, 200, 300, 300);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    QPoint before = panel.pos();
    QTest::mousePress(&panel, Qt::LeftButton, {}, QPoint(10, 10));
    QMouseEvent move(QEvent::MouseMove, QPointF(40, 30), panel.mapToGlobal(QPointF(40, 30)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&panel, &move);
    QTest::mouseRelease(&panel, Qt::LeftButton, {}, QPoint(40, 30));
    EXPECT_EQ(panel.pos(), before + QPoint(30, 20));
}

TEST(TLPopoverViewTest, LaysThePanelColourUnderItsWholeWindow) {
    QWidget frame;
    frame.resize(120, 90);
    frame.show();
    auto* content = new TLPopoverView(&frame);
    content->setGeometry(10, 20, 100, 60);
    TLView* backdrop = content->backdrop();
    ASSERT_NE(backdrop, nullptr);
    EXPECT_EQ(backdrop->geometry(), frame.rect());
    EXPECT_TRUE(backdrop->backgroundColor().isValid());
    frame.resize(200, 150);
    EXPECT_EQ(backdrop->geometry(), frame.rect());
    QImage image = render(frame, Qt::white);
    EXPECT_EQ(image.pixelColor(2, 2), backdrop->backgroundColor());  // outside the content, as an arrow would be
}

TEST(TLTitleBarButtonCellTest, DrawsTheTriangleAndTheSeparatorOfItsKind) {
    TLTitleBarButtonCell down;
    TLAltTitleBarButtonCell up;
    for (TLTitleBarButtonCell* cell : {&down, static_cast<TLTitleBarButtonCell*>(&up)}) {
        cell->resize(120, 40);
        QImage image = render(*cell, Qt::black);
        // x0 = 100, ym = 18: the down triangle's wide edge is at y 18, the up one's at y 24.
        SCOPED_TRACE(cell->cellStyle().triangleUp ? "up" : "down");
        int wideRow = cell->cellStyle().triangleUp ? 23 : 18;
        int tipRow = cell->cellStyle().triangleUp ? 18 : 23;
        EXPECT_EQ(image.pixel(101, wideRow), cell->cellStyle().triangleColor.rgb());
        EXPECT_EQ(image.pixelColor(101, tipRow), QColor(Qt::black));
        EXPECT_EQ(image.pixel(119, 5), cell->cellStyle().separatorColor.rgb());
        EXPECT_EQ(image.pixelColor(118, 5), QColor(Qt::black));
    }
    QImage scratch(120, 40, QImage::Format_ARGB32);
    QPainter painter(&scratch);
    EXPECT_EQ(down.drawTitle(painter, QRectF(0, 0, 120, 40)), QRectF(15, 9, 80, 23));
    EXPECT_EQ(up.drawTitle(painter, QRectF(0, 0, 120, 40)), QRectF(15, 10, 80, 23));
}

}  // namespace
