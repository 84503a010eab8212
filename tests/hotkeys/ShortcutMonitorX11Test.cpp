// System-wide hotkeys on a private X server, pressed through XTest (xdotool):
// the lock keys, a focused window of ours, a held key, another client's grab,
// two registrations of one combination, a keymap without a key, the bindings
// to stored values and a recorder recording a registered combination.

#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>

#include "hotkeys/HKShortcutBinder.h"
#include "hotkeys/HKShortcutMonitor.h"
#include "hotkeys/HKShortcutValidator.h"
#include "hotkeys/HKShortcutView.h"
#include "platform/desktop/KeyboardLayout.h"
#include "platform/desktop/X11SystemHotKeys.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/ValueTransformer.h"
#include "tests/support/FakeSystemHotKeys.h"
#include "tests/support/OtherX11Client.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/RequireDisplay.h"
#include "tests/support/TempHome.h"

namespace {

constexpr uint64_t kA = 0, kS = 1, kC = 8, kBracket = 30, kHome = 115, kF20 = 90, kKeypadComma = 95;
constexpr uint64_t kSuperShift = HKShortcut::kControlKeyMask | HKShortcut::kShiftKeyMask;
constexpr uint64_t kCtrlAlt = HKShortcut::kCommandKeyMask | HKShortcut::kAlternateKeyMask;
constexpr uint16_t kShiftSuperMask = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4;

bool xdotool(const std::string& arguments) { return std::system(("xdotool " + arguments).c_str()) == 0; }

// Another X client on the same server, which also hears its grabbed presses.
class OtherClient : public testsupport::OtherX11Client {
public:
    // Whether a key press reaches this client within the time-out.
    bool receivesPress(int milliseconds) {
        for (int waited = 0; waited < milliseconds; waited += 10) {
            if (hadPress()) return true;
            QTest::qWait(10);
        }
        return false;
    }
};

class ShortcutMonitorX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY") && std::system("command -v xdotool >/dev/null") == 0,
                                   "no X server or no xdotool");
        monitor_ = HKShortcutMonitor::sharedMonitor();
        ASSERT_TRUE(monitor_);
        layout_ = desktop::KeyboardLayout::fromServer();
        ASSERT_TRUE(layout_);
        // A hotkey pressed after the others: once it ran, every earlier press has been handled.
        ASSERT_TRUE(monitor_->registerShortcut(sentinel_, [this] { ++sentinelRuns_; }, "sentinel"));
    }
    void TearDown() override {
        if (monitor_) monitor_->unregisterAllShortcuts();
    }

    // Presses keys, then the sentinel, and waits until the sentinel ran.
    void press(const std::string& keys) {
        if (!keys.empty()) {
            ASSERT_TRUE(xdotool(keys));
        }
        int before = sentinelRuns_;
        ASSERT_TRUE(xdotool("key ctrl+alt+Home"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return sentinelRuns_ > before; }, 5000));
    }

    HKShortcutMonitor* monitor_ = nullptr;
    std::shared_ptr<desktop::KeyboardLayout> layout_;
    const HKShortcut sentinel_{kHome, kCtrlAlt};
    int sentinelRuns_ = 0;
};

TEST_F(ShortcutMonitorX11Test, APressRunsItsActionOnceWithLocksOnAndOurWindowFocused) {
    int copies = 0, pastes = 0;
    ASSERT_TRUE(monitor_->registerShortcut(HKShortcut(kC, kSuperShift), [&] { ++copies; }));
    ASSERT_TRUE(monitor_->registerShortcut(HKShortcut(kBracket, kCtrlAlt), [&] { ++pastes; }));

    press("key super+shift+c");
    EXPECT_EQ(copies, 1);
    press("key ctrl+alt+bracketright");
    EXPECT_EQ(pastes, 1);

    ASSERT_TRUE(xdotool("key Num_Lock"));
    press("key super+shift+c");
    EXPECT_EQ(copies, 2) << "Num Lock on";
    ASSERT_TRUE(xdotool("key Num_Lock key Caps_Lock"));
    press("key super+shift+c");
    EXPECT_EQ(copies, 3) << "Caps Lock on";
    ASSERT_TRUE(xdotool("key Caps_Lock"));

    QWidget window;
    window.resize(200, 100);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    press("key super+shift+c");
    EXPECT_EQ(copies, 4) << "our window focused";

    // Held past the auto-repeat delay: repeats are presses too, and run nothing.
    press("keydown super+shift+c sleep 0.8 keyup c keyup shift keyup super");
    EXPECT_EQ(copies, 5) << "held";

    // Another signature, or an identifier nobody holds, runs nothing.
    monitor_->handleEvent({desktop::HotKeyEvent::kEventClassKeyboard, desktop::HotKeyEvent::kEventHotKeyPressed, true,
                           {0x41424344, 1}});
    monitor_->handleEvent({desktop::HotKeyEvent::kEventClassKeyboard, desktop::HotKeyEvent::kEventHotKeyPressed, true,
                           {HKHotKey::kSignature, 0xFFFFFF}});
    press("");
    EXPECT_EQ(copies, 5);
    EXPECT_EQ(pastes, 1);

    monitor_->unregisterShortcut(HKShortcut(kC, kSuperShift));
    EXPECT_FALSE(monitor_->isShortcutRegistered(HKShortcut(kC, kSuperShift)));
    press("key super+shift+c");
    EXPECT_EQ(copies, 5) << "unregistered";
}

