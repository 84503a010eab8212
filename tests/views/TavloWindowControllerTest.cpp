// The browser window on one 1920 × 1080 screen: attached under the tray icon
// and following it, detached with its frame remembered, the mask of each
// mode, key status, the window's keys, hiding while clippings are dragged
// out, and floating while pasting. Delays and fades run on the virtual clock.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>

#include <memory>

#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/Popover.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/FrameString.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/FakeStatusItem.h"
#include "tests/support/TempHome.h"
#include "views/TLPreferencesWindowController.h"
#include "views/TLTavloWindowController.h"
#include "views/TLWindowButton.h"

namespace {

using Controller = TLTavloWindowController;

void post(const char* name) { foundation::NotificationCenter::defaultCenter().post(name); }

// Counts the geometry the window is given.
class GeometryCounter : public QObject {
public:
    explicit GeometryCounter(QWidget* window) { window->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Move || event->type() == QEvent::Resize) ++changes;
        return false;
    }
    int changes = 0;
};

class TavloWindowControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatch::Clock::useVirtualTime(100);
        auto suite = TLSettings();
        suite->setBool(true, TLUserDefaultsShowsMenuBarIcon);
        suite->setObject(foundation::PlistValue(std::string("{{20, 20}, {360, 600}}")), TLUserDefaultsWindowFrame);
        item_ = std::make_shared<testsupport::FakeStatusItem>(26);
        item_->iconGeometry = {1700, 0, 24, 24};
        controller_ = std::make_unique<Controller>();
        controller_->setStatusItem(item_);
    }
    void TearDown() override {
        controller_.reset();
        dispatch::Clock::useRealTime();
    }

    void store(bool detached, const std::string& frame = "{{20, 20}, {360, 600}}") {
        TLSettings()->setBool(detached, TLUserDefaultsWindowIsDetached);
        TLSettings()->setObject(foundation::PlistValue(frame), TLUserDefaultsWindowFrame);
    }
    QWidget& window() { return *controller_->window(); }
    QRect frame() { return window().geometry(); }
    std::string storedFrame() { return TLSettings()->stringForKey(TLUserDefaultsWindowFrame).value_or(""); }
    bool onTop() { return window().windowFlags().testFlag(Qt::WindowStaysOnTopHint); }
    void advance(double seconds) { dispatch::Clock::advance(seconds); }
    bool key(int key, Qt::KeyboardModifiers modifiers, const QString& text = {}) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
        QApplication::sendEvent(&window(), &event);
        return event.isAccepted();
    }
    // Another window takes the keyboard, as another application's would.
    std::unique_ptr<QWidget> focusElsewhere() {
        auto other = std::make_unique<QLabel>(QStringLiteral("elsewhere"));
        other->show();
        other->activateWindow();
        QApplication::processEvents();
        return other;
    }

    testsupport::TempHome home_;
    std::shared_ptr<testsupport::FakeStatusItem> item_;
    std::unique_ptr<Controller> controller_;
};

