#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ViewController/TLClippingActionTable.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/KeyEvent.h"

namespace {

using Table = TLClippingActionTable;
using Input = Table::Input;
using Op = Table::Operation;
using Key = Table::Key;
using K = desktop::KeyEvent;

constexpr uint64_t kNone = 0;
constexpr uint64_t kCtrl = K::kCommandKeyMask;
constexpr uint64_t kAlt = K::kAlternateKeyMask;
constexpr uint64_t kSuper = K::kControlKeyMask;
constexpr uint64_t kShift = K::kShiftKeyMask;
constexpr uint64_t kPad = K::kNumericPadKeyMask;

// What each code does after a click and after Return, written out once.
struct CodeRow {
    int code;
    Op click;
    Op doubleClick;
    Op returnKey;
    bool script;
    bool closesWhenSet;
};

const CodeRow kCodes[] = {
    {0, Op::None, Op::None, Op::PassOn, false, true},
    {1, Op::Preview, Op::Preview, Op::PassOn, false, false},
    {2, Op::Copy, Op::Copy, Op::Copy, false, true},
    {3, Op::Paste, Op::Paste, Op::Paste, true, true},
    {4, Op::CopyPlainText, Op::CopyPlainText, Op::CopyPlainText, false, true},
    {5, Op::PastePlainText, Op::PastePlainText, Op::PastePlainText, true, true},
    {6, Op::CopyAsMenu, Op::CopyAsMenu, Op::CopyAsMenu, false, false},
    {7, Op::PasteAsMenu, Op::PasteAsMenu, Op::PasteAsMenu, true, false},
    {8, Op::OpenURL, Op::OpenURL, Op::OpenURL, false, true},
    // "Paste in App": a paste on double-click; unknown elsewhere.
    {9, Op::None, Op::Paste, Op::PassOn, false, true},
};

TEST(TLClippingActionTable, EveryInputModifierCodeAndClosingSetting) {
    const Input inputs[] = {Input::DoubleClick, Input::OptionClick, Input::Return};
    const uint64_t modifiers[] = {kNone, kSuper, kCtrl, kAlt};
    int checked = 0;
    for (Input input : inputs)
        for (uint64_t held : modifiers)
            for (const CodeRow& row : kCodes)
                for (bool closing : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << "input " << int(input) << " modifiers " << std::hex << held
                                                      << std::dec << " code " << row.code << " closing " << closing);
                    Table::Action action = Table::action(input, row.code, closing, held);
                    const bool doubleClickPaste = input == Input::DoubleClick && row.code == 9;
                    Op expected = input == Input::Return        ? row.returnKey
                                  : input == Input::DoubleClick ? row.doubleClick
                                                                : row.click;
                    EXPECT_EQ(action.operation, expected);
                    EXPECT_EQ(action.needsPasteScript, row.script || doubleClickPaste);
                    EXPECT_EQ(action.closesWindow, closing && row.closesWhenSet);
                    EXPECT_FALSE(action.deletesSelectionLater);  // never with a single modifier
                    ++checked;
                }
    EXPECT_EQ(checked, 3 * 4 * 10 * 2);
}

TEST(TLClippingActionTable, ReturnReadsTheCodeOfItsExactModifiers) {
    struct Case {
        uint64_t held;
        const char* key;
    };
    const Case cases[] = {
        {kNone, TLUserDefaultsReturnActionKey},
        {kSuper, TLUserDefaultsControlReturnActionKey},
        {kCtrl, TLUserDefaultsCommandReturnActionKey},
        {kAlt, TLUserDefaultsOptionReturnActionKey},
        {kShift, TLUserDefaultsReturnActionKey},
        {kCtrl | kShift, TLUserDefaultsReturnActionKey},
        {kSuper | kCtrl | kAlt, TLUserDefaultsReturnActionKey},
    };
    for (const Case& c : cases) EXPECT_STREQ(Table::settingsKey(Input::Return, c.held), c.key) << std::hex << c.held;
    EXPECT_STREQ(Table::settingsKey(Input::DoubleClick, kCtrl), TLUserDefaultsDoubleClickAction);
    EXPECT_STREQ(Table::settingsKey(Input::OptionClick), TLUserDefaultsOptionClickActionKey);
}

TEST(TLClippingActionTable, SuperCtrlAltReturnDeletesAfterCopyOrPasteOnly) {
    const uint64_t all = kSuper | kCtrl | kAlt;
    for (int code = 0; code <= 9; ++code) {
        Table::Action action = Table::action(Input::Return, code, false, all);
        EXPECT_EQ(action.deletesSelectionLater, code == 2 || code == 3) << code;
        EXPECT_FALSE(Table::action(Input::OptionClick, code, false, all).deletesSelectionLater) << code;
    }
    EXPECT_FALSE(Table::action(Input::Return, 2, false, all | kShift).deletesSelectionLater);
}

K key(const char* text, uint64_t flags, uint16_t code = K::kUnknownKeyCode) {
    QString s = QString::fromUtf8(text);
    return K(s, s, code, flags);
}
K named(char16_t c, uint64_t flags, uint16_t code = K::kUnknownKeyCode) { return K(QString(QChar(c)), QString(QChar(c)), code, flags); }

