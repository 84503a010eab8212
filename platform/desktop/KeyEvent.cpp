#include "KeyEvent.h"

#include <QKeyEvent>

#include "KeyboardLayout.h"

namespace desktop {

namespace {

// Keys that write a character of their own whatever the layout, with the
// virtual key code of their position.
struct NamedKey {
    int qtKey;
    char16_t character;
    uint16_t keyCode;
};

constexpr NamedKey kNamedKeys[] = {
    {Qt::Key_Escape, KeyEvent::kEscapeCharacter, 53},
    {Qt::Key_Return, KeyEvent::kReturnCharacter, 36},
    {Qt::Key_Enter, KeyEvent::kEnterCharacter, 76},
    {Qt::Key_Tab, KeyEvent::kTabCharacter, 48},
    {Qt::Key_Backtab, KeyEvent::kTabCharacter, 48},
    {Qt::Key_Backspace, KeyEvent::kBackspaceCharacter, 51},
    {Qt::Key_Space, u' ', 49},
    {Qt::Key_Up, KeyEvent::kUpArrowFunctionKey, 126},
    {Qt::Key_Down, KeyEvent::kDownArrowFunctionKey, 125},
    {Qt::Key_Left, KeyEvent::kLeftArrowFunctionKey, KeyEvent::kLeftArrowKeyCode},
    {Qt::Key_Right, KeyEvent::kRightArrowFunctionKey, KeyEvent::kRightArrowKeyCode},
    {Qt::Key_Delete, KeyEvent::kDeleteFunctionKey, 117},
    {Qt::Key_Home, KeyEvent::kHomeFunctionKey, 115},
    {Qt::Key_End, KeyEvent::kEndFunctionKey, 119},
    {Qt::Key_PageUp, KeyEvent::kPageUpFunctionKey, 116},
    {Qt::Key_PageDown, KeyEvent::kPageDownFunctionKey, 121},
    {Qt::Key_F1, KeyEvent::kF1FunctionKey + 0, 122},
    {Qt::Key_F2, KeyEvent::kF1FunctionKey + 1, 120},
    {Qt::Key_F3, KeyEvent::kF1FunctionKey + 2, 99},
    {Qt::Key_F4, KeyEvent::kF1FunctionKey + 3, 118},
    {Qt::Key_F5, KeyEvent::kF1FunctionKey + 4, 96},
    {Qt::Key_F6, KeyEvent::kF1FunctionKey + 5, 97},
    {Qt::Key_F7, KeyEvent::kF1FunctionKey + 6, 98},
    {Qt::Key_F8, KeyEvent::kF1FunctionKey + 7, 100},
    {Qt::Key_F9, KeyEvent::kF1FunctionKey + 8, 101},
    {Qt::Key_F10, KeyEvent::kF1FunctionKey + 9, 109},
    {Qt::Key_F11, KeyEvent::kF1FunctionKey + 10, 103},
    {Qt::Key_F12, KeyEvent::kF1FunctionKey + 11, 111},
};

const NamedKey* namedKey(int qtKey) {
    for (const NamedKey& key : kNamedKeys) {
        if (key.qtKey == qtKey) return &key;
    }
    return nullptr;
}

uint64_t flagsFor(Qt::KeyboardModifiers modifiers) {
    uint64_t flags = 0;
    if (modifiers & Qt::ShiftModifier) flags |= KeyEvent::kShiftKeyMask;
    if (modifiers & Qt::MetaModifier) flags |= KeyEvent::kControlKeyMask;
    if (modifiers & Qt::AltModifier) flags |= KeyEvent::kAlternateKeyMask;
    if (modifiers & Qt::ControlModifier) flags |= KeyEvent::kCommandKeyMask;
    if (modifiers & Qt::KeypadModifier) flags |= KeyEvent::kNumericPadKeyMask;
    return flags;
}

// Qt's key is a letter's upper-case form whatever the modifiers; the key
// writes the lower-case one unless Shift is held. Other keys' codes are the
// character written with Shift already applied ('!' for Shift+1).
QString characterIgnoringModifiers(int qtKey, bool shift) {
    if (qtKey <= 0 || qtKey > 0x10FFFF || (qtKey >= 0x01000000)) return {};
    char32_t codePoint = static_cast<char32_t>(qtKey);
    QString text = QString::fromUcs4(&codePoint, 1);
    if (text.size() == 1 && text.at(0).isLetter()) return shift ? text.toUpper() : text.toLower();
    return text;
}

}  // namespace

KeyEvent::KeyEvent(QString charactersIgnoringModifiers, QString characters, uint16_t keyCode, uint64_t modifierFlags,
                   bool isARepeat)
    : charactersIgnoringModifiers_(std::move(charactersIgnoringModifiers)),
      characters_(std::move(characters)),
      keyCode_(keyCode),
      modifierFlags_(modifierFlags),
      isARepeat_(isARepeat) {}

KeyEvent KeyEvent::fromQKeyEvent(const QKeyEvent& event) {
    Qt::KeyboardModifiers modifiers = event.modifiers();
    uint64_t flags = flagsFor(modifiers);
    if (const NamedKey* named = namedKey(event.key())) {
        QString character(QChar(named->character));
        return KeyEvent(character, character, named->keyCode, flags, event.isAutoRepeat());
    }
    QString ignoring = characterIgnoringModifiers(event.key(), modifiers & Qt::ShiftModifier);
    QString characters = event.text();
    if (characters.isEmpty()) characters = ignoring;
    uint16_t keyCode = kUnknownKeyCode;
    // Synthesised events (tests, input methods) carry no scan code and so no position.
    if (event.nativeScanCode() != 0) {
        if (auto code = KeyboardLayout::current()->keyCodeForKeycode(event.nativeScanCode()))
            keyCode = static_cast<uint16_t>(*code);
    }
    return KeyEvent(ignoring, characters, keyCode, flags, event.isAutoRepeat());
}

char16_t KeyEvent::character() const {
    return charactersIgnoringModifiers_.isEmpty() ? 0 : charactersIgnoringModifiers_.at(0).unicode();
}

}  // namespace desktop
