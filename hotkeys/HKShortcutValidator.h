#pragma once
// Whether a shortcut just typed into a recorder may become a hotkey: its
// modifiers must be acceptable, and no system-wide shortcut or item of the
// application's main menu may already use it. It only answers; the recorder
// beeps or explains. Main thread.

#include <memory>
#include <string>

#include "HKShortcut.h"

namespace desktop {
class Menu;
class SystemHotKeys;
}  // namespace desktop

class HKShortcutValidator {
public:
    static constexpr const char* kSystemExplanation =
        "This combination cannot be used because it is already used by a system-wide keyboard shortcut.\n"
        "If you really want to use this key combination, most shortcuts can be changed in the Keyboard & Mouse "
        "panel in System Preferences.";
    // "%@" is the item's title.
    static constexpr const char* kMenuExplanation =
        "This shortcut cannot be used because it is already used by the menu item \u2018%@\u2019.";

    // The one every recorder takes; asks desktop::SystemHotKeys::current().
    static std::shared_ptr<HKShortcutValidator> sharedValidator();
    // systemHotKeys null: the system is asked through desktop::SystemHotKeys::current() at each check.
    explicit HKShortcutValidator(std::shared_ptr<desktop::SystemHotKeys> systemHotKeys = nullptr);

    // When true, Alt or Alt+Shift alone are valid for every key.
    bool allowAnyShortcutWithOptionModifier() const { return allowAnyShortcutWithOptionModifier_; }
    void setAllowAnyShortcutWithOptionModifier(bool allow) { allowAnyShortcutWithOptionModifier_ = allow; }

    bool isShortcutValid(const HKShortcut& shortcut) const;
    // A combination another program holds, else one of the main menu's items
    // (desktop::Menu::mainMenu()); fills explanation, when given, on true.
    bool isShortcutAlreadyTakenBySystem(const HKShortcut& shortcut, std::string* explanation) const;
    // Depth first through submenus. A shortcut or item without a key equivalent
    // never collides.
    bool isShortcut(const HKShortcut& shortcut, const desktop::Menu& alreadyTakenInMenu,
                    std::string* explanation) const;

private:
    std::shared_ptr<desktop::SystemHotKeys> systemHotKeys_;
    bool allowAnyShortcutWithOptionModifier_ = false;
};