TEST_F(ShortcutMonitorX11Test, AnotherClientsCombinationIsRefusedAndStaysTheirs) {
    testsupport::RecordingSystemLog::Scope log;
    OtherClient other;
    uint32_t keycodeS = layout_->keycodeForKeyCode(kS);
    ASSERT_TRUE(other.grab(keycodeS, kShiftSuperMask));

    int saves = 0, copies = 0;
    EXPECT_FALSE(monitor_->registerShortcut(HKShortcut(kS, kSuperShift), [&] { ++saves; }));
    EXPECT_FALSE(monitor_->isShortcutRegistered(HKShortcut(kS, kSuperShift)));
    EXPECT_TRUE(monitor_->registerShortcut(HKShortcut(kC, kSuperShift), [&] { ++copies; }));

    press("key super+shift+s");
    EXPECT_TRUE(other.receivesPress(5000));
    EXPECT_EQ(saves, 0);
    press("key super+shift+c");
    EXPECT_EQ(copies, 1);
    EXPECT_TRUE(log->entries().empty());

    // Identifiers are spent on failures too.
    HKHotKey refused(HKShortcut(kS, kSuperShift), desktop::HotKeyCenter::shared());
    HKHotKey next(HKShortcut(kA, kCtrlAlt), desktop::HotKeyCenter::shared());
    EXPECT_EQ(refused.hotKeyRef(), 0u);
    EXPECT_NE(next.hotKeyRef(), 0u);
    EXPECT_EQ(next.carbonID(), refused.carbonID() + 1);
}

TEST_F(ShortcutMonitorX11Test, TwoRegistrationsOfOneCombinationKeepTheGrabUntilTheLastGoes) {
    const HKShortcut shortcut(kC, kSuperShift);
    int first = 0, second = 0, replaced = 0;
    ASSERT_TRUE(monitor_->registerShortcut(shortcut, [&] { ++first; }, "first"));
    ASSERT_TRUE(monitor_->registerShortcut(shortcut, [&] { ++second; }, "second"));
    press("key super+shift+c");
    EXPECT_EQ(second, 1) << "the newest runs";

    // Replacing an owner's registration with an equal shortcut keeps the live grab.
    ASSERT_TRUE(monitor_->registerShortcut(shortcut, [&] { ++replaced; }, "second"));
    press("key super+shift+c");
    EXPECT_EQ(replaced, 1);

    monitor_->unregisterShortcut(shortcut, "second");
    press("key super+shift+c");
    EXPECT_EQ(first, 1) << "the other owner's registration still holds the key";

    // Our own grabs are never another program's.
    auto system = desktop::X11SystemHotKeys::open(nullptr, layout_);
    EXPECT_FALSE(system->isTaken(kC, shortcut.carbonFlags()));
    monitor_->unregisterShortcut(shortcut, "first");
    press("key super+shift+c");
    EXPECT_EQ(first + second + replaced, 3);
    OtherClient other;
    EXPECT_TRUE(other.grab(layout_->keycodeForKeyCode(kC), kShiftSuperMask)) << "the grab went with the last";
}

