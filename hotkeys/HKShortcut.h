#pragma once
// One keyboard shortcut: a US-layout virtual key code (a key position) and
// Shift, Control, Option and Command flags. An immutable value; any thread
// (labels read the current keyboard layout, which is thread-safe).
//
// Stored values keep these codes and bits whatever the desktop; labels use
// Linux words: Command is Ctrl, Option is Alt, Control is Super, Shift is
// Shift, always in the order Super, Ctrl, Alt, Shift ("Super+Ctrl+Shift+C").
//
// Hotkeys are stored in the standard user defaults as keyed archives
// {"$class": "HKShortcut", "KeyCode": <key code, -1 for none>,
// "ModifierFlags": <flags as given>}, read and written through the
// keyed-unarchive value transformer. The class registers itself with the
// archiver, and the "HKDictionaryTransformer" by its name, when the program
// starts.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <QKeySequence>

class QKeyEvent;

namespace foundation {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace foundation

class HKShortcut {
public:
    // No key.
    static constexpr uint64_t kNotFound = INT64_MAX;

    static constexpr uint64_t kShiftKeyMask = 0x20000;
    static constexpr uint64_t kControlKeyMask = 0x40000;
    static constexpr uint64_t kAlternateKeyMask = 0x80000;
    static constexpr uint64_t kCommandKeyMask = 0x100000;
    static constexpr uint64_t kDeviceIndependentModifierFlagsMask = 0x1E0000;

    // Carbon modifier bits, as global hotkey registration takes them.
    static constexpr uint32_t kCmdKey = 0x100;
    static constexpr uint32_t kShiftKey = 0x200;
    static constexpr uint32_t kOptionKey = 0x800;
    static constexpr uint32_t kControlKey = 0x1000;

    static constexpr const char* kClassName = "HKShortcut";

    // Keeps only the four modifier flags.
    HKShortcut(uint64_t keyCode, uint64_t modifierFlags);
    static HKShortcut shortcutWithKeyCode(uint64_t keyCode, uint64_t modifierFlags) {
        return HKShortcut(keyCode, modifierFlags);
    }
    // The event's key position (its scan code in the current keymap, else its
    // Qt key read on a US layout) and modifiers (Ctrl as Command, Meta as Control).
    static HKShortcut shortcutWithEvent(const QKeyEvent& event);

    uint64_t keyCode() const { return keyCode_; }
    uint64_t modifierFlags() const { return modifierFlags_; }
    // 0 for no key.
    uint32_t carbonKeyCode() const;
    uint32_t carbonFlags() const;

    // "Super+Ctrl+Alt+Shift+", one word and "+" per modifier held; "" for none.
    std::string modifierFlagsString() const;
    // The key's label: Qt's key names for the named keys ("Return", "Esc",
    // "Left"), "F5", the keypad's characters, else what the key writes in the
    // current layout, upper-cased; "" when it writes nothing showable.
    std::string keyCodeString() const;
    // modifierFlagsString() followed by keyCodeString().
    std::string description() const;
    // The key as a menu item's key equivalent: one lower-case character, a
    // glyph of a named key, " " for Space, U+F704... for F1 to F19; "" for none.
    std::string keyCodeStringForKeyEquivalent() const;
    // The same combination for Qt's menus and shortcuts; empty when the key
    // has no Qt key.
    QKeySequence keySequence() const;

    bool operator==(const HKShortcut& other) const {
        return keyCode_ == other.keyCode_ && modifierFlags_ == other.modifierFlags_;
    }
    size_t hash() const { return static_cast<size_t>(keyCode_ + modifierFlags_); }

    // The keyed archive (the class registers itself with the archiver).
    void encodeWithCoder(foundation::KeyedArchiver& archiver) const;
    // nullopt unless "KeyCode" and "ModifierFlags" are integers; a negative key
    // code is no key; the flags are taken as stored, unmasked.
    static std::optional<HKShortcut> initWithCoder(const foundation::KeyedUnarchiver& unarchiver);
private:
    struct Decoded {};
    HKShortcut(Decoded, uint64_t keyCode, uint64_t modifierFlags) : keyCode_(keyCode), modifierFlags_(modifierFlags) {}

    uint64_t keyCode_;
    uint64_t modifierFlags_;
};

template <>
struct std::hash<HKShortcut> {
    size_t operator()(const HKShortcut& shortcut) const { return shortcut.hash(); }
};
