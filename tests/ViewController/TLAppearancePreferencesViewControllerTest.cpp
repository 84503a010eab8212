// The Appearance pane: what each control shows of the settings, what it writes
// and which notifications follow, the width steps that keep the window's
// centre, and the alert when the tray icon is switched off.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QSlider>

#include "ViewController/TLAppearancePreferencesViewController.h"
#include "hotkeys/HKShortcut.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Alert.h"
#include "platform/foundation/FrameString.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempHome.h"

namespace {

using foundation::PlistValue;
using Pane = TLAppearancePreferencesViewController;
using Names = std::vector<std::string>;

class TLAppearancePreferencesViewControllerTest : public ::testing::Test {
protected:
    TLAppearancePreferencesViewControllerTest() {
        auto& center = foundation::NotificationCenter::defaultCenter();
        observer_ = center.addObserver({}, nullptr, [this](const foundation::Notification& n) {
            if (n.name.rfind("TL", 0) == 0) posted_.push_back(n.name);
        });
    }
    ~TLAppearancePreferencesViewControllerTest() override {
        foundation::NotificationCenter::defaultCenter().removeObserver(observer_);
    }
    static std::shared_ptr<foundation::UserDefaults> suite() { return foundation::UserDefaults::applicationGroup(); }
    static std::string frame() { return suite()->stringForKey(TLUserDefaultsWindowFrame).value_or("(none)"); }

