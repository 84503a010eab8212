#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include "hotkeys/HKShortcutValidator.h"
#include "hotkeys/HKShortcutView.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Menu.h"
#include "tests/support/FakeSystemHotKeys.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/ValueTransformer.h"
#include "tests/support/RecordingSystemLog.h"

using foundation::PlistValue;
using foundation::UserDefaults;

namespace {

constexpr const char* kKey = "TLHotkeyTestRecorder";
constexpr uint64_t kShift = HKShortcut::kShiftKeyMask;
constexpr uint64_t kControl = HKShortcut::kControlKeyMask;
constexpr uint64_t kCommand = HKShortcut::kCommandKeyMask;

using testsupport::FakeSystemHotKeys;

PlistValue archive(const HKShortcut& shortcut) {
    return PlistValue(*foundation::KeyedArchiver::archivedData(shortcut));
}

struct RecorderTest : ::testing::Test {
    std::shared_ptr<UserDefaults> defaults = UserDefaults::standard();
    std::shared_ptr<FakeSystemHotKeys> system = std::make_shared<FakeSystemHotKeys>();
    QWidget window;
    HKShortcutView* view = nullptr;
    std::vector<std::string> announcements;

    void SetUp() override {
        defaults->removeObjectForKey(kKey);
        HKShortcutView::setAnnouncementHook([this](HKShortcutView&, const std::string& text) { announcements.push_back(text); });
        window.resize(320, 80);
        view = makeView();
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    void TearDown() override {
        HKShortcutView::setAnnouncementHook(nullptr);
        desktop::Menu::setMainMenu(nullptr);
        defaults->removeObjectForKey(kKey);
    }
    HKShortcutView* makeView(int y = 10) {
        auto* v = new HKShortcutView(&window);
        v->setGeometry(10, y, 220, 24);
        v->setShortcutValidator(std::make_shared<HKShortcutValidator>(system));
        v->show();
        return v;
    }
    void clickText(HKShortcutView* v) { QTest::mouseClick(v, Qt::LeftButton, {}, v->shortcutRect().center()); }
    void clickHint(HKShortcutView* v) { QTest::mouseClick(v, Qt::LeftButton, {}, v->hintRect().center()); }
    std::optional<HKShortcut> stored() {
        std::any value = foundation::ValueTransformer::valueTransformerForName(
                             foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName)
                             ->transformedValue(defaults->objectForKey(kKey));
        if (!value.has_value()) return std::nullopt;
        return std::any_cast<HKShortcut>(value);
    }
};

TEST_F(RecorderTest, ModifiersAloneShowAsThePlaceholderUntilReleased) {
    view->setAssociatedUserDefaultsKey(kKey);
    clickText(view);
    ASSERT_TRUE(view->isRecording());
    EXPECT_EQ(view->title(), "Type Shortcut");
    EXPECT_EQ(view->hintGlyph(), "\u238B");
    // One event each, with the modifiers held before it, as X reports them.
    auto send = [&](QEvent::Type type, int key, Qt::KeyboardModifiers held) {
        QKeyEvent event(type, key, held);
        QApplication::sendEvent(view, &event);
    };
    send(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier);
    EXPECT_EQ(view->title(), "Super+");
    send(QEvent::KeyPress, Qt::Key_Shift, Qt::MetaModifier);
    EXPECT_EQ(view->title(), "Super+Shift+");
    send(QEvent::KeyRelease, Qt::Key_Shift, Qt::MetaModifier | Qt::ShiftModifier);
    EXPECT_EQ(view->title(), "Super+");
    send(QEvent::KeyRelease, Qt::Key_Meta, Qt::MetaModifier);
    EXPECT_EQ(view->title(), "Type Shortcut");
    EXPECT_TRUE(view->isRecording());
    EXPECT_TRUE(announcements.empty());
}

TEST_F(RecorderTest, AnInvalidCombinationBeepsAndAValidOneIsStored) {
    view->setAssociatedUserDefaultsKey(kKey);
    clickText(view);
    int beeps = HKShortcutView::beepCount();
    QTest::keyClick(view, Qt::Key_A, Qt::ShiftModifier);
    EXPECT_EQ(HKShortcutView::beepCount(), beeps + 1);
    EXPECT_TRUE(view->isRecording());
    EXPECT_TRUE(defaults->objectForKey(kKey).isNull());

    QTest::keyClick(view, Qt::Key_A, Qt::MetaModifier | Qt::ShiftModifier);
    EXPECT_FALSE(view->isRecording());
    EXPECT_EQ(defaults->objectForKey(kKey), archive(HKShortcut(0, 0x60000)));
    EXPECT_EQ(view->title(), "Super+Shift+A");
    EXPECT_EQ(view->hintGlyph(), "\u2715");
    EXPECT_EQ(announcements, std::vector<std::string>{"Shortcut set"});
    EXPECT_EQ(HKShortcutView::beepCount(), beeps + 1);
}

TEST_F(RecorderTest, BackspaceClearsEscapeKeepsAndCtrlBackspaceIsACandidate) {
    defaults->setObject(archive(HKShortcut(8, kControl | kShift)), kKey);
    view->setAssociatedUserDefaultsKey(kKey);
    ASSERT_EQ(view->shortcutValue(), HKShortcut(8, kControl | kShift));

    clickText(view);
    EXPECT_EQ(view->title(), "Type New Shortcut");
    QTest::keyClick(view, Qt::Key_Escape);
    EXPECT_FALSE(view->isRecording());
    EXPECT_EQ(stored(), HKShortcut(8, kControl | kShift));

    clickText(view);
    QTest::keyClick(view, Qt::Key_Backspace, Qt::ControlModifier);
    EXPECT_EQ(stored(), HKShortcut(51, kCommand));
    EXPECT_EQ(view->title(), "Ctrl+Backspace");

    clickText(view);
    QTest::keyClick(view, Qt::Key_Backspace);
    EXPECT_FALSE(view->isRecording());
    EXPECT_FALSE(view->shortcutValue());
    EXPECT_TRUE(defaults->objectForKey(kKey).isNull());
    EXPECT_EQ(view->title(), "Record Shortcut");
    EXPECT_EQ(announcements, (std::vector<std::string>{"Shortcut set", "Shortcut set", "Shortcut cleared"}));
}

TEST_F(RecorderTest, CtrlWStopsRecordingAndStillReachesTheWindow) {
    int closes = 0;
    auto* close = new QAction(&window);
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    QObject::connect(close, &QAction::triggered, [&] { ++closes; });
    window.addAction(close);
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    view->setAssociatedUserDefaultsKey(kKey);
    clickText(view);
    QTest::keyClick(view, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(view->isRecording());
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(defaults->objectForKey(kKey).isNull());
    // While recording, the window's shortcut never takes a combination the recorder claims.
    close->setShortcut(QKeySequence(Qt::META | Qt::SHIFT | Qt::Key_A));
    clickText(view);
    QTest::keyClick(view, Qt::Key_A, Qt::MetaModifier | Qt::ShiftModifier);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(stored(), HKShortcut(0, kControl | kShift));
}

TEST_F(RecorderTest, ClicksOnTheMarksAndASecondView) {
    view->setShortcutValue(HKShortcut(8, kControl | kShift));
    clickHint(view);  // the delete mark
    EXPECT_FALSE(view->shortcutValue());
    EXPECT_FALSE(view->isRecording());

    clickText(view);
    ASSERT_TRUE(view->isRecording());
    QTest::mouseMove(view, view->hintRect().center());
    EXPECT_TRUE(view->isHinting());
    EXPECT_EQ(view->title(), "Cancel");
    clickHint(view);
    EXPECT_FALSE(view->isRecording());

    HKShortcutView* second = makeView(40);
    clickText(view);
    clickText(second);
    EXPECT_FALSE(view->isRecording());
    EXPECT_TRUE(second->isRecording());
    EXPECT_EQ(HKShortcutView::recordingView(), second);
    QTest::keyClick(second, Qt::Key_Escape);
    EXPECT_FALSE(second->isRecording());
}

TEST_F(RecorderTest, AnotherWindowBecomingActiveOrDisablingStopsRecording) {
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    clickText(view);
    ASSERT_TRUE(view->isRecording());
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    EXPECT_FALSE(view->isRecording());

    clickText(view);
    ASSERT_TRUE(view->isRecording());
    view->setEnabled(false);
    EXPECT_FALSE(view->isRecording());
    view->setRecording(true);  // a disabled view cannot record, but is the one asked
    EXPECT_FALSE(view->isRecording());
    EXPECT_EQ(HKShortcutView::recordingView(), view);
}

TEST_F(RecorderTest, ATakenCombinationIsExplainedAndRecordingGoesOn) {
    auto menu = std::make_shared<desktop::Menu>();
    auto quit = std::make_shared<desktop::MenuItem>("Quit", nullptr, "q");
    quit->setKeyEquivalentModifierMask(kControl | kShift);
    menu->addItem(quit);
    desktop::Menu::setMainMenu(menu);
    system->taken.insert({0, HKShortcut::kCmdKey | HKShortcut::kOptionKey});
    view->setAssociatedUserDefaultsKey(kKey);
    clickText(view);

    struct Shown {
        QString message, informative;
    };
    std::vector<Shown> shown;
    auto answerNextAlert = [&] {
        QTimer::singleShot(0, [&] {
            QWidget* alert = QApplication::activeModalWidget();
            if (!alert) return;
            shown.push_back({alert->findChild<QLabel*>("alertMessage")->text(),
                             alert->findChild<QLabel*>("alertInformative")->text()});
            desktop::Alert::answerShown(0);
        });
    };
    answerNextAlert();
    QTest::keyClick(view, Qt::Key_Q, Qt::MetaModifier | Qt::ShiftModifier);
    answerNextAlert();
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier | Qt::AltModifier);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].message, "The key combination Super+Shift+Q cannot be used");
    EXPECT_EQ(shown[0].informative, "This shortcut cannot be used because it is already used by the menu item \u2018Quit\u2019.");
    EXPECT_EQ(shown[1].message, "The key combination Ctrl+Alt+A cannot be used");
    EXPECT_EQ(shown[1].informative, HKShortcutValidator::kSystemExplanation);
    EXPECT_TRUE(view->isRecording());
    EXPECT_EQ(view->shortcutPlaceholder(), "");
    EXPECT_TRUE(defaults->objectForKey(kKey).isNull());
    QTest::keyClick(view, Qt::Key_A, Qt::MetaModifier | Qt::ShiftModifier);
    EXPECT_EQ(stored(), HKShortcut(0, kControl | kShift));
}

