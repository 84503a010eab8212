#include <gtest/gtest.h>

#include "kit/NSColorTavloColors.h"
#include "kit/NSDateCloudKit.h"
#include "kit/NSObjectSwiftyAs.h"
#include "kit/NSTimerBlocks.h"
#include "kit/TLInterfaceSound.h"
#include "kit/TavloKit.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/FakeInterfaceStyle.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/TempHome.h"

using foundation::PlistValue;
using foundation::UserDefaults;

namespace {

class KitHelpersTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop::InterfaceStyle::setCurrent(style_);
        desktop::SoundPlayer::setCurrent(sounds_);
        foundation::Bundle::setMainBundlePath({});
    }
    void TearDown() override {
        desktop::InterfaceStyle::setCurrent(nullptr);
        desktop::SoundPlayer::setCurrent(nullptr);
        foundation::Date::setClock({});
        foundation::Bundle::setMainBundlePath({});
    }
    // Settings are written as another part of the application would: through a
    // fresh handle onto the suite.
    void setSetting(const std::string& key, PlistValue value) {
        UserDefaults::applicationGroup()->setObject(value, key);
    }

    testsupport::TempHome home_;
    std::shared_ptr<testsupport::FakeInterfaceStyle> style_ = std::make_shared<testsupport::FakeInterfaceStyle>();
    std::shared_ptr<testsupport::RecordingSoundPlayer> sounds_ = std::make_shared<testsupport::RecordingSoundPlayer>();
};

}  // namespace

TEST_F(KitHelpersTest, GenerateUUIDIsCanonicalUpperCase) {
    std::string a = TavloKit::generateUUID(), b = TavloKit::generateUUID();
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 36u);
    for (size_t i : {8, 13, 18, 23}) EXPECT_EQ(a[i], '-');
    EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
}

