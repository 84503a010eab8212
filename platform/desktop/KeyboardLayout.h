#pragma once
// The keyboard layout as shortcut labels read it. Shortcuts are stored with the
// US-layout virtual key codes (a physical position: 8 is the key right of X);
// this class names such a position by its XKB key name (one table), finds it
// in a keymap and says what its key writes in the current layout. Any thread.
//
// "Current" is the active group when it writes Latin letters, else the first
// group that does, so a Russian-and-English keymap labels shortcuts with Latin
// letters whichever group is active. A layout read from the X server fetches
// its keymap again when the server announces a new keymap or group.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

struct xkb_context;
struct xkb_keymap;

namespace desktop {

class KeyboardLayout {
public:
    // X's core modifier bits, as grabs use them.
    static constexpr uint16_t kShiftMask = 1 << 0;
    static constexpr uint16_t kLockMask = 1 << 1;
    static constexpr uint16_t kControlMask = 1 << 2;

    // The XKB key name at a US virtual key code ("AB03" for 8), or empty for a
    // code no key of a PC keyboard has.
    static std::string_view keyNameForKeyCode(uint64_t keyCode);
    // The virtual key code of an XKB key name (aliases resolved by the caller).
    static std::optional<uint64_t> keyCodeForKeyName(std::string_view name);

    // A keymap compiled from rule names (rules "evdev", model "pc105"); null when
    // it does not compile.
    static std::shared_ptr<KeyboardLayout> fromNames(const std::string& layout, const std::string& variant = {},
                                                     const std::string& options = {});
    // A keymap compiled from its text; null when it does not compile.
    static std::shared_ptr<KeyboardLayout> fromKeymapText(const std::string& text);
    // The X server's keymap, read on a connection of its own (display null: $DISPLAY);
    // null without a reachable X server with the keyboard extension.
    static std::shared_ptr<KeyboardLayout> fromServer(const char* display = nullptr);

    // The layout labels use: the one set, else the X server's, else "us".
    static std::shared_ptr<KeyboardLayout> current();
    // Null forgets the set layout, so current() looks again.
    static void setCurrent(std::shared_ptr<KeyboardLayout> layout);

    ~KeyboardLayout();
    KeyboardLayout(const KeyboardLayout&) = delete;
    KeyboardLayout& operator=(const KeyboardLayout&) = delete;

    // What the key at keyCode writes without modifiers in the current group,
    // upper-cased: dead keys as their spacing accents; empty when the keymap
    // lacks the key, no group writes Latin, or a character is not a letter,
    // mark, digit, punctuation or symbol (a control character, a modifier key).
    std::string displayText(uint64_t keyCode);
    // The keymap's keycode for keyCode's position; 0 when it has none.
    uint32_t keycodeForKeyCode(uint64_t keyCode);
    // The virtual key code of a keymap keycode (a key event's scan code).
    std::optional<uint64_t> keyCodeForKeycode(uint32_t keycode);
    // X's modifier mask for Carbon modifier flags: Command is Control, Option the
    // modifier Alt sits on, Control the one Super sits on, Shift is Shift.
    uint16_t modifierMaskForCarbonFlags(uint32_t carbonFlags);

    struct Server;  // the X connection of a layout read from the server

private:
    KeyboardLayout(xkb_context* context, xkb_keymap* keymap, uint32_t group);
    void refreshFromServer();  // with mutex_ held
    void pollServer();         // with mutex_ held
    uint32_t findLabelGroup() const;
    std::string translate(uint64_t keyCode) const;
    uint16_t realModsOfKey(std::string_view keyName) const;

    std::mutex mutex_;
    xkb_context* context_;
    xkb_keymap* keymap_;
    uint32_t activeGroup_;
    uint32_t labelGroup_ = 0xffffffff;  // the group labels read; none when no group writes Latin
    std::unique_ptr<Server> server_;
    std::chrono::steady_clock::time_point lastPoll_;
    // Labels are asked for far more often than keymaps change.
    std::array<std::optional<std::string>, 128> texts_;
};

}  // namespace desktop
