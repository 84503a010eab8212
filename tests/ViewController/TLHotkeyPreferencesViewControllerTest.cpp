// The Hotkeys pane: loading delivers the eight stored values and posts
// "TLRegisterHotkeys" once per recorder; Restore Defaults writes the eight
// defaults and leaves the numbered hotkeys alone.
#include <gtest/gtest.h>

#include <QPushButton>

#include "ViewController/TLHotkeyPreferencesViewController.h"
#include "hotkeys/HKShortcut.h"
#include "hotkeys/HKShortcutView.h"
#include "kit/TLHotkeyTable.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/ValueTransformer.h"
#include "tests/support/TempHome.h"

namespace {

using foundation::PlistValue;

constexpr uint64_t kSuperShift = HKShortcut::kControlKeyMask | HKShortcut::kShiftKeyMask;

class TLHotkeyPreferencesViewControllerTest : public ::testing::Test {
protected:
    TLHotkeyPreferencesViewControllerTest() {
        observer_ = foundation::NotificationCenter::defaultCenter().addObserver(
            TLRegisterHotkeys, nullptr, [this](const foundation::Notification&) { ++posts_; });
    }
    ~TLHotkeyPreferencesViewControllerTest() override {
        foundation::NotificationCenter::defaultCenter().removeObserver(observer_);
    }
    static PlistValue archive(const HKShortcut& shortcut) {
        auto transformer = foundation::ValueTransformer::valueTransformerForName(
            foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName);
        return std::any_cast<PlistValue>(transformer->reverseTransformedValue(shortcut));
    }
    static std::shared_ptr<foundation::UserDefaults> standard() { return foundation::UserDefaults::standard(); }

    testsupport::TempHome home_;
    foundation::NotificationCenter::Token observer_;
    int posts_ = 0;
};

TEST_F(TLHotkeyPreferencesViewControllerTest, LoadingShowsTheStoredValuesAndPostsOncePerRecorder) {
    const HKShortcut stored(1, kSuperShift | HKShortcut::kAlternateKeyMask);
    standard()->setObject(archive(stored), TLHotkeySaveClipboard);
    TLHotkeyPreferencesViewController pane;
    EXPECT_EQ(posts_, 8);
    EXPECT_EQ(pane.saveClipboardShortcutView()->shortcutValue(), stored);
    EXPECT_EQ(pane.showApplicationShortcutView()->shortcutValue(), std::nullopt);
    EXPECT_EQ(pane.togglePlainTextShorcutView()->associatedUserDefaultsKey(), std::string(TLHotkeyTogglePlainText));
    EXPECT_EQ(pane.saveClipboardShortcutView()->title().toStdString(), "Super+Alt+Shift+S");
}

TEST_F(TLHotkeyPreferencesViewControllerTest, RestoreWritesTheEightDefaultsAndLeavesTheNumberedKeys) {
    const HKShortcut numbered(18, HKShortcut::kCommandKeyMask);
    standard()->setObject(archive(numbered), "TLHotkeyCopyClipping1");
    standard()->setObject(archive(HKShortcut(37, HKShortcut::kCommandKeyMask)), TLHotkeyNextList);
    TLHotkeyPreferencesViewController pane;
    pane.showApplicationShortcutView()->setShortcutValue(std::nullopt);  // cleared, as the ✕ mark does
    EXPECT_TRUE(standard()->objectForKey(TLHotkeyShowApplication).isNull());
    posts_ = 0;

    pane.restoreButton()->click();
    EXPECT_EQ(posts_, 8);
    auto transformer = foundation::ValueTransformer::valueTransformerForName(
        foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName);
    auto storedAt = [&](const char* key) -> std::optional<HKShortcut> {
        std::any value = transformer->transformedValue(standard()->objectForKey(key));
        const HKShortcut* shortcut = std::any_cast<HKShortcut>(&value);
        return shortcut ? std::optional<HKShortcut>(*shortcut) : std::nullopt;
    };
    EXPECT_EQ(storedAt(TLHotkeyShowApplication), HKShortcut(8, kSuperShift));
    for (int i = 0; i < tlhotkeys::kNamedRows; ++i) {
        const TLHotkeyRow& row = TLHotkeyTable[i];
        EXPECT_EQ(storedAt(row.key), HKShortcut(row.keyCode, row.modifierFlags)) << row.key;
    }
    EXPECT_EQ(storedAt("TLHotkeyCopyClipping1"), numbered);
    EXPECT_TRUE(standard()->objectForKey("TLHotkeyCopyClipping2").isNull());
}

}  // namespace
