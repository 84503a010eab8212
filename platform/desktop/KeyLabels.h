#pragma once
// Shortcut labels in Linux words. Command is Ctrl, Option is Alt, Control is
// Super and Shift is Shift, in the order Qt writes them (Super first: Qt's
// "Meta", which installKeyNameTranslator() makes Qt itself call "Super" so its
// menus and ours agree). Main thread for the translator; the rest any thread.

#include <cstdint>
#include <string>

namespace desktop {

// "Super+Ctrl+Alt+Shift+" for the modifier flags held (Shift 0x20000, Control
// 0x40000, Option 0x80000, Command 0x100000); "" for none.
std::string modifierFlagsLabel(uint64_t modifierFlags);

// A menu key equivalent and its mask as a label ("Ctrl+Shift+N" for "N" with
// Command: an upper-case letter carries Shift); "" for an empty equivalent.
std::string keyEquivalentLabel(const std::string& keyEquivalent, uint64_t modifierMask);

// Installs, once, a translation of Qt's key names that calls Meta "Super".
// Needs a running QCoreApplication.
void installKeyNameTranslator();

}  // namespace desktop