TEST_F(TavloWindowControllerTest, AttachedHangsUnderTheIconAndIsPushedInAtTheScreensRightEdge) {
    store(false);
    controller_->showApplicationWindow();
    EXPECT_EQ(frame(), QRect(1532, 25, 360, 600));
    EXPECT_TRUE(onTop());
    EXPECT_EQ(window().windowFlags() & Qt::WindowType_Mask, Qt::Tool);

    item_->iconGeometry = {1900, 0, 24, 24};
    post(TLTimerTickNotification);
    advance(0.25);
    EXPECT_EQ(frame().x() + frame().width(), 1920);
    EXPECT_EQ(frame().y(), 25);

    // The pure rule, a tray at the bottom included: the window stands on it.
    struct Row {
        QRect anchor;
        QRect expected;
    } rows[] = {
        {{1700, 0, 24, 24}, {1532, 25, 360, 600}},
        {{1900, 0, 24, 24}, {1560, 25, 360, 600}},
        {{0, 0, 24, 24}, {0, 25, 360, 600}},
        {{1700, 1056, 24, 24}, {1532, 455, 360, 600}},
        {{800, 300, 0, 0}, {620, 301, 360, 600}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Controller::attachedFrame({0, 0, 360, 600}, row.anchor, {0, 0, 1920, 1080}), row.expected)
            << row.anchor.x() << "," << row.anchor.y();
}

TEST_F(TavloWindowControllerTest, TheTickFollowsAMovedIconAndLeavesAStillOneAlone) {
    store(false);
    controller_->showApplicationWindow();
    GeometryCounter counter(&window());
    for (int i = 0; i < 4; ++i) {
        post(TLTimerTickNotification);
        advance(0.25);
    }
    EXPECT_EQ(counter.changes, 0);

    item_->iconGeometry = {1500, 0, 24, 24};
    post(TLTimerTickNotification);
    advance(0.25);
    EXPECT_EQ(frame().topLeft(), QPoint(1332, 25));

    // Detached or hidden, the tick places nothing.
    controller_->close();
    item_->iconGeometry = {1000, 0, 24, 24};
    counter.changes = 0;
    post(TLTimerTickNotification);
    advance(0.25);
    EXPECT_EQ(counter.changes, 0);
}

TEST_F(TavloWindowControllerTest, StoredFramesShowOnScreenWhateverTheyHold) {
    struct Row {
        const char* stored;
        QRect expected;
    } rows[] = {
        {"{{20, 20}, {360, 600}}", {20, 20, 360, 600}},
        {"{{20, 20}, {360, 100}}", {20, 20, 360, 150}},
        {"{{1800, 900}, {360, 600}}", {1560, 480, 360, 600}},
        {"garbage", {20, 20, 360, 600}},
        {"{{-5000, -5000}, {360, 600}}", {20, 20, 360, 600}},
        {"{{20, 20}, {0, 600}}", {20, 20, 360, 600}},
        {"{{nan, nan}, {nan, nan}}", {20, 20, 360, 600}},
        {"{{20, 20}, {1e9, 600}}", {0, 20, 1920, 600}},
        {"{{20, 20}, {360, 1e9}}", {20, 0, 360, 1080}},
    };
    for (const Row& row : rows) {
        store(true, row.stored);
        controller_->showApplicationWindow();
        EXPECT_EQ(frame(), row.expected) << row.stored;
        EXPECT_TRUE(QRect(0, 0, 1920, 1080).contains(frame())) << row.stored;
        controller_->close();
    }
}

TEST_F(TavloWindowControllerTest, WithoutAnAnchorAnAttachedShowComesUpDetachedOnScreen) {
    store(false, "{{-3000, 40}, {360, 600}}");
    controller_->setStatusItem(std::weak_ptr<desktop::StatusItem>());
    controller_->showApplicationWindow();
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsWindowIsDetached));
    EXPECT_TRUE(window().isVisible());
    EXPECT_TRUE(QRect(0, 0, 1920, 1080).contains(frame()));
    EXPECT_EQ(window().windowFlags() & Qt::WindowType_Mask, Qt::Window);

    // A tray that gives no place: the press on the icon is the anchor.
    item_->iconGeometry = {};
    controller_->setStatusItem(item_);
    controller_->attachWindow();
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsWindowIsDetached)) << "nothing to attach to";
}

TEST_F(TavloWindowControllerTest, DetachTogglesAndTheWidthNeverChangesByResizing) {
    store(false);
    controller_->showApplicationWindow();
    post(TLDetachWindowNotification);
    advance(0.2);
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsWindowIsDetached));
    EXPECT_EQ(frame(), QRect(1532, 65, 360, 600)) << "dropped 40 px";
    EXPECT_EQ(window().windowFlags() & Qt::WindowType_Mask, Qt::Window);
    EXPECT_TRUE(window().isVisible());

    post(TLDetachWindowNotification);  // while detached: attaches
    advance(0.2);
    EXPECT_FALSE(TLSettings()->boolForKey(TLUserDefaultsWindowIsDetached));
    EXPECT_EQ(frame(), QRect(1532, 25, 360, 600));

    EXPECT_EQ(controller_->windowWillResize({360, 420}), QSize(360, 420));
    EXPECT_EQ(controller_->windowWillResize({500, 420}), QSize(360, 420));
    window().resize(500, 700);
    EXPECT_EQ(frame().width(), 360);
    EXPECT_EQ(frame().height(), 700);
}

TEST_F(TavloWindowControllerTest, MasksHaveAnArrowAttachedAndButtonHolesDetached) {
    QPainterPath attached = Controller::maskPath(false, {360, 600});
    QRegion region = Controller::regionForPath(attached, {360, 600});
    EXPECT_TRUE(region.contains(QPoint(180, 3)));
    EXPECT_FALSE(region.contains(QPoint(1, 1)));
    EXPECT_FALSE(region.contains(QPoint(150, 5)));
    EXPECT_TRUE(region.contains(QPoint(180, 300)));

    QRegion detached = Controller::regionForPath(Controller::maskPath(true, {360, 600}), {360, 600});
    for (QPoint corner : {QPoint(0, 0), QPoint(1, 0), QPoint(0, 1), QPoint(359, 599), QPoint(358, 0)})
        EXPECT_FALSE(detached.contains(corner)) << corner.x() << "," << corner.y();
    for (QPoint inside : {QPoint(1, 1), QPoint(2, 2), QPoint(5, 0), QPoint(357, 597), QPoint(180, 300)})
        EXPECT_TRUE(detached.contains(inside)) << inside.x() << "," << inside.y();
    QPoint closeCentre = TLWindowButton::discInFrame(QRectF(TLWindowButton::frameForKind(TLWindowButton::Kind::Close)))
                             .center()
                             .toPoint();
    EXPECT_FALSE(detached.contains(closeCentre));

    // The shown window carries its mode's mask, the arrow at the icon.
    store(false);
    controller_->showApplicationWindow();
    EXPECT_TRUE(controller_->windowMask().contains(QPoint(180, 3)));
    EXPECT_FALSE(controller_->windowMask().contains(QPoint(1, 1)));
    item_->iconGeometry = {1900, 0, 24, 24};
    post(TLTimerTickNotification);
    advance(0.25);
    // The arrow follows the icon as far as the rounded corner lets it.
    EXPECT_EQ(1912 - frame().x(), 352);
    EXPECT_TRUE(controller_->windowMask().contains(QPoint(342, 3)));
    EXPECT_FALSE(controller_->windowMask().contains(QPoint(180, 3)));
}

