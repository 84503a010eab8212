#pragma once
// Another X client on the test's server, for tests of what our grabs do when
// someone else holds or changes keys.

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>

namespace testsupport {

class OtherX11Client {
public:
    OtherX11Client() : connection_(xcb_connect(nullptr, nullptr)) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }
    ~OtherX11Client() { xcb_disconnect(connection_); }
    OtherX11Client(const OtherX11Client&) = delete;
    OtherX11Client& operator=(const OtherX11Client&) = delete;

    // True when the server granted the grab.
    bool grab(uint32_t keycode, uint16_t modifiers) {
        xcb_generic_error_t* error = xcb_request_check(
            connection_, xcb_grab_key_checked(connection_, 0, root_, modifiers, static_cast<xcb_keycode_t>(keycode),
                                              XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        free(error);
        return error == nullptr;
    }
    // Gives the key one keysym (a core keymap change).
    void remap(uint32_t keycode, xcb_keysym_t keysym) {
        free(xcb_request_check(connection_, xcb_change_keyboard_mapping_checked(
                                                connection_, 1, static_cast<xcb_keycode_t>(keycode), 1, &keysym)));
    }
    // Whether a key press arrived since the last look.
    bool hadPress() {
        bool press = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            press = press || (event->response_type & 0x7f) == XCB_KEY_PRESS;
            free(event);
        }
        return press;
    }

private:
    xcb_connection_t* connection_;
    xcb_window_t root_;
};

}  // namespace testsupport