    testsupport::TempHome home_;
    foundation::NotificationCenter::Token observer_;
    Names posted_;
};

TEST_F(TLAppearancePreferencesViewControllerTest, TheWidthSliderStepsAndKeepsTheWindowsCentre) {
    struct Row {
        double width;
        int slider;
    };
    for (Row row : {Row{0, 0}, Row{280, 0}, Row{280.5, 25}, Row{300, 25}, Row{320, 25}, Row{321, 50}, Row{360, 50},
                    Row{400, 75}, Row{401, 100}, Row{5000, 100}})
        EXPECT_EQ(Pane::sliderValueForWidth(row.width), row.slider) << row.width;
    for (Row row : {Row{280, 0}, Row{320, 1}, Row{320, 25}, Row{360, 26}, Row{360, 50}, Row{400, 75}, Row{440, 76},
                    Row{440, 100}})
        EXPECT_EQ(Pane::widthForSliderValue(row.slider), row.width) << row.slider;

    suite()->setObject(PlistValue(std::string("{{100, 50}, {300, 600}}")), TLUserDefaultsWindowFrame);
    Pane pane;
    EXPECT_EQ(pane.windowWidthSlider()->value(), 25);
    EXPECT_TRUE(posted_.empty());
    pane.windowWidthSlider()->setValue(50);
    EXPECT_EQ(frame(), "{{70, 50}, {360, 600}}");
    EXPECT_EQ(posted_, Names{TLUserDefaultsWindowFrame});
}

TEST_F(TLAppearancePreferencesViewControllerTest, AFrameThatIsNoFrameShowsZeroAndTheNextMoveStoresAWholeOne) {
    for (PlistValue stored : {PlistValue(int64_t(300)), PlistValue(std::string("garbage"))}) {
        suite()->setObject(stored, TLUserDefaultsWindowFrame);
        Pane pane;
        EXPECT_EQ(pane.windowWidthSlider()->value(), 0);
        pane.windowWidthSlider()->setValue(25);
        auto rect = foundation::FrameString::rectFromString(frame());
        EXPECT_EQ(foundation::FrameString::stringFromRect(rect), frame()) << "a whole frame";
        EXPECT_EQ(rect.width, 320);
    }
}

TEST_F(TLAppearancePreferencesViewControllerTest, ControlsShowTheirKeysAndOnlyTheFollowedOnesPost) {
    auto s = suite();
    s->setInteger(2, TLUserDefaultsWindowAppearance);
    s->setBool(true, TLUserDefaultsPlaySounds);
    s->setBool(true, TLUserDefaultsHideWindowOnLaunchKey);
    s->setBool(false, TLUserDefaultsScrollToTopOnActivation);
    s->setBool(true, TLUserDefaultsCloseDetachedWindowOnResignKey);
    s->setInteger(8, TLUserDefaultsRowHeightKey);
    Pane pane;
    EXPECT_EQ(pane.themeButton()->currentIndex(), 2);
    EXPECT_TRUE(pane.soundsButton()->isChecked());
    EXPECT_FALSE(pane.showWindowButton()->isChecked()) << "shown inverted";
    EXPECT_FALSE(pane.scrollToTopButton()->isChecked());
    EXPECT_TRUE(pane.closeDetached()->isChecked());
    EXPECT_EQ(pane.rowHeightSlider()->value(), 8);

    // The four quiet controls write and post nothing.
    pane.soundsButton()->click();
    pane.showWindowButton()->click();
    pane.scrollToTopButton()->click();
    pane.closeDetached()->click();
    EXPECT_FALSE(s->boolForKey(TLUserDefaultsPlaySounds));
    EXPECT_FALSE(s->boolForKey(TLUserDefaultsHideWindowOnLaunchKey));
    EXPECT_TRUE(s->boolForKey(TLUserDefaultsScrollToTopOnActivation));
    EXPECT_FALSE(s->boolForKey(TLUserDefaultsCloseDetachedWindowOnResignKey));
    EXPECT_TRUE(posted_.empty());

    pane.themeButton()->setCurrentIndex(1);
    pane.updateAppearanceOption();
    pane.rowHeightSlider()->setValue(10);
    EXPECT_EQ(s->integerForKey(TLUserDefaultsWindowAppearance), 1);
    EXPECT_EQ(s->integerForKey(TLUserDefaultsRowHeightKey), 10);
    EXPECT_EQ(posted_, (Names{TLUserDefaultsWindowAppearance, TLUserDefaultsRowHeightKey}));
}

TEST_F(TLAppearancePreferencesViewControllerTest, SwitchingTheIconOffDetachesAnAttachedWindowFirstAndNamesTheHotkey) {
    auto defaults = foundation::UserDefaults::standard();
    defaults->registerDefaults(
        {{TLHotkeyShowApplication, PlistValue(*foundation::KeyedArchiver::archivedData(HKShortcut(8, 0x60000)))}});
    suite()->setBool(true, TLUserDefaultsShowsMenuBarIcon);
    QWidget window;
    auto* pane = new Pane(&window);
    window.show();
    EXPECT_TRUE(pane->showMenuBarButton()->isChecked());

    for (bool detached : {false, true}) {
        posted_.clear();
        suite()->setBool(detached, TLUserDefaultsWindowIsDetached);
        suite()->setBool(true, TLUserDefaultsShowsMenuBarIcon);
        pane->viewWillAppear();
        pane->showMenuBarButton()->click();
        EXPECT_FALSE(suite()->boolForKey(TLUserDefaultsShowsMenuBarIcon));
        if (detached) EXPECT_EQ(posted_, Names{TLUserDefaultsShowsMenuBarIcon});
        else EXPECT_EQ(posted_, (Names{Pane::kDetachWindowNotification, TLUserDefaultsShowsMenuBarIcon}));
        desktop::Alert* sheet = desktop::Alert::attachedSheet(&window);
        ASSERT_NE(sheet, nullptr);
        EXPECT_EQ(sheet->messageText(), "Menu Bar Icon Hidden");
        EXPECT_EQ(sheet->informativeText(), "Use the hotkey (Super+Shift+C) to activate Tavlo.");
        EXPECT_TRUE(desktop::Alert::answerShown(0));
    }

    // On again: stored and posted, no alert.
    posted_.clear();
    pane->showMenuBarButton()->click();
    EXPECT_TRUE(suite()->boolForKey(TLUserDefaultsShowsMenuBarIcon));
    EXPECT_EQ(posted_, Names{TLUserDefaultsShowsMenuBarIcon});
    EXPECT_EQ(desktop::Alert::attachedSheet(&window), nullptr);
    defaults->registerDefaults({});
}

}  // namespace
