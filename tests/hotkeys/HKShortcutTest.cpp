#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QKeySequence>

#include <random>
#include <unordered_set>

#include "hotkeys/HKDictionaryTransformer.h"
#include "hotkeys/HKShortcut.h"
#include "platform/desktop/KeyboardLayout.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/ValueTransformer.h"
#include "tests/support/KeymapText.h"

using foundation::Data;
using foundation::PlistValue;
using foundation::ValueTransformer;

namespace {

constexpr uint64_t kShift = HKShortcut::kShiftKeyMask;
constexpr uint64_t kControl = HKShortcut::kControlKeyMask;
constexpr uint64_t kOption = HKShortcut::kAlternateKeyMask;
constexpr uint64_t kCommand = HKShortcut::kCommandKeyMask;
constexpr uint64_t kCapsLock = 0x10000;

struct SpecialRow {
    uint64_t keyCode;
    const char* label;
    const char* keyEquivalent;
};

const SpecialRow kSpecialRows[] = {
    {36, "Return", "\u21A9"},    {48, "Tab", "\u21E5"},       {49, "Space", " "},          {51, "Backspace", "\u232B"},
    {53, "Esc", "\u238B"},       {64, "F17", "\uF714"},       {65, ".", "."},              {67, "*", "*"},
    {69, "+", "+"},              {71, "Clear", "\u2327"},     {75, "/", "/"},              {76, "Enter", "\u2305"},
    {78, "\u2013", "\u2013"},    {79, "F18", "\uF715"},       {80, "F19", "\uF716"},       {81, "=", "="},
    {82, "0", "0"},              {83, "1", "1"},              {84, "2", "2"},              {85, "3", "3"},
    {86, "4", "4"},              {87, "5", "5"},              {88, "6", "6"},              {89, "7", "7"},
    {91, "8", "8"},              {92, "9", "9"},              {122, "F1", "\uF704"},       {120, "F2", "\uF705"},
    {99, "F3", "\uF706"},        {118, "F4", "\uF707"},       {96, "F5", "\uF708"},        {97, "F6", "\uF709"},
    {98, "F7", "\uF70A"},        {100, "F8", "\uF70B"},       {101, "F9", "\uF70C"},       {109, "F10", "\uF70D"},
    {103, "F11", "\uF70E"},      {111, "F12", "\uF70F"},      {105, "F13", "\uF710"},      {107, "F14", "\uF711"},
    {113, "F15", "\uF712"},      {106, "F16", "\uF713"},      {114, "?", "?"},             {115, "Home", "\u2196"},
    {116, "PgUp", "\u21DE"},     {117, "Del", "\u2326"},      {119, "End", "\u2198"},      {121, "PgDown", "\u21DF"},
    {123, "Left", "\u2190"},     {124, "Right", "\u2192"},    {125, "Down", "\u2193"},     {126, "Up", "\u2191"},
};

TEST(HKShortcutTest, SpecialKeysHaveFixedLabelsAndKeyEquivalents) {
    ASSERT_EQ(std::size(kSpecialRows), 52u);
    for (const SpecialRow& row : kSpecialRows) {
        SCOPED_TRACE(row.keyCode);
        HKShortcut shortcut(row.keyCode, 0);
        EXPECT_EQ(shortcut.keyCodeString(), row.label);
        EXPECT_EQ(shortcut.description(), row.label);  // no modifiers: the key alone
        EXPECT_EQ(shortcut.keyCodeStringForKeyEquivalent(), row.keyEquivalent);
    }
}

TEST(HKShortcutTest, ModifiersAreMaskedAtConstructionAndReadInLinuxWords) {
    HKShortcut shortcut(8, kControl | kShift | kCommand | kCapsLock);
    EXPECT_EQ(shortcut.modifierFlags(), 0x160000u);
    EXPECT_EQ(shortcut.description(), "Super+Ctrl+Shift+C");
    EXPECT_EQ(shortcut.carbonFlags(), HKShortcut::kControlKey | HKShortcut::kShiftKey | HKShortcut::kCmdKey);
    EXPECT_EQ(shortcut.carbonKeyCode(), 8u);
    EXPECT_EQ(HKShortcut(8, kControl | kShift).description(), "Super+Shift+C");
    EXPECT_EQ(HKShortcut(30, kControl | kOption | kShift).description(), "Super+Alt+Shift+]");
    EXPECT_EQ(HKShortcut(8, 0).modifierFlagsString(), "");
    EXPECT_EQ(HKShortcut(8, 0).description(), "C");
    EXPECT_EQ(HKShortcut(0, kCommand).keyCodeStringForKeyEquivalent(), "a");
    EXPECT_EQ(HKShortcut(HKShortcut::kNotFound, kCommand).keyCodeString(), "");
    EXPECT_EQ(HKShortcut(HKShortcut::kNotFound, kCommand).carbonKeyCode(), 0u);
}

TEST(HKShortcutTest, LabelsAgreeWithQtsMenus) {
    HKShortcut all(8, kControl | kCommand | kOption | kShift);
    EXPECT_EQ(all.description(), "Super+Ctrl+Alt+Shift+C");
    EXPECT_EQ(all.keySequence().toString(QKeySequence::NativeText).toStdString(), all.description());
    EXPECT_EQ(HKShortcut(8, kControl | kShift).keySequence(), QKeySequence(Qt::META | Qt::SHIFT | Qt::Key_C));
    EXPECT_EQ(HKShortcut(117, kCommand).keySequence(), QKeySequence(Qt::CTRL | Qt::Key_Delete));
    EXPECT_TRUE(HKShortcut(HKShortcut::kNotFound, kCommand).keySequence().isEmpty());
}

TEST(HKShortcutTest, AControlCharacterFromTheLayoutReadsEmpty) {
    auto previous = desktop::KeyboardLayout::current();
    desktop::KeyboardLayout::setCurrent(
        desktop::KeyboardLayout::fromKeymapText(testsupport::lettersOnlyKeymap({{"AB03", "Tab"}})));
    EXPECT_EQ(HKShortcut(8, kCommand).keyCodeString(), "");
    EXPECT_EQ(HKShortcut(8, kCommand).keyCodeStringForKeyEquivalent(), "");
    EXPECT_EQ(HKShortcut(0, kCommand).keyCodeString(), "A");
    desktop::KeyboardLayout::setCurrent(previous);
}

TEST(HKShortcutTest, KeyEventsWithoutAScanCodeAreReadOnAUSLayout) {
    struct Row {
        int key;
        Qt::KeyboardModifiers modifiers;
        HKShortcut shortcut;
    };
    const Row rows[] = {
        {Qt::Key_A, Qt::MetaModifier | Qt::ShiftModifier, HKShortcut(0, kControl | kShift)},
        {Qt::Key_W, Qt::ControlModifier, HKShortcut(13, kCommand)},
        {Qt::Key_Q, Qt::ControlModifier | Qt::AltModifier, HKShortcut(12, kCommand | kOption)},
        {Qt::Key_QuoteLeft, Qt::NoModifier, HKShortcut(50, 0)},
        {Qt::Key_Space, Qt::NoModifier, HKShortcut(49, 0)},
        {Qt::Key_Backspace, Qt::ControlModifier, HKShortcut(51, kCommand)},
        {Qt::Key_F20, Qt::NoModifier, HKShortcut(90, 0)},
        // Qt reports a modifier key's own modifier as held after the press.
        {Qt::Key_Meta, Qt::NoModifier, HKShortcut(59, kControl)},
        {Qt::Key_VolumeUp, Qt::NoModifier, HKShortcut(HKShortcut::kNotFound, 0)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        QKeyEvent event(QEvent::KeyPress, row.key, row.modifiers);
        EXPECT_EQ(HKShortcut::shortcutWithEvent(event), row.shortcut);
    }
}

TEST(HKShortcutTest, EqualValuesHashAlike) {
    std::unordered_set<HKShortcut> set{HKShortcut(8, kControl | kShift)};
    EXPECT_TRUE(set.count(HKShortcut(8, kControl | kShift | kCapsLock)));
    EXPECT_FALSE(set.count(HKShortcut(8, kControl)));
    EXPECT_EQ(HKShortcut(8, kShift).hash(), 8u + kShift);
}

// The archive's dictionary as written, for tests that build damaged ones.
Data archiveData(const PlistValue::Dictionary& fields) {
    return Data::fromString(foundation::PropertyList::writeXML(PlistValue(fields)).value());
}

std::optional<HKShortcut> unarchive(const Data& data) {
    std::any value = ValueTransformer::valueTransformerForName(ValueTransformer::kKeyedUnarchiveFromDataTransformerName)
                         ->transformedValue(PlistValue(data));
    if (!value.has_value()) return std::nullopt;
    return std::any_cast<HKShortcut>(value);
}

TEST(HKShortcutArchiveTest, RoundTripsThroughTheKeyedUnarchiveTransformer) {
    auto transformer =
        ValueTransformer::valueTransformerForName(ValueTransformer::kKeyedUnarchiveFromDataTransformerName);
    ASSERT_TRUE(transformer && transformer->allowsReverseTransformation());
    for (HKShortcut shortcut : {HKShortcut(8, kControl | kShift), HKShortcut(HKShortcut::kNotFound, kCommand)}) {
        std::any stored = transformer->reverseTransformedValue(shortcut);
        const PlistValue* plist = std::any_cast<PlistValue>(&stored);
        ASSERT_TRUE(plist && plist->asData());
        std::optional<HKShortcut> back = unarchive(*plist->asData());
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, shortcut);
    }
    // No key is written as -1, and read back as no key.
    std::optional<Data> archive = foundation::KeyedArchiver::archivedData(HKShortcut(HKShortcut::kNotFound, kCommand));
    ASSERT_TRUE(archive);
    auto fields = foundation::PropertyList::read(archive->span());
    ASSERT_TRUE(fields.ok());
    EXPECT_EQ(fields.value().get("KeyCode")->asInteger(), -1);
    EXPECT_EQ(*fields.value().get("$class")->asString(), "HKShortcut");
    std::optional<HKShortcut> none = unarchive(archiveData({{"$class", "HKShortcut"}, {"KeyCode", -7}, {"ModifierFlags", 0}}));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->keyCode(), HKShortcut::kNotFound);
    EXPECT_EQ(none->carbonKeyCode(), 0u);
}

