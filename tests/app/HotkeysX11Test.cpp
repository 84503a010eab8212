// The twenty-eight default hotkeys of a launched application on a private X
// server, pressed through XTest (xdotool): each runs its action once, also
// with Num Lock or Caps Lock on, while the main window has the focus and when
// held; a combination another client holds first stays that client's.
#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/AppDelegate.h"
#include "hotkeys/HKShortcutBinder.h"
#include "kit/TLHotkeyTable.h"
#include "kit/TLPasteScript.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/KeyboardLayout.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "tests/support/FakeStatusItem.h"
#include "tests/support/OtherX11Client.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/RequireDisplay.h"
#include "tests/support/TempHome.h"
#include "views/TLTavloWindowController.h"

namespace {

using Events = std::vector<std::string>;

// The delegate's own actions, counted instead of run.
class RecordingDelegate : public AppDelegate {
public:
    RecordingDelegate(Environment environment, Events& events) : AppDelegate(std::move(environment)), events_(events) {}
    void toggleAutoSave() override { events_.push_back("toggleAutoSave"); }
    void saveCurrentClipboard() override { events_.push_back("saveCurrentClipboard"); }
    void clearClipboard() override { events_.push_back("clearClipboard"); }
    void togglePlainText() override { events_.push_back("togglePlainText"); }

private:
    Events& events_;
};

// xdotool's names for the table's default combinations, in table order.
const char* const kKeys[28] = {
    "super+shift+c", "super+shift+l", "super+shift+bracketright", "super+alt+shift+bracketright",
    "super+ctrl+alt+c", "super+shift+s", "super+shift+x", "super+shift+t",
    "super+shift+1", "super+shift+2", "super+shift+3", "super+shift+4", "super+shift+5",
    "super+shift+6", "super+shift+7", "super+shift+8", "super+shift+9", "super+shift+0",
    "super+alt+shift+1", "super+alt+shift+2", "super+alt+shift+3", "super+alt+shift+4", "super+alt+shift+5",
    "super+alt+shift+6", "super+alt+shift+7", "super+alt+shift+8", "super+alt+shift+9", "super+alt+shift+0",
};

Events expectedEvents(const std::string& except = {}) {
    Events events;
    for (const TLHotkeyRow& row : TLHotkeyTable) {
        std::string key = row.key;
        std::string event = row.digit >= 0 ? std::string(row.paste ? "Paste:" : "Copy:") + std::to_string(row.digit)
                            : key == TLHotkeyToggleClipboardRecorder ? "toggleAutoSave"
                            : key == TLHotkeySaveClipboard            ? "saveCurrentClipboard"
                            : key == TLHotkeyClearClipboardKey        ? "clearClipboard"
                            : key == TLHotkeyTogglePlainText          ? "togglePlainText"
                                                                      : key;
        if (event != except) events.push_back(event);
    }
    return events;
}

class HotkeysX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY") && std::system("command -v xdotool >/dev/null") == 0,
                                   "no X server or no xdotool");
        auto& center = foundation::NotificationCenter::defaultCenter();
        observer_ = center.addObserver({}, nullptr, [this](const foundation::Notification& n) {
            if (n.name == TLCopyClippingAtIndexNotification || n.name == TLPasteClippingAtIndexNotification) {
                const int64_t* digit = n.valueAs<int64_t>();
                events_.push_back(std::string(n.name == TLCopyClippingAtIndexNotification ? "Copy:" : "Paste:") +
                                  (digit ? std::to_string(*digit) : "?"));
            } else if (n.name.rfind("TLHotkey", 0) == 0) {
                events_.push_back(n.name);
            }
        });
    }
    void TearDown() override { foundation::NotificationCenter::defaultCenter().removeObserver(observer_); }

    void launch() {
        // The panel acts on the keys too: with a paste script in place, its
        // paste-next pastes (nothing) instead of asking for one.
        const std::filesystem::path script = home_.root() / "paste-nothing";
        std::ofstream(script) << "#!/bin/sh\nexit 0\n";
        std::filesystem::create_directories(foundation::Paths::applicationScripts());
        ASSERT_TRUE(TLPasteScript::installPasteScript(foundation::Paths::applicationScripts(), script).ok());
        AppDelegate::Environment environment;
        environment.makeStatusItem = [](double length) { return std::make_shared<testsupport::FakeStatusItem>(length); };
        environment.pasteboardManager = [] { return nullptr; };
        environment.addFileLoggers = [] {};
        delegate_ = std::make_unique<RecordingDelegate>(std::move(environment), events_);
        delegate_->applicationDidFinishLaunching();
    }

    // Types every combination of the table (prefix/suffix around each) and
    // waits until `count` actions ran, then a moment for any that ran twice.
    Events pressAll(size_t count, const std::string& around = {}) {
        events_.clear();
        std::string command = "xdotool";
        for (const char* keys : kKeys) command += std::string(" key ") + keys;
        if (!around.empty()) command = "xdotool key " + around + " && " + command + " && xdotool key " + around;
        EXPECT_EQ(std::system(command.c_str()), 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return events_.size() >= count; }, 5000)) << events_.size();
        QTest::qWait(200);
        return events_;
    }

    testsupport::TempHome home_;
    Events events_;
    foundation::NotificationCenter::Token observer_ = 0;
    std::unique_ptr<RecordingDelegate> delegate_;
};

TEST_F(HotkeysX11Test, EachDefaultCombinationRunsItsActionOnce) {
    launch();
    testsupport::RecordingSystemLog::Scope log;
    EXPECT_EQ(pressAll(28), expectedEvents());
    Events lines;
    for (const auto& entry : log->entries()) lines.push_back(entry.message);
    Events expectedLines;
    for (const char* verb : {"Copy ", "Paste "})
        for (int n = 1; n <= 10; ++n) expectedLines.push_back(verb + std::to_string(n));
    EXPECT_EQ(lines, expectedLines);

    EXPECT_EQ(pressAll(28, "Num_Lock"), expectedEvents()) << "Num Lock on";
    EXPECT_EQ(pressAll(28, "Caps_Lock"), expectedEvents()) << "Caps Lock on";

    QWidget* window = delegate_->tavloWindowController()->window();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    EXPECT_EQ(pressAll(28), expectedEvents()) << "the main window focused";

    events_.clear();
    ASSERT_EQ(std::system("xdotool keydown super+shift+5 sleep 0.8 keyup 5 keyup shift keyup super"), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !events_.empty(); }, 5000));
    QTest::qWait(200);
    EXPECT_EQ(events_, Events{"Copy:5"}) << "held";
}

TEST_F(HotkeysX11Test, ACombinationAnotherClientHoldsStaysTheirsAndTheOthersWork) {
    testsupport::OtherX11Client other;
    auto layout = desktop::KeyboardLayout::fromServer();
    ASSERT_TRUE(layout);
    uint32_t keycodeS = layout->keycodeForKeyCode(1);
    other.grab(keycodeS, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4);
    launch();
    EXPECT_EQ(HKShortcutBinder::sharedBinder().valueForKey(TLHotkeySaveClipboard),
              HKShortcut(1, tlhotkeys::kControlShift));

    testsupport::RecordingSystemLog::Scope log;
    EXPECT_EQ(pressAll(27), expectedEvents("saveCurrentClipboard"));
    EXPECT_TRUE(other.hadPress());
    EXPECT_EQ(log->entries().size(), 20u) << "only the numbered keys' lines";
}

}  // namespace
