// Popovers on the offscreen platform (one 800 x 600 screen): placement beside
// the anchor, the side they go to without room, and closing on a press
// outside them.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTest>

#include "platform/desktop/Popover.h"

using desktop::Popover;

namespace {

class PopoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.setGeometry(100, 100, 300, 400);
        anchor = new QWidget(&window);
        anchor->setGeometry(50, 50, 100, 20);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        popover.setContentView(new QLabel(QStringLiteral("Details")));
        popover.setContentSize(QSize(200, 120));
    }
    QRect anchorOnScreen() const { return QRect(anchor->mapToGlobal(QPoint(0, 0)), anchor->size()); }

    QWidget window;
    QWidget* anchor = nullptr;
    Popover popover;
};

TEST_F(PopoverTest, ShowsBelowTheAnchorWithItsContentInTheBody) {
    int shown = 0;
    popover.setDidShow([&](Popover&) { ++shown; });
    popover.showRelativeToRect(anchor->rect(), anchor, Popover::Edge::MaxY);
    ASSERT_TRUE(popover.isShown());
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(popover.shownEdge(), Popover::Edge::MaxY);
    QRect frame = popover.window()->geometry();
    EXPECT_EQ(frame.top(), anchorOnScreen().y() + anchorOnScreen().height());
    EXPECT_EQ(frame.x(), anchorOnScreen().center().x() - 100);  // centred under the anchor
    EXPECT_EQ(frame.size(), QSize(200, 120 + Popover::kArrowLength));
    EXPECT_EQ(popover.contentView()->geometry(), QRect(0, Popover::kArrowLength, 200, 120));
    EXPECT_EQ(Popover::popoverForWidget(popover.contentView()), &popover);
}

TEST_F(PopoverTest, GoesToTheOtherSideWithoutRoomAndStaysOnTheScreen) {
    QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    window.move(screen.right() - 200, screen.bottom() - 100);  // the anchor near the right and bottom edges
    popover.showRelativeToRect(anchor->rect(), anchor, Popover::Edge::MaxY);
    EXPECT_EQ(popover.shownEdge(), Popover::Edge::MinY);
    EXPECT_EQ(popover.window()->geometry().bottom() + 1, anchorOnScreen().y());
    EXPECT_TRUE(screen.contains(popover.window()->geometry()));
    popover.close();

    popover.showRelativeToRect(anchor->rect(), anchor, Popover::Edge::MaxX);
    EXPECT_EQ(popover.shownEdge(), Popover::Edge::MinX);
    EXPECT_EQ(popover.window()->geometry().right() + 1, anchorOnScreen().x());
    EXPECT_TRUE(screen.contains(popover.window()->geometry()));
}

TEST_F(PopoverTest, APressOutsideClosesATransientPopoverUnlessItsHookSaysNo) {
    bool allow = false;
    int asked = 0, closed = 0;
    popover.setShouldClose([&](Popover&) {
        ++asked;
        return allow;
    });
    popover.setDidClose([&](Popover&) { ++closed; });
    popover.showRelativeToRect(anchor->rect(), anchor, Popover::Edge::MaxY);

    QTest::mouseClick(popover.contentView(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(asked, 0) << "a press inside is no reason to close";
    QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(popover.isShown());
    allow = true;
    QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(popover.isShown());
    EXPECT_EQ(closed, 1);

    popover.setBehavior(Popover::Behavior::ApplicationDefined);
    popover.showRelativeToRect(anchor->rect(), anchor, Popover::Edge::MaxY);
    QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(popover.isShown());
}

TEST_F(PopoverTest, NothingShowsForAViewNotOnScreen) {
    QWidget hidden;
    popover.showRelativeToRect(QRect(0, 0, 10, 10), &hidden, Popover::Edge::MaxY);
    EXPECT_FALSE(popover.isShown());
    popover.showRelativeToRect(QRect(0, 0, 10, 10), nullptr, Popover::Edge::MaxY);
    EXPECT_FALSE(popover.isShown());
}

}  // namespace
