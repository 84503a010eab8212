#include "HKShortcutValidator.h"

#include <QString>

#include <algorithm>
#include <array>

#include "platform/desktop/Menu.h"
#include "platform/desktop/SystemHotKeys.h"
#include "platform/foundation/Format.h"

namespace {

constexpr std::array<uint64_t, 20> kFunctionKeyCodes = {122, 120, 99, 118, 96, 97, 98, 100, 101, 109,
                                                       103, 111, 105, 107, 113, 106, 64, 79, 80, 90};
constexpr uint64_t kSpaceKeyCode = 49;
constexpr uint64_t kEscapeKeyCode = 53;
constexpr uint64_t kWithoutShiftMask = 0x1C0000;

std::string lowercased(const std::string& text) {
    return QString::fromStdString(text).toLower().toStdString();
}

}  // namespace

std::shared_ptr<HKShortcutValidator> HKShortcutValidator::sharedValidator() {
    static const std::shared_ptr<HKShortcutValidator> shared = std::make_shared<HKShortcutValidator>();
    return shared;
}

HKShortcutValidator::HKShortcutValidator(std::shared_ptr<desktop::SystemHotKeys> systemHotKeys)
    : systemHotKeys_(std::move(systemHotKeys)) {}

bool HKShortcutValidator::isShortcutValid(const HKShortcut& shortcut) const {
    uint64_t flags = shortcut.modifierFlags();
    if (std::find(kFunctionKeyCodes.begin(), kFunctionKeyCodes.end(), shortcut.keyCode()) != kFunctionKeyCodes.end()) {
        return true;
    }
    if (flags == 0) return false;
    if (flags & (HKShortcut::kControlKeyMask | HKShortcut::kCommandKeyMask)) return true;
    if (!(flags & HKShortcut::kAlternateKeyMask)) return false;
    return shortcut.keyCode() == kSpaceKeyCode || shortcut.keyCode() == kEscapeKeyCode ||
           allowAnyShortcutWithOptionModifier_;
}

bool HKShortcutValidator::isShortcutAlreadyTakenBySystem(const HKShortcut& shortcut, std::string* explanation) const {
    std::shared_ptr<desktop::SystemHotKeys> system = systemHotKeys_ ? systemHotKeys_ : desktop::SystemHotKeys::current();
    if (system && shortcut.keyCode() != HKShortcut::kNotFound &&
        system->isTaken(shortcut.keyCode(), shortcut.carbonFlags())) {
        if (explanation) *explanation = kSystemExplanation;
        return true;
    }
    std::shared_ptr<desktop::Menu> mainMenu = desktop::Menu::mainMenu();
    return mainMenu && isShortcut(shortcut, *mainMenu, explanation);
}

bool HKShortcutValidator::isShortcut(const HKShortcut& shortcut, const desktop::Menu& menu,
                                     std::string* explanation) const {
    std::string keyEquivalent = shortcut.keyCodeStringForKeyEquivalent();
    // A key with no key equivalent (F20, a key the layout cannot show) cannot
    // be one a menu item answers to; matching it against the items without a
    // key equivalent would refuse it for an unrelated item's name.
    if (keyEquivalent.empty()) return false;
    uint64_t flags = shortcut.modifierFlags();
    for (const std::shared_ptr<desktop::MenuItem>& item : menu.items()) {
        if (item->hasSubmenu() && isShortcut(shortcut, *item->submenu(), explanation)) return true;
        const std::string& itemKey = item->keyEquivalent();
        if (itemKey.empty()) continue;
        std::string itemLower = lowercased(itemKey);
        if (itemLower != keyEquivalent) continue;
        uint64_t mask = item->keyEquivalentModifierMask();
        bool matches = itemLower == itemKey
                           ? (mask & HKShortcut::kDeviceIndependentModifierFlagsMask) == flags
                           : ((mask & kWithoutShiftMask) | HKShortcut::kShiftKeyMask) == flags;
        if (matches) {
            if (explanation) *explanation = foundation::format(kMenuExplanation, item->title());
            return true;
        }
    }
    return false;
}
