#include "HKShortcut.h"

#include <QKeyEvent>
#include <QString>

#include <array>
#include <memory>

#include "HKDictionaryTransformer.h"
#include "platform/desktop/KeyLabels.h"
#include "platform/desktop/KeyboardLayout.h"
#include "platform/foundation/KeyedArchiver.h"

namespace {

// Keys whose label does not come from the layout. A glyph is what a menu's
// key equivalent holds; a key with a Qt name is labelled by that name as Qt
// writes it portably, the others by their glyph text.
struct SpecialKey {
    uint64_t keyCode;
    Qt::Key qtKey;
    const char* glyph;
    bool labelIsQtName;
};

constexpr SpecialKey kSpecialKeys[] = {
    {36, Qt::Key_Return, "\u21A9", true},
    {48, Qt::Key_Tab, "\u21E5", true},
    {49, Qt::Key_Space, "Space", true},
    {51, Qt::Key_Backspace, "\u232B", true},
    {53, Qt::Key_Escape, "\u238B", true},
    {64, Qt::Key_F17, "F17", false},
    {65, Qt::Key_Period, ".", false},
    {67, Qt::Key_Asterisk, "*", false},
    {69, Qt::Key_Plus, "+", false},
    {71, Qt::Key_Clear, "\u2327", true},
    {75, Qt::Key_Slash, "/", false},
    {76, Qt::Key_Enter, "\u2305", true},
    {78, Qt::Key_Minus, "\u2013", false},
    {79, Qt::Key_F18, "F18", false},
    {80, Qt::Key_F19, "F19", false},
    {81, Qt::Key_Equal, "=", false},
    {82, Qt::Key_0, "0", false},
    {83, Qt::Key_1, "1", false},
    {84, Qt::Key_2, "2", false},
    {85, Qt::Key_3, "3", false},
    {86, Qt::Key_4, "4", false},
    {87, Qt::Key_5, "5", false},
    {88, Qt::Key_6, "6", false},
    {89, Qt::Key_7, "7", false},
    {91, Qt::Key_8, "8", false},
    {92, Qt::Key_9, "9", false},
    {122, Qt::Key_F1, "F1", false},
    {120, Qt::Key_F2, "F2", false},
    {99, Qt::Key_F3, "F3", false},
    {118, Qt::Key_F4, "F4", false},
    {96, Qt::Key_F5, "F5", false},
    {97, Qt::Key_F6, "F6", false},
    {98, Qt::Key_F7, "F7", false},
    {100, Qt::Key_F8, "F8", false},
    {101, Qt::Key_F9, "F9", false},
    {109, Qt::Key_F10, "F10", false},
    {103, Qt::Key_F11, "F11", false},
    {111, Qt::Key_F12, "F12", false},
    {105, Qt::Key_F13, "F13", false},
    {107, Qt::Key_F14, "F14", false},
    {113, Qt::Key_F15, "F15", false},
    {106, Qt::Key_F16, "F16", false},
    {114, Qt::Key_Help, "?", false},
    {115, Qt::Key_Home, "\u2196", true},
    {116, Qt::Key_PageUp, "\u21DE", true},
    {117, Qt::Key_Delete, "\u2326", true},
    {119, Qt::Key_End, "\u2198", true},
    {121, Qt::Key_PageDown, "\u21DF", true},
    {123, Qt::Key_Left, "\u2190", true},
    {124, Qt::Key_Right, "\u2192", true},
    {125, Qt::Key_Down, "\u2193", true},
    {126, Qt::Key_Up, "\u2191", true},
};

// The function keys' private-use characters, as menus' key equivalents hold them.
struct FunctionKey {
    uint64_t keyCode;
    char16_t character;
};
constexpr FunctionKey kFunctionKeys[] = {
    {122, 0xF704}, {120, 0xF705}, {99, 0xF706},  {118, 0xF707}, {96, 0xF708},  {97, 0xF709}, {98, 0xF70A},
    {100, 0xF70B}, {101, 0xF70C}, {109, 0xF70D}, {103, 0xF70E}, {111, 0xF70F}, {105, 0xF710}, {107, 0xF711},
    {113, 0xF712}, {106, 0xF713}, {64, 0xF714},  {79, 0xF715},  {80, 0xF716},
};

constexpr uint64_t kSpaceKeyCode = 49;

// Qt's portable names never change (they are not translated), so they are read once.
const std::string& qtKeyName(const SpecialKey& special) {
    static const std::array<std::string, std::size(kSpecialKeys)> names = [] {
        std::array<std::string, std::size(kSpecialKeys)> result;
        for (size_t i = 0; i < result.size(); ++i) {
            result[i] = QKeySequence(kSpecialKeys[i].qtKey).toString(QKeySequence::PortableText).toStdString();
        }
        return result;
    }();
    return names[static_cast<size_t>(&special - kSpecialKeys)];
}

const SpecialKey* specialKey(uint64_t keyCode) {
    if (keyCode < 36 || keyCode > 126) return nullptr;
    for (const SpecialKey& key : kSpecialKeys) {
        if (key.keyCode == keyCode) return &key;
    }
    return nullptr;
}

// What a US layout writes at key codes 0 to 50, for key events that carry no
// scan code (synthesised ones).
// (The codes without a character hold NUL; the view keeps them, not stopping at the first.)
constexpr char kUSCharacterTable[] = "asdfhgzxc\0vbqweryt123465=97-80]ou[ip\0lj'k;\\,/nm.\0 `";
constexpr std::string_view kUSCharacters(kUSCharacterTable, sizeof(kUSCharacterTable) - 1);

std::optional<uint64_t> keyCodeForQtKey(int key) {
    switch (key) {
    // Control is Super and Command is Ctrl, for their keys as for their flags.
    case Qt::Key_Meta: case Qt::Key_Super_L: return 59;
    case Qt::Key_Super_R: return 62;
    case Qt::Key_Control: return 55;
    case Qt::Key_Alt: case Qt::Key_AltGr: return 58;
    case Qt::Key_Shift: return 56;
    case Qt::Key_CapsLock: return 57;
    case Qt::Key_Backtab: return 48;
    case Qt::Key_F20: return 90;
    default: break;
    }
    for (const SpecialKey& special : kSpecialKeys) {
        // The keypad's characters are also the main keys'; those are found below.
        if (special.qtKey == key && (special.labelIsQtName || special.glyph[0] == 'F')) return special.keyCode;
    }
    if (key > 0 && key < 0x80) {
        char ch = static_cast<char>(QChar(key).toLower().unicode());
        size_t index = kUSCharacters.find(ch);
        if (ch != '\0' && index != std::string_view::npos) return index;
    }
    return std::nullopt;
}

const bool kRegistered = [] {
    foundation::KeyedArchiver::registerClass<HKShortcut>(HKShortcut::kClassName);
    foundation::ValueTransformer::setValueTransformer(std::make_shared<HKDictionaryTransformer>(),
                                                      HKDictionaryTransformer::kName);
    return true;
}();

}  // namespace

