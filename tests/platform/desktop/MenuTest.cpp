#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QTest>

#include "platform/desktop/Menu.h"

using desktop::Menu;
using desktop::MenuItem;

namespace {

struct MenuFixture : ::testing::Test {
    std::shared_ptr<Menu> menu = std::make_shared<Menu>("Tavlo");
    int fired = 0;

    std::shared_ptr<MenuItem> add(const std::string& title, const std::string& key = {}, uint64_t mask = MenuItem::kCommandKeyMask) {
        auto item = std::make_shared<MenuItem>(title, [this](MenuItem&) { ++fired; }, key);
        item->setKeyEquivalentModifierMask(mask);
        menu->addItem(item);
        return item;
    }
    void TearDown() override {
        if (menu->qMenu()->isVisible()) menu->qMenu()->hide();
    }
};

TEST_F(MenuFixture, TitlesStatesAndKeyEquivalentsShowButNeverFire) {
    add("R&D");
    add("Some lists")->setState(MenuItem::State::Mixed);
    add("Pinned")->setState(MenuItem::State::On);
    add("New List", "N");
    add("Search", "f", MenuItem::kCommandKeyMask | MenuItem::kControlKeyMask);
    auto sub = std::make_shared<Menu>("Copy");
    sub->addItem(std::make_shared<MenuItem>("Copy Plain"));
    add("Copy As")->setSubmenu(sub);
    menu->addItem(MenuItem::separatorItem());
    add("Hidden")->setHidden(true);
    add("Q1\tQ2\nend");

    menu->popUp(QPoint(200, 150));
    QMenu* shown = menu->qMenu();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(shown));
    QList<QAction*> actions = shown->actions();
    ASSERT_EQ(actions.size(), 8);
    EXPECT_EQ(actions[0]->text(), "R&&D");  // drawn as "R&D", no mnemonic
    EXPECT_EQ(actions[0]->iconText(), "R&D");
    EXPECT_TRUE(actions[1]->property("mixedState").toBool());
    EXPECT_FALSE(actions[1]->icon().isNull());
    EXPECT_FALSE(actions[1]->isChecked());
    EXPECT_TRUE(actions[2]->isCheckable() && actions[2]->isChecked());
    EXPECT_FALSE(actions[0]->isCheckable());
    EXPECT_EQ(actions[3]->text(), "New List\tCtrl+Shift+N");
    EXPECT_EQ(actions[4]->text(), "Search\tSuper+Ctrl+F");
    EXPECT_EQ(actions[5]->menu(), sub->qMenu());
    EXPECT_TRUE(actions[6]->isSeparator());
    // A tab would start the shortcut column: control characters show as their pictures.
    EXPECT_EQ(actions[7]->text(), QString::fromUtf8("Q1\u2409Q2\u240Aend"));
    for (QAction* action : actions) EXPECT_TRUE(action->shortcut().isEmpty());

    QTest::keyClick(shown, Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(shown, Qt::Key_F, Qt::ControlModifier | Qt::MetaModifier);
    EXPECT_EQ(fired, 0);
    actions[3]->trigger();  // a chosen row runs its action
    EXPECT_EQ(fired, 1);
}

// A row with a picture that is on: the style draws the picture's "on" form
// in place of the check mark, so a blank picture (one that only gives the row
// its height) would show the row as on with nothing in its box.
TEST_F(MenuFixture, AnOnRowWithAPictureShowsACheckMark) {
    QPixmap blank(1, 24);
    blank.fill(Qt::transparent);
    add("Work")->setImage(QIcon(blank));
    add("Home")->setImage(QIcon(blank));
    menu->itemAtIndex(0)->setState(MenuItem::State::On);
    menu->popUp(QPoint(200, 150));
    QMenu* shown = menu->qMenu();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(shown));
    QList<QAction*> actions = shown->actions();
    ASSERT_EQ(actions.size(), 2);
    auto inked = [](const QAction* action, QIcon::State state) {
        QImage image = action->icon().pixmap(QSize(16, 16), QIcon::Normal, state).toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) count += qAlpha(image.pixel(x, y)) > 128;
        return count;
    };
    EXPECT_TRUE(actions[0]->isCheckable() && actions[0]->isChecked());
    EXPECT_GT(inked(actions[0], QIcon::On), 10);
    EXPECT_FALSE(actions[1]->isChecked());
    EXPECT_EQ(inked(actions[1], QIcon::Off), 0);
}

TEST_F(MenuFixture, TheHookRunsBeforeMappingAndItemZeroIsAtThePoint) {
    add("First");
    bool visibleInHook = true;
    menu->setAboutToShow([&](Menu& m) {
        visibleInHook = m.qMenu()->isVisible();
        if (m.numberOfItems() == 1) m.addItem(std::make_shared<MenuItem>("Added by the hook"));
    });
    menu->setMinimumWidth(420);
    const QPoint point(220, 160);
    menu->popUp(point);
    QMenu* shown = menu->qMenu();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(shown));
    EXPECT_FALSE(visibleInHook);
    ASSERT_EQ(shown->actions().size(), 2);
    EXPECT_EQ(shown->actions()[1]->text(), "Added by the hook");
    QRect first = shown->actionGeometry(shown->actions()[0]).translated(shown->pos());
    EXPECT_TRUE(first.contains(point)) << first.x() << "," << first.y() << " " << first.width() << "x" << first.height();
    EXPECT_GE(shown->width(), 420);
}

}  // namespace

namespace {

TEST_F(MenuFixture, AVeryLongTitleIsCutAndImagesShow) {
    add(std::string(60000, 'x'));
    QPixmap blank(1, 24);
    blank.fill(Qt::transparent);
    add("With image")->setImage(QIcon(blank));
    menu->update();
    QList<QAction*> actions = menu->qMenu()->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_LT(actions[0]->text().size(), 400);
    EXPECT_TRUE(actions[0]->text().endsWith(QChar(0x2026)));
    EXPECT_LE(menu->qMenu()->sizeHint().width(), 800);
    EXPECT_FALSE(actions[1]->icon().isNull());
}

}  // namespace
