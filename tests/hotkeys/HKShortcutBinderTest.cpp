// The binder without an X server (Qt's offscreen platform): there is no
// monitor, so nothing is ever registered, but bound keys still follow their
// stored values and defaults; a key that is not bound is a programming error.

#include <gtest/gtest.h>

#include "hotkeys/HKShortcutBinder.h"
#include "hotkeys/HKShortcutMonitor.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/ValueTransformer.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

constexpr uint64_t kSuperShift = HKShortcut::kControlKeyMask | HKShortcut::kShiftKeyMask;

TEST(HKShortcutBinderTest, WithoutAnXServerKeysFollowTheirValuesAndNothingIsRegistered) {
    EXPECT_EQ(HKShortcutMonitor::sharedMonitor(), nullptr);
    testsupport::TempHome home;
    auto defaults = foundation::UserDefaults::standard();
    HKShortcutBinder binder(nullptr, defaults);
    EXPECT_EQ(binder.bindingOptions().valueTransformerName,
              foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName);

    const HKShortcut byDefault(1, kSuperShift), stored(1, kSuperShift | HKShortcut::kAlternateKeyMask);
    binder.registerDefaultShortcuts({{"Save", byDefault}});
    EXPECT_FALSE(defaults->objectForKey("Save").isNull());
    EXPECT_TRUE(defaults->dictionaryRepresentation().count("Save"));
    int runs = 0;
    binder.bindShortcutWithDefaultsKey("Save", [&] { ++runs; });
    EXPECT_TRUE(binder.isRegisteredAction("Save"));
    EXPECT_EQ(binder.valueForKey("Save"), byDefault);

    auto transformer = foundation::ValueTransformer::valueTransformerForName(
        foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName);
    defaults->setObject(std::any_cast<foundation::PlistValue>(transformer->reverseTransformedValue(stored)), "Save");
    EXPECT_EQ(binder.valueForKey("Save"), stored) << "a stored value wins over the default";
    defaults->removeObjectForKey("Save");
    EXPECT_EQ(binder.valueForKey("Save"), byDefault);

    binder.breakBindingWithDefaultsKey("Save");
    EXPECT_FALSE(binder.isRegisteredAction("Save"));
    EXPECT_EQ(runs, 0);
}

TEST(HKShortcutBinderTest, AKeyThatIsNotBoundIsAProgrammingError) {
    testsupport::TempHome home;
    HKShortcutBinder binder(nullptr, foundation::UserDefaults::standard());
#ifdef NDEBUG
    testsupport::RecordingSystemLog::Scope log;
    EXPECT_EQ(binder.valueForKey("Unbound"), std::nullopt);
    binder.setValueForKey(HKShortcut(1, kSuperShift), "Unbound");
    EXPECT_EQ(log->entries().size(), 2u);
    EXPECT_FALSE(binder.isRegisteredAction("Unbound"));
#else
    EXPECT_DEATH(binder.valueForKey("Unbound"), "not bound");
    EXPECT_DEATH(binder.setValueForKey(HKShortcut(1, kSuperShift), "Unbound"), "not bound");
#endif
}

}  // namespace