HKShortcut::HKShortcut(uint64_t keyCode, uint64_t modifierFlags)
    : keyCode_(keyCode), modifierFlags_(modifierFlags & kDeviceIndependentModifierFlagsMask) {
    (void)kRegistered;
}

HKShortcut HKShortcut::shortcutWithEvent(const QKeyEvent& event) {
    std::optional<uint64_t> keyCode;
    if (event.nativeScanCode() != 0) {
        keyCode = desktop::KeyboardLayout::current()->keyCodeForKeycode(event.nativeScanCode());
    }
    if (!keyCode) keyCode = keyCodeForQtKey(event.key());
    Qt::KeyboardModifiers modifiers = event.modifiers();
    uint64_t flags = 0;
    if (modifiers & Qt::ShiftModifier) flags |= kShiftKeyMask;
    if (modifiers & Qt::MetaModifier) flags |= kControlKeyMask;
    if (modifiers & Qt::AltModifier) flags |= kAlternateKeyMask;
    if (modifiers & Qt::ControlModifier) flags |= kCommandKeyMask;
    // A key no table places has no position to store: no key.
    return HKShortcut(keyCode ? (*keyCode & 0xffff) : kNotFound, flags);
}

uint32_t HKShortcut::carbonKeyCode() const {
    return keyCode_ == kNotFound ? 0 : static_cast<uint32_t>(keyCode_);
}