TEST_F(TavloWindowControllerTest, LosingKeyStatus) {
    desktop::Animator::setInstant(false);
    // Floating: never hides.
    store(false);
    TLSettings()->setBool(true, TLUserDefaultsFloatWindow);
    controller_->showApplicationWindow();
    QApplication::processEvents();
    ASSERT_TRUE(controller_->isKeyWindow());
    auto other = focusElsewhere();
    EXPECT_FALSE(controller_->isKeyWindow());
    advance(1);
    EXPECT_TRUE(window().isVisible());

    // Attached, not floating: fades over 0.15 s, closes, opacity back to 1.
    TLSettings()->setBool(false, TLUserDefaultsFloatWindow);
    controller_->showApplicationWindow();
    QApplication::processEvents();
    ASSERT_TRUE(controller_->isKeyWindow());
    other = focusElsewhere();
    advance(0.1);
    EXPECT_TRUE(window().isVisible());
    EXPECT_LT(window().windowOpacity(), 1.0);
    EXPECT_GT(window().windowOpacity(), 0.0);
    advance(0.1);
    EXPECT_FALSE(window().isVisible());
    EXPECT_DOUBLE_EQ(window().windowOpacity(), 1.0);

    // Detached: by the close-on-resign setting.
    for (bool closes : {false, true}) {
        store(true);
        TLSettings()->setBool(closes, TLUserDefaultsCloseDetachedWindowOnResignKey);
        controller_->showApplicationWindow();
        QApplication::processEvents();
        ASSERT_TRUE(controller_->isKeyWindow());
        other = focusElsewhere();
        advance(0.3);
        EXPECT_EQ(window().isVisible(), !closes) << closes;
    }
}

TEST_F(TavloWindowControllerTest, OurOwnPopoverSheetAndMenuKeepKeyStatus) {
    store(false);
    controller_->showApplicationWindow();
    QApplication::processEvents();
    ASSERT_TRUE(controller_->isKeyWindow());

    desktop::Popover popover;
    popover.setContentView(new QLabel(QStringLiteral("detail")));
    popover.showRelativeToRect(QRect(10, 60, 20, 20), controller_->contentView(), desktop::Popover::Edge::MaxX);
    QApplication::processEvents();
    advance(0.3);
    EXPECT_TRUE(controller_->isKeyWindow());
    EXPECT_TRUE(window().isVisible());
    popover.close();

    QDialog sheet(&window());
    sheet.show();
    sheet.activateWindow();
    QApplication::processEvents();
    advance(0.3);
    EXPECT_TRUE(window().isVisible());
    EXPECT_TRUE(controller_->isKeyWindow());
    sheet.hide();

    // The preferences are another window: the attached browser hides.
    controller_->showApplicationWindow();
    QApplication::processEvents();
    post(TLShowPreferencesWindow);
    QApplication::processEvents();
    advance(0.3);
    EXPECT_FALSE(window().isVisible());
}

