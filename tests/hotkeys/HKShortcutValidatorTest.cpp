#include <gtest/gtest.h>

#include "hotkeys/HKShortcutValidator.h"
#include "platform/desktop/Menu.h"
#include "tests/support/FakeSystemHotKeys.h"

using desktop::Menu;
using desktop::MenuItem;

namespace {

constexpr uint64_t kShift = HKShortcut::kShiftKeyMask;
constexpr uint64_t kControl = HKShortcut::kControlKeyMask;
constexpr uint64_t kOption = HKShortcut::kAlternateKeyMask;
constexpr uint64_t kCommand = HKShortcut::kCommandKeyMask;
constexpr uint64_t kA = 0, kQ = 12, kN = 45, kSpace = 49, kEscape = 53, kF5 = 96, kF20 = 90;

using testsupport::FakeSystemHotKeys;

std::shared_ptr<MenuItem> item(const std::string& title, const std::string& key, uint64_t mask = kCommand) {
    auto result = std::make_shared<MenuItem>(title, nullptr, key);
    result->setKeyEquivalentModifierMask(mask);
    return result;
}

TEST(HKShortcutValidatorTest, Validity) {
    struct Row {
        const char* name;
        HKShortcut shortcut;
        bool valid;
    };
    const Row rows[] = {
        {"F5 alone", HKShortcut(kF5, 0), true},
        {"F20 alone", HKShortcut(kF20, 0), true},
        {"A alone", HKShortcut(kA, 0), false},
        {"Shift+A", HKShortcut(kA, kShift), false},
        {"Super+A", HKShortcut(kA, kControl), true},
        {"Ctrl+A", HKShortcut(kA, kCommand), true},
        {"Alt+Space", HKShortcut(kSpace, kOption), true},
        {"Alt+Esc", HKShortcut(kEscape, kOption), true},
        {"Alt+Shift+Space", HKShortcut(kSpace, kOption | kShift), true},
        {"Alt+A", HKShortcut(kA, kOption), false},
        {"Alt+Shift+A", HKShortcut(kA, kOption | kShift), false},
    };
    HKShortcutValidator validator(std::make_shared<FakeSystemHotKeys>());
    EXPECT_FALSE(HKShortcutValidator::sharedValidator()->allowAnyShortcutWithOptionModifier());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(validator.isShortcutValid(row.shortcut), row.valid);
    }
    validator.setAllowAnyShortcutWithOptionModifier(true);
    EXPECT_TRUE(validator.isShortcutValid(HKShortcut(kA, kOption | kShift)));
    EXPECT_FALSE(validator.isShortcutValid(HKShortcut(kA, kShift)));
}

TEST(HKShortcutValidatorTest, MenuCollisions) {
    auto inner = std::make_shared<Menu>("Paste As");
    inner->addItem(item("Paste Plain", "v", kCommand | kOption));
    auto menu = std::make_shared<Menu>("Main");
    menu->addItem(item("Quit Tavlo", "Q"));  // upper case: Shift is implied
    menu->addItem(item("Close", "w"));
    menu->addItem(item("R&D notes", ""));    // no key equivalent
    auto nested = item("Paste", "");
    nested->setSubmenu(inner);
    menu->addItem(nested);
    menu->addItem(item("Open", "o", kCommand | kShift | 0x10000));  // extra bits are ignored

    struct Row {
        const char* name;
        HKShortcut shortcut;
        const char* takenBy;  // null: free
    };
    const Row rows[] = {
        {"upper-case Q takes Ctrl+Shift+Q", HKShortcut(kQ, kCommand | kShift), "Quit Tavlo"},
        {"upper-case Q leaves Ctrl+Q", HKShortcut(kQ, kCommand), nullptr},
        {"lower-case w takes Ctrl+W", HKShortcut(13, kCommand), "Close"},
        {"lower-case w leaves Ctrl+Shift+W", HKShortcut(13, kCommand | kShift), nullptr},
        {"a submenu's item is found", HKShortcut(9, kCommand | kOption), "Paste Plain"},
        {"the mask is limited to the four modifiers", HKShortcut(31, kCommand | kShift), "Open"},
        // F20 has no key equivalent; nor has the "R&D notes" item: no collision.
        {"no key equivalent never collides", HKShortcut(kF20, kCommand), nullptr},
        {"nor with no modifiers", HKShortcut(kF20, 0), nullptr},
        {"Super+N is free", HKShortcut(kN, kControl), nullptr},
    };
    HKShortcutValidator validator(std::make_shared<FakeSystemHotKeys>());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string explanation = "untouched";
        bool taken = validator.isShortcut(row.shortcut, *menu, &explanation);
        EXPECT_EQ(taken, row.takenBy != nullptr);
        if (row.takenBy) {
            EXPECT_EQ(explanation, std::string("This shortcut cannot be used because it is already used by the menu "
                                               "item \u2018") + row.takenBy + "\u2019.");
        } else {
            EXPECT_EQ(explanation, "untouched");
        }
        EXPECT_EQ(validator.isShortcut(row.shortcut, *menu, nullptr), taken);
    }
}

TEST(HKShortcutValidatorTest, SystemThenMainMenu) {
    auto system = std::make_shared<FakeSystemHotKeys>();
    system->taken.insert({kA, HKShortcut::kCmdKey | HKShortcut::kOptionKey});
    HKShortcutValidator validator(system);
    auto menu = std::make_shared<Menu>();
    menu->addItem(item("Select All", "a"));
    Menu::setMainMenu(menu);

    std::string explanation;
    EXPECT_TRUE(validator.isShortcutAlreadyTakenBySystem(HKShortcut(kA, kCommand | kOption), &explanation));
    EXPECT_EQ(explanation,
              "This combination cannot be used because it is already used by a system-wide keyboard shortcut.\n"
              "If you really want to use this key combination, most shortcuts can be changed in the Keyboard & "
              "Mouse panel in System Preferences.");
    // Not held by the system: the main menu decides.
    EXPECT_TRUE(validator.isShortcutAlreadyTakenBySystem(HKShortcut(kA, kCommand), &explanation));
    EXPECT_EQ(explanation, "This shortcut cannot be used because it is already used by the menu item \u2018Select All\u2019.");
    EXPECT_FALSE(validator.isShortcutAlreadyTakenBySystem(HKShortcut(kA, kControl), nullptr));
    Menu::setMainMenu(nullptr);
    EXPECT_FALSE(validator.isShortcutAlreadyTakenBySystem(HKShortcut(kA, kCommand), nullptr));
}

}  // namespace
