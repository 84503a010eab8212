#include <gtest/gtest.h>

#include "platform/desktop/KeyboardLayout.h"
#include "tests/support/KeymapText.h"

using desktop::KeyboardLayout;

namespace {

struct LayoutRow {
    const char* name;
    const char* layout;
    uint64_t keyCode;
    const char* text;
};

const LayoutRow kLayoutRows[] = {
    {"us letter, upper-cased", "us", 0, "A"},
    {"us C", "us", 8, "C"},
    {"us right bracket", "us", 30, "]"},
    {"us digit", "us", 18, "1"},
    {"fr: the Q position writes a", "fr", 12, "A"},
    {"fr: the 1 position writes &", "fr", 18, "&"},
    {"fr: a dead circumflex shows as its accent", "fr", 33, "^"},
    {"de: a dead acute shows as its accent", "de", 24, "\u00B4"},
    {"ru,us: letters read Latin", "ru,us", 0, "A"},
    {"ru,us: the ] position", "ru,us", 30, "]"},
    {"ru alone writes no Latin", "ru", 30, ""},
    {"ru alone, letters", "ru", 0, ""},
    {"Return writes a control character", "us", 36, ""},
    {"a modifier key writes nothing", "us", 56, ""},
    {"F20 carries a media keysym on evdev", "us", 90, ""},
    {"a code with no key", "us", 52, ""},
    {"beyond the table", "us", 200, ""},
};

TEST(KeyboardLayoutTest, DisplayTextFollowsTheLayout) {
    for (const LayoutRow& row : kLayoutRows) {
        SCOPED_TRACE(row.name);
        std::shared_ptr<KeyboardLayout> layout = KeyboardLayout::fromNames(row.layout);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->displayText(row.keyCode), row.text);
    }
}

TEST(KeyboardLayoutTest, KeymapsWithoutAKeyOrWithControlCharacters) {
    auto lettersOnly = KeyboardLayout::fromKeymapText(testsupport::lettersOnlyKeymap());
    ASSERT_TRUE(lettersOnly);
    EXPECT_EQ(lettersOnly->displayText(8), "C");
    EXPECT_EQ(lettersOnly->displayText(30), "");  // no <AD12> key at all
    EXPECT_EQ(lettersOnly->keycodeForKeyCode(30), 0u);

    auto tabOnC = KeyboardLayout::fromKeymapText(testsupport::lettersOnlyKeymap({{"AB03", "Tab"}}));
    ASSERT_TRUE(tabOnC);
    EXPECT_EQ(tabOnC->displayText(8), "");
    EXPECT_FALSE(KeyboardLayout::fromKeymapText("xkb_keymap { nonsense"));
}

TEST(KeyboardLayoutTest, KeyPositionsAndModifierMasks) {
    auto us = KeyboardLayout::fromNames("us");
    ASSERT_TRUE(us);
    // evdev numbers keys as the kernel's codes plus 8: C is 46 + 8.
    EXPECT_EQ(us->keycodeForKeyCode(8), 54u);
    EXPECT_EQ(us->keyCodeForKeycode(54), 8u);
    EXPECT_EQ(us->keyCodeForKeycode(us->keycodeForKeyCode(122)), 122u);  // F1
    EXPECT_EQ(us->keyCodeForKeycode(133), 59u);  // the Super key is Control's
    EXPECT_EQ(us->keyCodeForKeycode(37), 55u);   // Ctrl is Command's
    // Command is Ctrl, Option Alt (Mod1), Control Super (Mod4), Shift Shift.
    EXPECT_EQ(us->modifierMaskForCarbonFlags(0x100), 0x04);
    EXPECT_EQ(us->modifierMaskForCarbonFlags(0x800), 0x08);
    EXPECT_EQ(us->modifierMaskForCarbonFlags(0x1000), 0x40);
    EXPECT_EQ(us->modifierMaskForCarbonFlags(0x1000 | 0x200), 0x41);
    for (uint64_t code = 0; code < 128; ++code) {
        std::string_view name = KeyboardLayout::keyNameForKeyCode(code);
        if (!name.empty()) {
            EXPECT_EQ(KeyboardLayout::keyCodeForKeyName(name), code) << name;
        }
    }
}

}  // namespace
