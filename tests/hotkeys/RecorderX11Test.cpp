// The recorder on a real X server, fed by the keyboard through XTest
// (xdotool): key events carry X keycodes, read back to key positions through
// the server's keymap.

#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

#include <cstdlib>

#include "hotkeys/HKShortcutValidator.h"
#include "hotkeys/HKShortcutView.h"
#include "platform/desktop/KeyboardLayout.h"
#include "tests/support/FakeSystemHotKeys.h"
#include "tests/support/TempHome.h"
#include "tests/support/RequireDisplay.h"

namespace {

TEST(RecorderX11Test, CombinationsTypedOnTheKeyboardAreRecorded) {
    if (!std::getenv("DISPLAY") || std::system("command -v xdotool >/dev/null") != 0) {
        TAVLO_SKIP_WITHOUT_DISPLAY(false, "no X server or no xdotool");
    }
    testsupport::TempHome home;
    auto previous = desktop::KeyboardLayout::current();
    desktop::KeyboardLayout::setCurrent(desktop::KeyboardLayout::fromServer());
    QWidget window;
    window.resize(260, 50);
    auto* view = new HKShortcutView(&window);
    view->setGeometry(10, 10, 220, 24);
    view->setShortcutValidator(std::make_shared<HKShortcutValidator>(std::make_shared<testsupport::FakeSystemHotKeys>()));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    struct Row {
        const char* keys;
        HKShortcut shortcut;
        const char* label;
    };
    const Row rows[] = {
        {"super+shift+a", HKShortcut(0, HKShortcut::kControlKeyMask | HKShortcut::kShiftKeyMask), "Super+Shift+A"},
        {"ctrl+BackSpace", HKShortcut(51, HKShortcut::kCommandKeyMask), "Ctrl+Backspace"},
        {"ctrl+alt+bracketright", HKShortcut(30, HKShortcut::kCommandKeyMask | HKShortcut::kAlternateKeyMask),
         "Ctrl+Alt+]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.keys);
        view->setRecording(true);
        ASSERT_EQ(std::system((std::string("xdotool key ") + row.keys).c_str()), 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !view->isRecording(); }, 5000));
        EXPECT_EQ(view->shortcutValue(), row.shortcut);
        EXPECT_EQ(view->title().toStdString(), row.label);
    }
    desktop::KeyboardLayout::setCurrent(previous);
}

}  // namespace
