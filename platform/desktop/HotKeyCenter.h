#pragma once
// System-wide hotkeys on X11: a combination of a US virtual key code and
// Carbon modifier flags, registered under a (signature, id) pair, is grabbed on
// the root window of the application's own X connection; a press of it is
// handed to the handler as that pair. Main thread only.
//
// The key code becomes an XKB key name (KeyboardLayout's one table), then the
// server's keycode; Command is Ctrl, Option the modifier Alt sits on, Control
// the one Super sits on, Shift is Shift, read from the server's modifier
// mapping. Each combination is grabbed four times, with and without Caps Lock
// and Num Lock, so the locks never stop a hotkey. Grabs are counted per keycode
// and mask: two registrations of one combination share the grab, and it goes
// only with the last of them. Each grab is noted with X11SystemHotKeys, so our
// own combinations never read as taken by another program.
//
// A held key acts once (detectable auto-repeat); a new keymap resolves every
// registration again and grabs it where its key now sits. While the key-event
// target names an object (a shortcut recorder recording), grabbed presses go to
// it as key events and the handler hears nothing.

#include <cstdint>
#include <functional>
#include <memory>

class QObject;

namespace desktop {

struct HotKeyID {
    uint32_t signature = 0;
    uint32_t id = 0;
};

// What the handler is told: the event's class and kind (a hotkey press is
// kEventClassKeyboard, kEventHotKeyPressed) and the pressed hotkey's identifier.
struct HotKeyEvent {
    static constexpr uint32_t kEventClassKeyboard = 0x6B657962;  // 'keyb'
    static constexpr uint32_t kEventHotKeyPressed = 5;
    uint32_t eventClass = kEventClassKeyboard;
    uint32_t kind = kEventHotKeyPressed;
    bool hasID = true;  // false: the identifier could not be read
    HotKeyID hotKeyID;
};

class HotKeyCenter {
public:
    using Ref = uint64_t;  // 0 is no registration
    using Handler = std::function<void(const HotKeyEvent&)>;

    // Answers of registerHotKey.
    static constexpr int32_t kNoErr = 0;
    static constexpr int32_t kEventHotKeyExistsErr = -9878;   // another program holds the combination
    static constexpr int32_t kEventHotKeyInvalidErr = -9879;  // no such key in the keymap, or no key at all

    // The application's, on Qt's X connection; null without one (the offscreen
    // platform, Wayland). Made on first use.
    static HotKeyCenter* shared();

    ~HotKeyCenter();
    HotKeyCenter(const HotKeyCenter&) = delete;
    HotKeyCenter& operator=(const HotKeyCenter&) = delete;

    void setHandler(Handler handler);
    // Asked at each grabbed press; a non-null answer gets the press as key events.
    void setKeyEventTarget(std::function<QObject*()> target);

    // Grabs the combination and fills *ref; fails at once, holding nothing new,
    // when the server refuses a grab (BadAccess, BadValue) or the key is missing.
    int32_t registerHotKey(uint32_t keyCode, uint32_t carbonFlags, HotKeyID id, Ref* ref);
    // Releases the registration (its grabs when no other registration shares them).
    int32_t unregisterHotKey(Ref ref);

    // Registrations holding grabs now, and how many keymaps were read so far (tests).
    size_t liveRegistrationCount() const;
    size_t keymapGeneration() const;

    class Impl;

private:
    explicit HotKeyCenter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace desktop
