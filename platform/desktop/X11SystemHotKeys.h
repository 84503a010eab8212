#pragma once
// System hotkeys on X11: a combination is taken when a grab of it on the root
// window, made on a connection of our own, is refused with BadAccess. The grab
// is released at once. This process's own hotkey grabs would be refused too,
// so they are noted here by whoever makes them and never count as taken.

#include <cstdint>
#include <memory>

#include "SystemHotKeys.h"

typedef struct xcb_connection_t xcb_connection_t;

namespace desktop {

class KeyboardLayout;

class X11SystemHotKeys : public SystemHotKeys {
public:
    // Null when no X server answers (display null: $DISPLAY). Keys are placed
    // with layout, else the current one.
    static std::unique_ptr<X11SystemHotKeys> open(const char* display = nullptr,
                                                  std::shared_ptr<KeyboardLayout> layout = nullptr);
    ~X11SystemHotKeys() override;

    bool isTaken(uint64_t keyCode, uint32_t carbonFlags) override;
    // The same probe by X keycode and modifier mask.
    bool isGrabbedElsewhere(uint32_t keycode, uint16_t modifiers);

    // This process's own grabs: the hotkey grabber notes each grab and ungrab
    // (counted, so two grabs of one combination need two ungrabs).
    static void noteOwnGrab(uint32_t keycode, uint16_t modifiers);
    static void noteOwnUngrab(uint32_t keycode, uint16_t modifiers);

private:
    X11SystemHotKeys(xcb_connection_t* connection, uint32_t root, std::shared_ptr<KeyboardLayout> layout);

    xcb_connection_t* connection_;
    uint32_t root_;
    std::shared_ptr<KeyboardLayout> layout_;
};

}  // namespace desktop
