// On a private X server: a combination another client grabbed is taken by the
// system; one this process grabbed itself is not.

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>

#include "hotkeys/HKShortcutValidator.h"
#include "platform/desktop/KeyboardLayout.h"
#include "platform/desktop/X11SystemHotKeys.h"
#include "tests/support/OtherX11Client.h"
#include "tests/support/RequireDisplay.h"

using desktop::KeyboardLayout;
using desktop::X11SystemHotKeys;

namespace {

constexpr uint64_t kF1 = 122;

using OtherClient = testsupport::OtherX11Client;

TEST(SystemHotKeysX11Test, AnotherClientsGrabIsTakenAndOursIsNot) {
    TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY"), "no X server");
    std::shared_ptr<KeyboardLayout> layout = KeyboardLayout::fromServer();
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->displayText(8), "C");
    std::shared_ptr<X11SystemHotKeys> system = X11SystemHotKeys::open(nullptr, layout);
    ASSERT_TRUE(system);
    HKShortcutValidator validator(system);

    const HKShortcut ctrlAltF1(kF1, HKShortcut::kCommandKeyMask | HKShortcut::kAlternateKeyMask);
    const HKShortcut ctrlF1(kF1, HKShortcut::kCommandKeyMask);
    uint32_t keycode = layout->keycodeForKeyCode(kF1);
    uint16_t ctrlAlt = layout->modifierMaskForCarbonFlags(ctrlAltF1.carbonFlags());
    ASSERT_NE(keycode, 0u);
    EXPECT_EQ(ctrlAlt, KeyboardLayout::kControlMask | 0x08);

    OtherClient other;
    ASSERT_TRUE(other.grab(keycode, ctrlAlt));
    std::string explanation;
    EXPECT_TRUE(validator.isShortcutAlreadyTakenBySystem(ctrlAltF1, &explanation));
    EXPECT_EQ(explanation, HKShortcutValidator::kSystemExplanation);

    // A free combination is probed and released at once: another client can still take it.
    EXPECT_FALSE(validator.isShortcutAlreadyTakenBySystem(ctrlF1, nullptr));
    EXPECT_TRUE(other.grab(keycode, KeyboardLayout::kControlMask));
    EXPECT_TRUE(system->isTaken(kF1, ctrlF1.carbonFlags()));

    // A grab of this process's own, noted by its grabber, is not the system's.
    X11SystemHotKeys::noteOwnGrab(keycode, ctrlAlt);
    EXPECT_FALSE(validator.isShortcutAlreadyTakenBySystem(ctrlAltF1, nullptr));
    X11SystemHotKeys::noteOwnUngrab(keycode, ctrlAlt);
    EXPECT_TRUE(validator.isShortcutAlreadyTakenBySystem(ctrlAltF1, nullptr));
}

}  // namespace
