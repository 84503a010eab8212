#pragma once
// The application's twenty-eight global hotkeys: each one's defaults key and
// default shortcut (a US virtual key code and modifier flags: Shift 0x20000,
// Control 0x40000, Option 0x80000, Command 0x100000), in table order. The
// first eight are the named ones the Hotkeys pane edits; rows 9 to 28 copy and
// paste the clipping at a position (1 to 9, and 0 for the tenth).

#include <array>
#include <cstdint>

#include "TLUserDefaultsKeys.h"

struct TLHotkeyRow {
    const char* key;
    uint64_t keyCode;
    uint64_t modifierFlags;
    // The position the numbered rows copy or paste at; -1 for the named rows.
    int digit;
    bool paste;
};

namespace tlhotkeys {
inline constexpr uint64_t kControlShift = 0x60000;
inline constexpr uint64_t kControlOptionShift = 0xE0000;
inline constexpr uint64_t kControlOptionCommand = 0x1C0000;
inline constexpr int kNamedRows = 8;
}  // namespace tlhotkeys

inline constexpr std::array<TLHotkeyRow, 28> TLHotkeyTable = {{
    {TLHotkeyShowApplication, 8, tlhotkeys::kControlShift, -1, false},
    {TLHotkeyNextList, 37, tlhotkeys::kControlShift, -1, false},
    {TLHotkeyCopyNextClipping, 30, tlhotkeys::kControlShift, -1, false},
    {TLHotkeyPasteNextClippingKey, 30, tlhotkeys::kControlOptionShift, -1, false},
    {TLHotkeyToggleClipboardRecorder, 8, tlhotkeys::kControlOptionCommand, -1, false},
    {TLHotkeySaveClipboard, 1, tlhotkeys::kControlShift, -1, false},
    {TLHotkeyClearClipboardKey, 7, tlhotkeys::kControlShift, -1, false},
    {TLHotkeyTogglePlainText, 17, tlhotkeys::kControlShift, -1, false},
    {"TLHotkeyCopyClipping1", 18, tlhotkeys::kControlShift, 1, false},
    {"TLHotkeyCopyClipping2", 19, tlhotkeys::kControlShift, 2, false},
    {"TLHotkeyCopyClipping3", 20, tlhotkeys::kControlShift, 3, false},
    {"TLHotkeyCopyClipping4", 21, tlhotkeys::kControlShift, 4, false},
    {"TLHotkeyCopyClipping5", 23, tlhotkeys::kControlShift, 5, false},
    {"TLHotkeyCopyClipping6", 22, tlhotkeys::kControlShift, 6, false},
    {"TLHotkeyCopyClipping7", 26, tlhotkeys::kControlShift, 7, false},
    {"TLHotkeyCopyClipping8", 28, tlhotkeys::kControlShift, 8, false},
    {"TLHotkeyCopyClipping9", 25, tlhotkeys::kControlShift, 9, false},
    {"TLHotkeyCopyClipping0", 29, tlhotkeys::kControlShift, 0, false},
    {"TLHotkeyPasteClipping1", 18, tlhotkeys::kControlOptionShift, 1, true},
    {"TLHotkeyPasteClipping2", 19, tlhotkeys::kControlOptionShift, 2, true},
    {"TLHotkeyPasteClipping3", 20, tlhotkeys::kControlOptionShift, 3, true},
    {"TLHotkeyPasteClipping4", 21, tlhotkeys::kControlOptionShift, 4, true},
    {"TLHotkeyPasteClipping5", 23, tlhotkeys::kControlOptionShift, 5, true},
    {"TLHotkeyPasteClipping6", 22, tlhotkeys::kControlOptionShift, 6, true},
    {"TLHotkeyPasteClipping7", 26, tlhotkeys::kControlOptionShift, 7, true},
    {"TLHotkeyPasteClipping8", 28, tlhotkeys::kControlOptionShift, 8, true},
    {"TLHotkeyPasteClipping9", 25, tlhotkeys::kControlOptionShift, 9, true},
    {"TLHotkeyPasteClipping0", 29, tlhotkeys::kControlOptionShift, 0, true},
}};
