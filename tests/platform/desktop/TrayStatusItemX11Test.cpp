// The tray icon in a real XEmbed tray (trayer on the private Xvfb): it embeds,
// a left press runs the action, a right press opens the menu the builder
// fills, and a tray that starts late still gets the icon.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QTest>

#include <cstdlib>

#include "platform/desktop/Menu.h"
#include "platform/desktop/StatusItem.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RequireDisplay.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

std::unique_ptr<ChildProcess> startTray() {
    return ChildProcess::start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                                "28", "--SetDockType", "true", "--expand", "false"});
}

void clickAt(const desktop::Rect& at, int button) {
    auto result = testsupport::runCommand({"xdotool", "mousemove", std::to_string(at.x + at.width / 2),
                                           std::to_string(at.y + at.height / 2), "click", std::to_string(button)},
                                          5s);
    ASSERT_EQ(result.status, 0);
}

class TrayStatusItemX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(QGuiApplication::platformName() == QLatin1String("xcb"), "needs an X server");
        image_ = std::string(TAVLO_SOURCE_DIR) + "/resources/status_item.png";
    }

    std::unique_ptr<desktop::StatusItem> makeItem() {
        auto item = desktop::StatusItem::makeTrayItem(26);
        item->setImage(image_);
        item->setAction([this] { ++actions_; });
        auto menu = std::make_shared<desktop::Menu>();
        menu->setAboutToShow([this](desktop::Menu& shown) {
            ++menusBuilt_;
            shown.removeAllItems();
            shown.addItem(std::make_shared<desktop::MenuItem>("Quit"));
        });
        item->setMenu(menu);
        return item;
    }

    // Until the icon sits in the tray and the tray has stopped moving it.
    static bool waitForEmbedding(desktop::StatusItem& item) {
        if (!QTest::qWaitFor([&] { return item.isVisibleInTray() && !item.geometry().isEmpty(); }, 10'000))
            return false;
        desktop::Rect last{};
        return QTest::qWaitFor(
            [&] {
                desktop::Rect now = item.geometry();
                bool settled = now.x == last.x && now.y == last.y && now.width == last.width;
                last = now;
                QTest::qWait(150);
                return settled;
            },
            5000);
    }

    std::string image_;
    int actions_ = 0;
    int menusBuilt_ = 0;
};

TEST_F(TrayStatusItemX11Test, EmbedsAndAnswersLeftAndRightPresses) {
    auto tray = startTray();
    ASSERT_TRUE(tray);
    ASSERT_TRUE(QTest::qWaitFor([] { return desktop::StatusItem::isTrayAvailable(); }, 10'000));
    auto item = makeItem();
    ASSERT_TRUE(waitForEmbedding(*item));
    EXPECT_DOUBLE_EQ(item->length(), 26);

    clickAt(item->geometry(), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return actions_ == 1; }, 5000));
    EXPECT_EQ(menusBuilt_, 0);

    clickAt(item->geometry(), 3);
    EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; }, 5000));
    EXPECT_EQ(menusBuilt_, 1);
    EXPECT_EQ(actions_, 1) << "a right press opens the menu only";
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions().front()->text(), QStringLiteral("Quit"));
    ASSERT_EQ(testsupport::runCommand({"xdotool", "key", "Escape"}, 5s).status, 0);
    ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget() == nullptr; }, 5000));
    QTest::qWait(200);

    // A second opening builds the menu anew instead of adding to the old one.
    // Right after a popup has closed, Qt may take a press as part of its
    // closing under load; a person would press again, and so does the test.
    for (int press = 0; press < 5 && !QApplication::activePopupWidget(); ++press) {
        clickAt(item->geometry(), 3);
        (void)QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; }, 1000);
    }
    EXPECT_TRUE(QApplication::activePopupWidget());
    EXPECT_EQ(menusBuilt_, 2);
    if (auto* again = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        EXPECT_EQ(again->actions().size(), 1);
        again->close();
    }
}

TEST_F(TrayStatusItemX11Test, ATrayThatStartsLaterGetsTheIcon) {
    auto item = makeItem();
    QTest::qWait(200);
    EXPECT_FALSE(desktop::StatusItem::isTrayAvailable());
    EXPECT_FALSE(item->isVisibleInTray());

    auto tray = startTray();
    ASSERT_TRUE(tray);
    EXPECT_TRUE(waitForEmbedding(*item));
}

TEST_F(TrayStatusItemX11Test, ARemovedItemLeavesTheTray) {
    auto tray = startTray();
    ASSERT_TRUE(tray);
    auto item = makeItem();
    ASSERT_TRUE(waitForEmbedding(*item));
    item->remove();
    EXPECT_FALSE(item->isVisibleInTray());
    EXPECT_TRUE(item->geometry().isEmpty());
}

}  // namespace
