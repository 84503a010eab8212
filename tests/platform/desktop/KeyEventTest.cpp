#include <gtest/gtest.h>

#include <QKeyEvent>

#include "platform/desktop/KeyEvent.h"

using desktop::KeyEvent;

namespace {

constexpr uint64_t kCommand = KeyEvent::kCommandKeyMask;
constexpr uint64_t kShift = KeyEvent::kShiftKeyMask;
constexpr uint64_t kControl = KeyEvent::kControlKeyMask;
constexpr uint64_t kOption = KeyEvent::kAlternateKeyMask;
constexpr uint64_t kPad = KeyEvent::kNumericPadKeyMask;

struct Row {
    const char* name;
    int key;
    Qt::KeyboardModifiers modifiers;
    QString text;
    char16_t character;
    uint64_t flags;
    uint16_t keyCode;
};

const Row kRows[] = {
    {"Ctrl+C", Qt::Key_C, Qt::ControlModifier, QString(QChar(3)), u'c', kCommand, KeyEvent::kUnknownKeyCode},
    {"Ctrl+Shift+W", Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier, QString(QChar(23)), u'W', kCommand | kShift,
     KeyEvent::kUnknownKeyCode},
    {"Super+N", Qt::Key_N, Qt::MetaModifier, "n", u'n', kControl, KeyEvent::kUnknownKeyCode},
    {"Alt+1", Qt::Key_1, Qt::AltModifier, "1", u'1', kOption, KeyEvent::kUnknownKeyCode},
    {"Ctrl+keypad 1", Qt::Key_1, Qt::ControlModifier | Qt::KeypadModifier, "1", u'1', kCommand | kPad,
     KeyEvent::kUnknownKeyCode},
    {"Shift+1 writes !", Qt::Key_Exclam, Qt::ShiftModifier, "!", u'!', kShift, KeyEvent::kUnknownKeyCode},
    {"z", Qt::Key_Z, Qt::NoModifier, "z", u'z', 0, KeyEvent::kUnknownKeyCode},
    {"Escape", Qt::Key_Escape, Qt::NoModifier, QString(QChar(27)), 27, 0, 53},
    {"Return", Qt::Key_Return, Qt::NoModifier, "\r", 13, 0, 36},
    {"Backspace", Qt::Key_Backspace, Qt::NoModifier, QString(QChar(8)), 127, 0, 51},
    {"Delete", Qt::Key_Delete, Qt::NoModifier, QString(QChar(127)), 0xF728, 0, 117},
    {"Up", Qt::Key_Up, Qt::NoModifier, "", 0xF700, 0, 126},
    {"Ctrl+Down", Qt::Key_Down, Qt::ControlModifier, "", 0xF701, kCommand, 125},
    {"Left", Qt::Key_Left, Qt::NoModifier, "", 0xF702, 0, 123},
    {"Right", Qt::Key_Right, Qt::NoModifier, "", 0xF703, 0, 124},
};

TEST(KeyEventTest, ReadsQtKeysInTheApplicationsTerms) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        QKeyEvent qt(QEvent::KeyPress, row.key, row.modifiers, row.text);
        KeyEvent event = KeyEvent::fromQKeyEvent(qt);
        EXPECT_EQ(event.character(), row.character);
        EXPECT_EQ(event.modifierFlags(), row.flags);
        EXPECT_EQ(event.keyCode(), row.keyCode);
    }
}

TEST(KeyEventTest, ABindingComparesTheModifiersExactly) {
    QKeyEvent commandOne(QEvent::KeyPress, Qt::Key_1, Qt::ControlModifier, "1");
    QKeyEvent keypadOne(QEvent::KeyPress, Qt::Key_1, Qt::ControlModifier | Qt::KeypadModifier, "1");
    QKeyEvent commandShiftOne(QEvent::KeyPress, Qt::Key_Exclam, Qt::ControlModifier | Qt::ShiftModifier, "!");
    EXPECT_TRUE(KeyEvent::fromQKeyEvent(commandOne).hasExactly(kCommand));
    EXPECT_FALSE(KeyEvent::fromQKeyEvent(keypadOne).hasExactly(kCommand));
    EXPECT_FALSE(KeyEvent::fromQKeyEvent(commandShiftOne).hasExactly(kCommand));
}

TEST(KeyEventTest, CapsLockLeavesABindingWhole) {
    // X reports Caps Lock (Lock, 0x2) and Num Lock (Mod2, 0x10) only in the native state.
    QKeyEvent withLocks(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, 54, 0x63, 0x4 | 0x2 | 0x10, "\x03");
    KeyEvent event = KeyEvent::fromQKeyEvent(withLocks);
    EXPECT_TRUE(event.hasExactly(kCommand));
    EXPECT_EQ(event.character(), u'c');
}

}  // namespace