TEST_F(RecorderTest, BindingsLoadOnceWriteOnlyWhenBoundAndLogTheirFaults) {
    testsupport::RecordingSystemLog::Scope log;
    view->setShortcutValue(HKShortcut(8, kCommand));  // unbound: keeps it to itself
    EXPECT_TRUE(defaults->objectForKey(kKey).isNull());
    EXPECT_TRUE(log->entries().empty());

    defaults->setObject(archive(HKShortcut(8, kControl | kShift)), kKey);
    HKShortcutView* bound = makeView(40);
    std::vector<std::optional<HKShortcut>> changes;
    bound->setShortcutValueChange([&](HKShortcutView& v) { changes.push_back(v.shortcutValue()); });
    bound->setAssociatedUserDefaultsKey(kKey);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], HKShortcut(8, kControl | kShift));
    EXPECT_EQ(bound->associatedUserDefaultsKey(), kKey);
    defaults->setObject(archive(HKShortcut(9, kControl)), kKey);  // another writer
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(bound->shortcutValue(), HKShortcut(9, kControl));

    bound->bind(nullptr, std::string("values.") + kKey, nullptr, foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName);
    bound->setShortcutValue(HKShortcut(1, kCommand));
    bound->bind(defaults, "", nullptr, foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName);
    bound->setShortcutValue(HKShortcut(2, kCommand));
    class OneWay : public foundation::ValueTransformer {
        std::any transformedValue(const std::any& v) const override { return v; }
    };
    bound->bind(defaults, std::string("values.") + kKey, std::make_shared<OneWay>(), "");
    bound->setShortcutValue(HKShortcut(3, kCommand));
    auto entries = log->entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].message.rfind("ERROR: NSObservedObjectKey was nil for binding \"shortcutValue\" in ", 0), 0u);
    EXPECT_EQ(entries[1].message.rfind("ERROR: NSObservedKeyPathKey was nil for binding \"shortcutValue\" in ", 0), 0u);
    EXPECT_EQ(entries[2].message.rfind("WARNING: binding \"shortcutValue\" has value transformer, but it doesn't allow "
                                       "reverse transformations in ", 0), 0u);
    EXPECT_EQ(stored(), HKShortcut(9, kControl));  // none of these wrote
    bound->unbind();
    EXPECT_FALSE(bound->associatedUserDefaultsKey());
}

TEST_F(RecorderTest, IsAButtonToAssistiveTechnologies) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(view);
    ASSERT_TRUE(accessible);
    EXPECT_EQ(accessible->role(), QAccessible::Button);
    EXPECT_EQ(accessible->text(QAccessible::Name), "Empty keyboard shortcut");
    view->setShortcutValue(HKShortcut(8, kControl | kShift));
    EXPECT_EQ(accessible->text(QAccessible::Name), "Super+Shift+C keyboard shortcut");
    accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(view->isRecording());
    QTest::keyClick(view, Qt::Key_Escape);
}

}  // namespace