TEST_F(ShortcutMonitorX11Test, AKeyTheKeymapLacksIsRefusedAndANewKeymapIsGrabbedAgain) {
    // The keypad's comma has no key in this server's keymap.
    EXPECT_FALSE(monitor_->registerShortcut(HKShortcut(kKeypadComma, kSuperShift), [] {}));
    int copies = 0;
    ASSERT_TRUE(monitor_->registerShortcut(HKShortcut(kC, kSuperShift), [&] { ++copies; }));

    // Another client changes the keymap (F20's keysym); every registration is resolved and grabbed again.
    desktop::HotKeyCenter* center = desktop::HotKeyCenter::shared();
    size_t generation = center->keymapGeneration();
    OtherClient other;
    other.remap(layout_->keycodeForKeyCode(kF20), 0x61 /* a */);
    ASSERT_TRUE(QTest::qWaitFor([&] { return center->keymapGeneration() > generation; }, 5000));
    EXPECT_EQ(center->liveRegistrationCount(), 2u);
    press("key super+shift+c");
    EXPECT_EQ(copies, 1);
}

TEST_F(ShortcutMonitorX11Test, BindingsFollowTheStoredValue) {
    testsupport::TempHome home;
    auto defaults = foundation::UserDefaults::standard();
    auto transformer =
        foundation::ValueTransformer::valueTransformerForName(foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName);
    auto archive = [&](const HKShortcut& shortcut) {
        return std::any_cast<foundation::PlistValue>(transformer->reverseTransformedValue(shortcut));
    };
    HKShortcutBinder binder(monitor_, defaults);
    const HKShortcut saveDefault(kS, kSuperShift), copyStored(kC, kSuperShift);
    binder.registerDefaultShortcuts({{"Save", saveDefault}});
    defaults->setObject(archive(copyStored), "Copy");

    int saves = 0, copies = 0, copiesAnew = 0;
    binder.bindShortcutWithDefaultsKey("Save", [&] { ++saves; });
    binder.bindShortcutWithDefaultsKey("Copy", [&] { ++copies; });
    EXPECT_EQ(binder.valueForKey("Save"), saveDefault);
    press("key super+shift+s key super+shift+c");
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(copies, 1);

    defaults->removeObjectForKey("Copy");
    EXPECT_EQ(binder.valueForKey("Copy"), std::nullopt);
    press("key super+shift+c");
    EXPECT_EQ(copies, 1) << "no value";
    defaults->setObject(archive(copyStored), "Copy");
    press("key super+shift+c");
    EXPECT_EQ(copies, 2) << "written back";

    binder.breakBindingWithDefaultsKey("Copy");
    EXPECT_FALSE(binder.isRegisteredAction("Copy"));
    press("key super+shift+c");
    EXPECT_EQ(copies, 2) << "broken";
    binder.bindShortcutWithDefaultsKey("Copy", [&] { ++copiesAnew; });
    press("key super+shift+c");
    EXPECT_EQ(copies, 2);
    EXPECT_EQ(copiesAnew, 1) << "bound anew";

    // A shortcut stored without a key, or data that is no archive, registers nothing: no A key is grabbed.
    defaults->setObject(archive(HKShortcut(HKShortcut::kNotFound, kSuperShift)), "Save");
    EXPECT_EQ(binder.valueForKey("Save")->keyCode(), HKShortcut::kNotFound);
    defaults->setObject(foundation::PlistValue(foundation::Data::fromString("not an archive")), "Copy");
    EXPECT_EQ(binder.valueForKey("Copy"), std::nullopt);
    press("key super+shift+a key super+shift+c key super+shift+s");
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(copiesAnew, 1);
    OtherClient other;
    EXPECT_TRUE(other.grab(layout_->keycodeForKeyCode(kA), kShiftSuperMask));
}

TEST_F(ShortcutMonitorX11Test, ARecorderRecordingARegisteredCombinationGetsItInstead) {
    testsupport::TempHome home;
    auto previous = desktop::KeyboardLayout::current();
    desktop::KeyboardLayout::setCurrent(layout_);
    int shows = 0;
    ASSERT_TRUE(monitor_->registerShortcut(HKShortcut(kC, kSuperShift), [&] { ++shows; }));
    QWidget window;
    window.resize(260, 50);
    auto* view = new HKShortcutView(&window);
    view->setGeometry(10, 10, 220, 24);
    view->setShortcutValidator(std::make_shared<HKShortcutValidator>(std::make_shared<testsupport::FakeSystemHotKeys>()));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    view->setRecording(true);
    ASSERT_TRUE(xdotool("key super+shift+c"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view->isRecording(); }, 5000));
    EXPECT_EQ(view->shortcutValue(), HKShortcut(kC, kSuperShift));
    press("");
    EXPECT_EQ(shows, 0);
    press("key super+shift+c");
    EXPECT_EQ(shows, 1) << "recording ended";
    desktop::KeyboardLayout::setCurrent(previous);
}

}  // namespace
