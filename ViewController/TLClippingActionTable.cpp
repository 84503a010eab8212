#include "TLClippingActionTable.h"

#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/KeyEvent.h"

namespace {

using K = desktop::KeyEvent;
using Table = TLClippingActionTable;

constexpr uint64_t kCommand = K::kCommandKeyMask;
constexpr uint64_t kOption = K::kAlternateKeyMask;
constexpr uint64_t kControl = K::kControlKeyMask;
constexpr uint64_t kShift = K::kShiftKeyMask;

}  // namespace

const char* TLClippingActionTable::settingsKey(Input input, uint64_t modifierFlags) {
    switch (input) {
    case Input::DoubleClick: return TLUserDefaultsDoubleClickAction;
    case Input::OptionClick: return TLUserDefaultsOptionClickActionKey;
    case Input::Return: break;
    }
    switch (modifierFlags & K::kDeviceIndependentModifierFlagsMask) {
    case kControl: return TLUserDefaultsControlReturnActionKey;
    case kCommand: return TLUserDefaultsCommandReturnActionKey;
    case kOption: return TLUserDefaultsOptionReturnActionKey;
    default: return TLUserDefaultsReturnActionKey;
    }
}

bool TLClippingActionTable::closingRuleCloses(int64_t code, bool closesWindowSetting) {
    return closesWindowSetting && code != 1 && code != 6 && code != 7;
}

TLClippingActionTable::Action TLClippingActionTable::action(Input input, int64_t code, bool closesWindowSetting,
                                                            uint64_t modifierFlags) {
    // "Paste in App", which the General pane offers for double-click only.
    if (input == Input::DoubleClick && code == 9) code = 3;
    Action action;
    action.closesWindow = closingRuleCloses(code, closesWindowSetting);
    switch (code) {
    case 1: action.operation = input == Input::Return ? Operation::PassOn : Operation::Preview; break;
    case 2: action.operation = Operation::Copy; break;
    case 3: action.operation = Operation::Paste; break;
    case 4: action.operation = Operation::CopyPlainText; break;
    case 5: action.operation = Operation::PastePlainText; break;
    case 6: action.operation = Operation::CopyAsMenu; break;
    case 7: action.operation = Operation::PasteAsMenu; break;
    case 8: action.operation = Operation::OpenURL; break;
    default: action.operation = input == Input::Return ? Operation::PassOn : Operation::None; break;
    }
    action.needsPasteScript = code == 3 || code == 5 || code == 7;
    action.deletesSelectionLater = input == Input::Return && (code == 2 || code == 3) &&
                                   (modifierFlags & K::kDeviceIndependentModifierFlagsMask) == kDeletingReturnModifiers;
    return action;
}

// --- Keys

TLClippingActionTable::KeyCommand TLClippingActionTable::moveCommandForKey(const desktop::KeyEvent& key) {
    // The whole word: a keypad arrow carries the numeric-pad bit and is no match.
    if (key.modifierFlags() != kCommand) return {Key::PassOn};
    if (key.character() == K::kUpArrowFunctionKey) return {Key::MoveUp};
    if (key.character() == K::kDownArrowFunctionKey) return {Key::MoveDown};
    return {Key::PassOn};
}

namespace {

// Typing in the table searches: the key's characters, unless Ctrl or Super
// is held, the key writes only blanks, or it is Left or Right.
Table::KeyCommand typeToSearch(const desktop::KeyEvent& key) {
    if (key.deviceIndependentModifierFlags() & (kCommand | kControl)) return {Table::Key::PassOn};
    if (key.characters().trimmed().isEmpty()) return {Table::Key::PassOn};
    if (key.keyCode() == K::kLeftArrowKeyCode || key.keyCode() == K::kRightArrowKeyCode) return {Table::Key::PassOn};
    const char16_t c = key.character();
    if (c < u' ' || c == 0x7F) return {Table::Key::PassOn};                        // control characters
    if (c >= K::kUpArrowFunctionKey && c <= 0xF8FF) return {Table::Key::PassOn};  // arrows and function keys
    return {Table::Key::TypeToSearch};
}

Table::KeyCommand digitCommand(const desktop::KeyEvent& key, const Table::PanelState& state) {
    const int digit = key.character() - u'0';
    // The tenth row answers to 0.
    const int position = digit == 0 ? 9 : digit - 1;
    switch (key.deviceIndependentModifierFlags()) {
    case kCommand: return {Table::Key::CopyRow, position};
    case kOption: return {Table::Key::CopyRow, position + 10};
    case kControl: return {Table::Key::CopyRow, position + 20};
    case kControl | kOption: return {Table::Key::ChooseList, digit};
    default: break;
    }
    // A bare digit (a keypad digit is not bare) starts the search.
    if (key.modifierFlags() == 0 && !state.searching) return {Table::Key::StartSearch, digit};
    return {Table::Key::None};
}

}  // namespace

TLClippingActionTable::KeyCommand TLClippingActionTable::commandForKey(const desktop::KeyEvent& key,
                                                                       const PanelState& state) {
    const char16_t c = key.character();
    const uint64_t flags = key.deviceIndependentModifierFlags();
    const bool selection = state.selectedCount > 0;
    auto is = [flags](uint64_t exactly) { return flags == exactly; };

    switch (c) {
    case K::kBackspaceCharacter:
    case K::kDeleteFunctionKey: return {selection ? Key::Delete : Key::PassOn};
    case K::kEscapeCharacter: return {Key::Escape};
    case u' ': return {selection ? Key::Space : Key::PassOn};
    case K::kReturnCharacter: return {Key::Return};
    default: break;
    }
    if (c >= u'0' && c <= u'9') return digitCommand(key, state);

    switch (c) {
    case u'a':
        if (is(kCommand)) return {Key::SelectAll};
        break;
    case u'c':
        if (is(kCommand) && selection) return {Key::Copy};
        break;
    case u'f':
        if (is(kCommand)) return {Key::Find};
        break;
    case u'h':
        if (is(kControl)) return {Key::NextRow};
        break;
    case u'n':
        if (is(kControl)) return {Key::NextRow};
        if (is(kCommand)) return {Key::NewTextClipping};
        break;
    case u'p':
    case u't':
        if (is(kControl)) return {Key::PreviousRow};
        break;
    case u'l':
        if (is(kCommand)) return {state.searching ? Key::None : Key::ListsMenu};
        if (is(kOption)) return {!state.searching && state.listShown ? Key::ListMenu : Key::None};
        break;
    case u'm':
        if (is(kCommand)) return {Key::Merge};
        break;
    case u'o':
        if (is(kCommand)) return {selection ? Key::OpenURL : Key::Beep};
        break;
    case u's':
        if (is(kCommand)) return {Key::Sync};
        break;
    case u'v':
        if (is(kCommand) && selection) return {Key::Paste};
        break;
    case u'w':
        if (is(kCommand | kOption)) return {Key::ToggleAttach};
        break;
    case u'C':
        if (is(kCommand | kShift) && state.selectedCount == 1) return {Key::CopyAsMenu};
        break;
    case u'L':
        if (is(kCommand | kShift)) return {selection ? Key::AddToListMenu : Key::Beep};
        break;
    case u'N':
        if (is(kCommand | kShift)) return {Key::NewList};
        break;
    case u'S':
        if (is(kCommand | kShift)) return {Key::Share};
        break;
    default: break;
    }
    return typeToSearch(key);
}