TEST_F(TavloWindowControllerTest, WindowKeys) {
    store(true);
    controller_->showApplicationWindow();
    QRect before = frame();
    // Ctrl+Shift+W: the setting and stays-on-top flip at once, in place.
    EXPECT_FALSE(onTop());
    EXPECT_TRUE(key(Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier, QStringLiteral("W")));
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsFloatWindow));
    EXPECT_TRUE(onTop());
    EXPECT_TRUE(window().isVisible());
    EXPECT_EQ(frame(), before);
    EXPECT_TRUE(key(Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier, QStringLiteral("W")));
    EXPECT_FALSE(TLSettings()->boolForKey(TLUserDefaultsFloatWindow));
    EXPECT_FALSE(onTop());

    // Keys the window does not take go on to its contents.
    EXPECT_FALSE(key(Qt::Key_W, Qt::ControlModifier | Qt::AltModifier, QStringLiteral("w")));
    EXPECT_FALSE(key(Qt::Key_Comma, Qt::NoModifier, QStringLiteral(",")));
    EXPECT_TRUE(window().isVisible());

    EXPECT_TRUE(key(Qt::Key_Comma, Qt::ControlModifier, QStringLiteral(",")));
    ASSERT_TRUE(controller_->hasPreferencesWindowController());
    EXPECT_TRUE(controller_->preferencesWindowController().window()->isVisible());

    controller_->showApplicationWindow();
    EXPECT_TRUE(key(Qt::Key_Escape, Qt::ShiftModifier));
    EXPECT_FALSE(window().isVisible());
    controller_->showApplicationWindow();
    EXPECT_TRUE(key(Qt::Key_W, Qt::ControlModifier, QStringLiteral("w")));
    EXPECT_FALSE(window().isVisible());
    // The close button only hides the window too; nothing changes in the settings.
    controller_->showApplicationWindow();
    window().findChild<TLWindowButton*>(QStringLiteral("closeButton"))->click();
    EXPECT_FALSE(window().isVisible());
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsWindowIsDetached));
}

TEST_F(TavloWindowControllerTest, DraggingOutHidesTheWindowAndDragActionTwoBringsItBack) {
    store(true, "{{100, 100}, {360, 600}}");
    for (int action : {2, 1, 7, 0}) {
        TLSettings()->setInteger(action, TLUserDefaultsDragAction);
        controller_->showApplicationWindow();
        QCursor::setPos(200, 200);
        post(TLClippingTableViewBeginDraggingNotification);
        advance(0.25);
        EXPECT_TRUE(window().isVisible()) << action;
        QCursor::setPos(1000, 200);
        advance(0.25 + 0.2);
        EXPECT_EQ(window().isVisible(), action == 0) << action;
        EXPECT_FALSE(controller_->isDragTimerRunning()) << action;
        post(TLClippingTableViewEndDraggingNotification);
        advance(0.05);
        EXPECT_EQ(window().isVisible(), action == 0) << action;
        advance(0.1);
        EXPECT_EQ(window().isVisible(), action == 2 || action == 0) << action;
        controller_->close();
    }
}

TEST_F(TavloWindowControllerTest, PastesFloatTheWindowWithoutTouchingTheSetting) {
    store(true);
    TLSettings()->setBool(false, TLUserDefaultsFloatWindow);
    controller_->showApplicationWindow();
    ASSERT_FALSE(onTop());
    post(TLPanelTemporarilyResignKey);
    post(TLPanelTemporarilyResignKey);
    EXPECT_TRUE(onTop());
    EXPECT_EQ(controller_->pastesUnderWay(), 2);
    post(TLPanelRegainKeyWindow);
    advance(0.01);
    EXPECT_TRUE(onTop()) << "one paste is still under way";
    post(TLPanelRegainKeyWindow);
    advance(0.01);
    EXPECT_FALSE(onTop());
    EXPECT_FALSE(TLSettings()->boolForKey(TLUserDefaultsFloatWindow));
    EXPECT_FALSE(TLSettings()->objectForKey(TLUserDefaultsFloatWindow).isNull()) << "the stored NO stays";

    // A paste whose regain never comes: the window floats, the setting stays NO.
    auto other = focusElsewhere();
    controller_->showApplicationWindow();
    post(TLPanelTemporarilyResignKey);
    other = focusElsewhere();
    advance(2);
    EXPECT_TRUE(window().isVisible());
    EXPECT_FALSE(TLSettings()->boolForKey(TLUserDefaultsFloatWindow));
}

TEST_F(TavloWindowControllerTest, FramesAreStoredAndAppliedWhenTheSettingChanges) {
    store(true);
    controller_->showApplicationWindow();
    window().move(300, 200);
    EXPECT_EQ(storedFrame(), "{{300, 200}, {360, 600}}");
    advance(0.6);
    // What the settings file holds: a fresh suite over the same file reads it.
    TLSettings()->setObject(foundation::PlistValue(std::string("{{50, 60}, {400, 500}}")), TLUserDefaultsWindowFrame);
    post(TLUserDefaultsWindowFrame);
    EXPECT_EQ(frame(), QRect(50, 60, 400, 500));

    // The show hotkey toggles: detached and key, it closes.
    QApplication::processEvents();
    ASSERT_TRUE(controller_->isKeyWindow());
    post(TLHotkeyShowApplication);
    advance(0.2);
    EXPECT_FALSE(window().isVisible());
    post(TLHotkeyShowApplication);
    EXPECT_TRUE(window().isVisible());
    EXPECT_EQ(frame(), QRect(50, 60, 400, 500));
}

}  // namespace