TEST(HKShortcutArchiveTest, DamagedArchivesDecodeToNothing) {
    std::mt19937 random(7);
    std::vector<uint8_t> noise(4096);
    for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
    std::string padding(1 << 20, 'x');
    std::string hugeKeyCode =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>$class</key>"
        "<string>HKShortcut</string><key>KeyCode</key><integer>9223372036854775808</integer>"
        "<key>ModifierFlags</key><integer>0</integer></dict></plist>";
    struct Row {
        const char* name;
        Data data;
    };
    const Row rows[] = {
        {"random bytes", Data(noise)},
        {"another class", archiveData({{"$class", "NSColor"}, {"KeyCode", 8}, {"ModifierFlags", 0}})},
        {"no class", archiveData({{"KeyCode", 8}, {"ModifierFlags", 0}})},
        {"a string KeyCode", archiveData({{"$class", "HKShortcut"}, {"KeyCode", "8"}, {"ModifierFlags", 0}})},
        {"a real KeyCode", archiveData({{"$class", "HKShortcut"}, {"KeyCode", 8.0}, {"ModifierFlags", 0}})},
        {"no ModifierFlags", archiveData({{"$class", "HKShortcut"}, {"KeyCode", 8}})},
        {"a KeyCode of 2^63", Data::fromString(hugeKeyCode)},
        {"a 1 MB blob", archiveData({{"$class", "HKShortcut"}, {"KeyCode", 8}, {"ModifierFlags", 0},
                                     {"Padding", padding}})},
        {"an array", Data::fromString(foundation::PropertyList::writeXML(PlistValue(PlistValue::Array{})).value())},
        {"empty", Data()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(unarchive(row.data));
    }
}

TEST(HKShortcutArchiveTest, DecodedFlagsStayAsStored) {
    std::optional<HKShortcut> negative =
        unarchive(archiveData({{"$class", "HKShortcut"}, {"KeyCode", 8}, {"ModifierFlags", -1}}));
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->modifierFlags(), UINT64_MAX);
    std::optional<HKShortcut> extra =
        unarchive(archiveData({{"$class", "HKShortcut"}, {"KeyCode", 8}, {"ModifierFlags", 0x170001}}));
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->modifierFlags(), 0x170001u);
    EXPECT_NE(*extra, HKShortcut(8, 0x170001));  // a constructed value is masked
}