TEST_F(KitHelpersTest, IsDarkModeAcrossAppearanceAndDesktopSetting) {
    struct Row {
        const char* name;
        PlistValue appearance;  // null: unset
        PlistValue desktopStyle;
        bool dark;
    };
    const Row rows[] = {
        {"follow, no desktop style", PlistValue(0), PlistValue(), false},
        {"unset follows the desktop", PlistValue(), PlistValue("Dark"), true},
        {"follow, Dark", PlistValue(0), PlistValue("Dark"), true},
        {"follow, dark", PlistValue(0), PlistValue("dark"), true},
        {"follow, DARK", PlistValue(0), PlistValue("DARK"), true},
        {"follow, Light", PlistValue(0), PlistValue("Light"), false},
        {"follow, dark with a blank", PlistValue(0), PlistValue("dark "), false},
        {"follow, not a string", PlistValue(0), PlistValue(1), false},
        {"light despite a dark desktop", PlistValue(1), PlistValue("Dark"), false},
        {"dark", PlistValue(2), PlistValue(), true},
        {"any other value is dark", PlistValue(7), PlistValue(), true},
        {"negative is dark", PlistValue(-1), PlistValue("Light"), true},
        {"numeric text 1 is light", PlistValue("1"), PlistValue("Dark"), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        setSetting("TLUserDefaultsWindowAppearance", row.appearance);
        style_->setAppleInterfaceStyle(row.desktopStyle);
        EXPECT_EQ(TavloKit::isDarkMode(), row.dark);
    }
}

TEST_F(KitHelpersTest, PaletteFollowsTheModeAtEachCall) {
    setSetting("TLUserDefaultsWindowAppearance", PlistValue(2));
    EXPECT_EQ(NSColorTavloColors::tableViewBackgroundColor(), QColor::fromRgbF(0.15f, 0.15f, 0.15f));
    EXPECT_EQ(NSColorTavloColors::tlBlueColor(), QColor::fromRgbF(0, 0.75f, 1));
    setSetting("TLUserDefaultsWindowAppearance", PlistValue(1));
    EXPECT_EQ(NSColorTavloColors::tableViewBackgroundColor(), QColor::fromRgbF(0.95f, 0.95f, 0.95f));
    EXPECT_EQ(NSColorTavloColors::tlBlueColor(), QColor::fromRgbF(30 / 255.f, 139 / 255.f, 205 / 255.f));
    EXPECT_EQ(NSColorTavloColors::darkInactiveHeaderColor(), NSColorTavloColors::darkClippingsViewBackgroundColor());
    EXPECT_NEAR(NSColorTavloColors::tlDarkBlueColor().alphaF(), 0.8, 1e-4);
    EXPECT_NEAR(NSColorTavloColors::appTintColorWithAlpha(0.3).alphaF(), 0.3, 1e-4);
}

TEST_F(KitHelpersTest, CurrentServerDateAddsTheOffset) {
    foundation::Date::setClock([] { return 1700000000.0; });
    EXPECT_EQ(NSDateCloudKit::currentServerDate().timeIntervalSince1970(), 1700000000.0);
    setSetting("TLUserDefaultsServerTimeOffset", PlistValue(-3600.0));
    EXPECT_EQ(NSDateCloudKit::currentServerDate().timeIntervalSince1970(), 1700000000.0 - 3600);
    setSetting("TLUserDefaultsServerTimeOffset", PlistValue(std::nan("")));
    EXPECT_EQ(NSDateCloudKit::currentServerDate().timeIntervalSince1970(), 1700000000.0);
}

TEST_F(KitHelpersTest, SoundsOffMakeNoSoundAtAll) {
    setSetting("TLUserDefaultsPlaySounds", PlistValue(false));
    TLInterfaceSound::saved();
    TLInterfaceSound::beep();
    EXPECT_TRUE(sounds_->loads().empty());
    EXPECT_TRUE(sounds_->plays().empty());
}

TEST_F(KitHelpersTest, EachSoundIsLoadedOnceAndPlayedByName) {
    setSetting("TLUserDefaultsPlaySounds", PlistValue(true));
    for (int i = 0; i < 1000; ++i) TLInterfaceSound::saved();
    TLInterfaceSound::tavlo();
    TLInterfaceSound::error();
    TLInterfaceSound::success();
    TLInterfaceSound::beep();
    EXPECT_EQ(sounds_->loads(), (std::vector<std::string>{"Paste", "Tavlo", "Error", "Success", "Beep"}));
    EXPECT_EQ(sounds_->plays().size(), 1004u);
    EXPECT_EQ(sounds_->plays().back(), "Beep");
    EXPECT_EQ(sounds_->fileOf("Paste").parent_path(), foundation::Bundle::main()->resourcePath());
}

TEST_F(KitHelpersTest, AMissingSoundResourcePlaysNothing) {
    setSetting("TLUserDefaultsPlaySounds", PlistValue(true));
    foundation::Bundle::setMainBundlePath(home_.root());  // a bundle without sounds
    TLInterfaceSound::playSoundWithName("Paste");
    EXPECT_TRUE(sounds_->plays().empty());
}

TEST_F(KitHelpersTest, BlockTimersRunOnTheDispatchClock) {
    dispatch::Clock::useVirtualTime();
    int ticks = 0, once = 0;
    auto tick = NSTimerBlocks::scheduledTimerWithTimeInterval(0.25, [&] { ++ticks; }, true);
    NSTimerBlocks::scheduledTimerWithTimeInterval(0.5, [&] { ++once; }, false);  // pointer dropped: still fires
    auto unscheduled = NSTimerBlocks::timerWithTimeInterval(0.1, [&] { ++once; }, true);
    dispatch::Clock::advance(1.0);
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(once, 1);
    tick->invalidate();
    dispatch::Clock::advance(1.0);
    EXPECT_EQ(ticks, 4);
    EXPECT_FALSE(tick->isValid());
    unscheduled->fire();
    EXPECT_EQ(once, 2);
    NSTimerBlocks::jdExecuteSimpleBlock(*NSTimerBlocks::timerWithTimeInterval(1, nullptr, false));  // no block: nothing
    dispatch::Clock::useRealTime();
}

namespace {
struct Animal {
    virtual ~Animal() = default;
};
struct Cat : Animal {};
struct Dog : Animal {};
}  // namespace

TEST_F(KitHelpersTest, SwiftyAsCastsWithoutKeepingTheObject) {
    std::shared_ptr<Animal> cat = std::make_shared<Cat>();
    auto caster = NSObjectSwiftyAs::as(cat);
    EXPECT_EQ(caster.to<Cat>(), cat);
    EXPECT_EQ(caster.to<Dog>(), nullptr);
    cat.reset();
    EXPECT_EQ(caster.to<Cat>(), nullptr);
}