TEST(TLClippingActionTable, NumberedRowsListsAndDigits) {
    struct Case {
        const char* text;
        uint64_t flags;
        bool searching;
        Table::KeyCommand expected;
    };
    const Case cases[] = {
        {"1", kCtrl, false, {Key::CopyRow, 0}},
        {"0", kCtrl, false, {Key::CopyRow, 9}},
        {"3", kSuper, false, {Key::CopyRow, 22}},
        {"0", kAlt, false, {Key::CopyRow, 19}},
        {"1", kAlt, true, {Key::CopyRow, 10}},
        {"0", kSuper | kAlt, false, {Key::ChooseList, 0}},
        {"4", kSuper | kAlt, false, {Key::ChooseList, 4}},
        {"1", kCtrl | kPad, false, {Key::None}},  // a keypad digit
        {"1", kPad, false, {Key::None}},
        {"1", kCtrl | kShift, false, {Key::None}},
        {"7", kNone, false, {Key::StartSearch, 7}},
        {"7", kNone, true, {Key::None}},
    };
    for (const Case& c : cases) {
        Table::PanelState state;
        state.searching = c.searching;
        EXPECT_EQ(Table::commandForKey(key(c.text, c.flags), state), c.expected) << c.text << " " << std::hex << c.flags;
    }
}

TEST(TLClippingActionTable, BindingsWithTheirConditions) {
    struct Case {
        K key;
        Table::PanelState state;
        Key expected;
    };
    const Table::PanelState none{false, 0, false}, one{false, 1, false}, two{false, 2, false};
    const Table::PanelState searching{true, 1, true}, list{false, 1, true};
    const std::vector<Case> cases = {
        {key("a", kCtrl), none, Key::SelectAll},
        {key("c", kCtrl), one, Key::Copy},
        {key("c", kCtrl), none, Key::PassOn},  // nothing to copy: Qt's own copy stays off too
        {key("f", kCtrl), none, Key::Find},
        {key("h", kSuper), one, Key::NextRow},
        {key("n", kSuper), one, Key::NextRow},
        {key("p", kSuper), one, Key::PreviousRow},
        {key("t", kSuper), one, Key::PreviousRow},
        {key("n", kCtrl), none, Key::NewTextClipping},
        {key("l", kCtrl), none, Key::ListsMenu},
        {key("l", kCtrl), searching, Key::None},
        {key("l", kAlt), list, Key::ListMenu},
        {key("l", kAlt), one, Key::None},
        {key("m", kCtrl), two, Key::Merge},
        {key("o", kCtrl), one, Key::OpenURL},
        {key("o", kCtrl), none, Key::Beep},
        {key("s", kCtrl), none, Key::Sync},
        {key("v", kCtrl), one, Key::Paste},
        {key("v", kCtrl), none, Key::PassOn},
        {key("w", kCtrl | kAlt), none, Key::ToggleAttach},
        {key("C", kCtrl | kShift), one, Key::CopyAsMenu},
        {key("C", kCtrl | kShift), two, Key::PassOn},
        {key("L", kCtrl | kShift), one, Key::AddToListMenu},
        {key("L", kCtrl | kShift), none, Key::Beep},
        {key("N", kCtrl | kShift), none, Key::NewList},
        {key("S", kCtrl | kShift), one, Key::Share},
        {named(K::kBackspaceCharacter, kNone), one, Key::Delete},
        {named(K::kDeleteFunctionKey, kShift), one, Key::Delete},
        {named(K::kDeleteFunctionKey, kNone), none, Key::PassOn},
        {named(K::kEscapeCharacter, kCtrl), none, Key::Escape},
        {named(u' ', kNone), one, Key::Space},
        {named(u' ', kNone), none, Key::PassOn},
        {named(K::kReturnCharacter, kAlt), one, Key::Return},
        // The default path: typing searches unless Ctrl or Super is held.
        {key("a", kNone), none, Key::TypeToSearch},
        {key("A", kShift), none, Key::TypeToSearch},
        {key("x", kAlt), searching, Key::TypeToSearch},
        {key("x", kSuper), none, Key::PassOn},
        {key("c", kCtrl | kShift), one, Key::PassOn},
        {named(K::kLeftArrowFunctionKey, kNone, K::kLeftArrowKeyCode), none, Key::PassOn},
        {named(K::kTabCharacter, kNone), none, Key::PassOn},
        {named(K::kEnterCharacter, kNone), none, Key::PassOn},
        {named(0xF704, kNone), none, Key::PassOn},  // F1
    };
    for (const Case& c : cases)
        EXPECT_EQ(Table::commandForKey(c.key, c.state).key, c.expected)
            << c.key.charactersIgnoringModifiers().toStdString() << " " << std::hex << c.key.modifierFlags();
}

TEST(TLClippingActionTable, MovesAnswerToCtrlArrowsAlone) {
    struct Case {
        char16_t c;
        uint64_t flags;
        Key expected;
    };
    const Case cases[] = {
        {K::kUpArrowFunctionKey, kCtrl, Key::MoveUp},
        {K::kDownArrowFunctionKey, kCtrl, Key::MoveDown},
        {K::kUpArrowFunctionKey, kCtrl | kPad, Key::PassOn},  // keypad arrow
        {K::kUpArrowFunctionKey, kCtrl | kShift, Key::PassOn},
        {K::kUpArrowFunctionKey, kNone, Key::PassOn},
        {K::kDownArrowFunctionKey, kSuper, Key::PassOn},
        {u'k', kCtrl, Key::PassOn},
    };
    for (const Case& c : cases) EXPECT_EQ(Table::moveCommandForKey(named(c.c, c.flags)).key, c.expected);
}

}  // namespace