uint32_t HKShortcut::carbonFlags() const {
    uint32_t flags = 0;
    if (modifierFlags_ & kCommandKeyMask) flags |= kCmdKey;
    if (modifierFlags_ & kShiftKeyMask) flags |= kShiftKey;
    if (modifierFlags_ & kAlternateKeyMask) flags |= kOptionKey;
    if (modifierFlags_ & kControlKeyMask) flags |= kControlKey;
    return flags;
}

std::string HKShortcut::modifierFlagsString() const {
    return desktop::modifierFlagsLabel(modifierFlags_);
}

std::string HKShortcut::keyCodeString() const {
    if (keyCode_ == kNotFound) return {};
    if (const SpecialKey* special = specialKey(keyCode_)) {
        if (!special->labelIsQtName) return special->glyph;
        return qtKeyName(*special);
    }
    return desktop::KeyboardLayout::current()->displayText(keyCode_);
}

std::string HKShortcut::description() const {
    return modifierFlagsString() + keyCodeString();
}

std::string HKShortcut::keyCodeStringForKeyEquivalent() const {
    // Menus hold glyphs for the named keys, so the rule reads the glyph, not the label.
    QString text;
    if (keyCode_ != kNotFound) {
        const SpecialKey* special = specialKey(keyCode_);
        text = QString::fromUtf8(special ? special->glyph : keyCodeString().c_str());
    }
    if (text.size() < 2) return text.toLower().toStdString();
    if (keyCode_ == kSpaceKeyCode) return " ";
    for (const FunctionKey& key : kFunctionKeys) {
        if (key.keyCode == keyCode_) return QString(QChar(key.character)).toStdString();
    }
    return {};
}

QKeySequence HKShortcut::keySequence() const {
    int key = 0;
    if (keyCode_ == 90) key = Qt::Key_F20;
    else if (const SpecialKey* special = specialKey(keyCode_)) key = special->qtKey;
    else if (keyCode_ != kNotFound) {
        QString text = QString::fromStdString(desktop::KeyboardLayout::current()->displayText(keyCode_));
        if (text.size() == 1) key = text.at(0).toUpper().unicode();
    }
    if (key == 0) return {};
    Qt::KeyboardModifiers modifiers;
    if (modifierFlags_ & kControlKeyMask) modifiers |= Qt::MetaModifier;
    if (modifierFlags_ & kCommandKeyMask) modifiers |= Qt::ControlModifier;
    if (modifierFlags_ & kAlternateKeyMask) modifiers |= Qt::AltModifier;
    if (modifierFlags_ & kShiftKeyMask) modifiers |= Qt::ShiftModifier;
    return QKeySequence(QKeyCombination(modifiers, static_cast<Qt::Key>(key)));
}

void HKShortcut::encodeWithCoder(foundation::KeyedArchiver& archiver) const {
    archiver.encodeInteger(keyCode_ == kNotFound ? -1 : static_cast<int64_t>(keyCode_), "KeyCode");
    archiver.encodeInteger(static_cast<int64_t>(modifierFlags_), "ModifierFlags");
}

std::optional<HKShortcut> HKShortcut::initWithCoder(const foundation::KeyedUnarchiver& unarchiver) {
    if (unarchiver.className() != kClassName) return std::nullopt;
    std::optional<int64_t> keyCode = unarchiver.decodeIntegerForKey("KeyCode");
    std::optional<int64_t> flags = unarchiver.decodeIntegerForKey("ModifierFlags");
    if (!keyCode || !flags) return std::nullopt;
    return HKShortcut(Decoded{}, *keyCode < 0 ? kNotFound : static_cast<uint64_t>(*keyCode),
                      static_cast<uint64_t>(*flags));
}