TEST(HKShortcutArchiveTest, DictionaryTransformer) {
    auto transformer = ValueTransformer::valueTransformerForName("HKDictionaryTransformer");
    ASSERT_TRUE(transformer && transformer->allowsReverseTransformation());
    std::any empty = transformer->reverseTransformedValue(std::any());
    ASSERT_TRUE(std::any_cast<PlistValue>(&empty));
    EXPECT_EQ(std::any_cast<PlistValue>(empty), PlistValue(PlistValue::Dictionary{}));
    EXPECT_FALSE(transformer->transformedValue(empty).has_value());

    std::any dictionary = transformer->reverseTransformedValue(HKShortcut(8, kControl | kShift));
    EXPECT_EQ(std::any_cast<PlistValue>(dictionary),
              PlistValue(PlistValue::Dictionary{{"keyCode", 8}, {"modifierFlags", int64_t(kControl | kShift)}}));
    EXPECT_EQ(std::any_cast<HKShortcut>(transformer->transformedValue(dictionary)), HKShortcut(8, kControl | kShift));
    // Entries that read as integers count; the flags are masked as on construction.
    PlistValue text(PlistValue::Dictionary{{"keyCode", "12"}, {"modifierFlags", int64_t(kCommand | kCapsLock)}});
    EXPECT_EQ(std::any_cast<HKShortcut>(transformer->transformedValue(text)), HKShortcut(12, kCommand));
    PlistValue partial(PlistValue::Dictionary{{"keyCode", 12}});
    EXPECT_FALSE(transformer->transformedValue(partial).has_value());
    EXPECT_FALSE(transformer->transformedValue(PlistValue(PlistValue::Array{})).has_value());
}

}  // namespace
