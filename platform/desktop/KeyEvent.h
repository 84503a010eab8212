#pragma once
// A key press as the browser's key handling reads it: the first character the
// key writes ignoring every modifier but Shift, the characters it writes, a
// US-layout virtual key code and the modifier flags. Named keys write the
// characters the handlers compare against (Escape 27, Return 13, Backspace
// 127, the arrows U+F700..., forward Delete U+F728).
//
// Modifiers follow one table for in-window keys and global hotkeys alike: Ctrl
// is Command, Alt is Option, Super (Qt's Meta) is Control, Shift is Shift, and
// a key of the numeric keypad carries the numeric-pad bit, so "Ctrl+keypad 1"
// is not "Command+1". Caps Lock and Num Lock set no bit: a binding holds with
// them on. The arrows of the main block carry no extra bits. Any thread.

#include <cstdint>

#include <QString>

class QKeyEvent;

namespace desktop {

class KeyEvent {
public:
    static constexpr uint64_t kShiftKeyMask = 0x20000;
    static constexpr uint64_t kControlKeyMask = 0x40000;
    static constexpr uint64_t kAlternateKeyMask = 0x80000;
    static constexpr uint64_t kCommandKeyMask = 0x100000;
    static constexpr uint64_t kNumericPadKeyMask = 0x200000;
    // Clears the low 16 bits, where device-dependent bits would sit.
    static constexpr uint64_t kDeviceIndependentModifierFlagsMask = 0xFFFF0000;

    // The characters of the named keys.
    static constexpr char16_t kEscapeCharacter = 27;
    static constexpr char16_t kReturnCharacter = 13;
    static constexpr char16_t kEnterCharacter = 3;
    static constexpr char16_t kTabCharacter = 9;
    static constexpr char16_t kBackspaceCharacter = 127;
    static constexpr char16_t kUpArrowFunctionKey = 0xF700;
    static constexpr char16_t kDownArrowFunctionKey = 0xF701;
    static constexpr char16_t kLeftArrowFunctionKey = 0xF702;
    static constexpr char16_t kRightArrowFunctionKey = 0xF703;
    static constexpr char16_t kF1FunctionKey = 0xF704;
    static constexpr char16_t kDeleteFunctionKey = 0xF728;
    static constexpr char16_t kHomeFunctionKey = 0xF729;
    static constexpr char16_t kEndFunctionKey = 0xF72B;
    static constexpr char16_t kPageUpFunctionKey = 0xF72C;
    static constexpr char16_t kPageDownFunctionKey = 0xF72D;

    // The virtual key codes of the keys the browser tells apart by position.
    static constexpr uint16_t kLeftArrowKeyCode = 123;
    static constexpr uint16_t kRightArrowKeyCode = 124;
    // No position known: a key event without a scan code whose key is not a named one.
    static constexpr uint16_t kUnknownKeyCode = 0xFFFF;

    KeyEvent() = default;
    KeyEvent(QString charactersIgnoringModifiers, QString characters, uint16_t keyCode, uint64_t modifierFlags,
             bool isARepeat = false);
    // Reads a Qt key event (press or release).
    static KeyEvent fromQKeyEvent(const QKeyEvent& event);

    const QString& charactersIgnoringModifiers() const { return charactersIgnoringModifiers_; }
    // What the key writes with its modifiers (Ctrl+C writes U+0003).
    const QString& characters() const { return characters_; }
    // The first character ignoring modifiers; 0 when the key writes none.
    char16_t character() const;
    uint16_t keyCode() const { return keyCode_; }
    uint64_t modifierFlags() const { return modifierFlags_; }
    uint64_t deviceIndependentModifierFlags() const { return modifierFlags_ & kDeviceIndependentModifierFlagsMask; }
    // Whether the modifiers held are exactly flags (Command alone, Command with Shift...).
    bool hasExactly(uint64_t flags) const { return deviceIndependentModifierFlags() == flags; }
    bool isARepeat() const { return isARepeat_; }

private:
    QString charactersIgnoringModifiers_;
    QString characters_;
    uint16_t keyCode_ = kUnknownKeyCode;
    uint64_t modifierFlags_ = 0;
    bool isARepeat_ = false;
};

}  // namespace desktop
