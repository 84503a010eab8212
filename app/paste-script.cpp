// Paste.scpt: presses Ctrl+V for the window that has the keyboard, through the
// X server's test extension, as if the user typed it. Tavlo runs it (with no
// arguments) once it has put the clippings on the clipboard and made the
// window the user worked in active again.
//
// The keys are found in the server's keyboard mapping, so the paste works
// whatever the layout puts where. It waits until the server has handled the
// keys before it exits 0; without an X server, the extension or the keys it
// says why and exits 1.
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr xcb_keysym_t kControlL = 0xffe3, kControlR = 0xffe4, kLowerV = 0x0076, kUpperV = 0x0056;

int fail(const char* why) {
    std::fprintf(stderr, "Paste.scpt: %s\n", why);
    return 1;
}

// The first key code whose keysyms (any group and level) hold one of the two.
xcb_keycode_t keyFor(const xcb_get_keyboard_mapping_reply_t& mapping, xcb_keycode_t first, xcb_keysym_t a,
                     xcb_keysym_t b) {
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(&mapping);
    const int perKey = mapping.keysyms_per_keycode;
    const int count = xcb_get_keyboard_mapping_keysyms_length(&mapping);
    if (perKey <= 0) return 0;
    // The first level of every key before the others: a key that gives the
    // symbol unshifted is the one a user presses.
    for (int level = 0; level < perKey; ++level)
        for (int i = level; i < count; i += perKey)
            if (syms[i] == a || syms[i] == b) return xcb_keycode_t(first + i / perKey);
    return 0;
}

}  // namespace

int main() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return fail("no X display: DISPLAY is not set");
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> owner(connection, &xcb_disconnect);
    if (xcb_connection_has_error(connection)) return fail("cannot reach the X server at DISPLAY");
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection, &xcb_test_id);
    if (!xtest || !xtest->present) return fail("the X server has no XTEST extension");

    const xcb_setup_t* setup = xcb_get_setup(connection);
    const xcb_keycode_t first = setup->min_keycode;
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> mapping(
        xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, first, uint8_t(setup->max_keycode - first + 1)), nullptr),
        &std::free);
    if (!mapping) return fail("cannot read the keyboard mapping");
    const xcb_keycode_t control = keyFor(*mapping, first, kControlL, kControlR);
    const xcb_keycode_t v = keyFor(*mapping, first, kLowerV, kUpperV);
    if (!control || !v) return fail("the keyboard mapping has no Control or V key");

    const uint8_t events[][2] = {{XCB_KEY_PRESS, control}, {XCB_KEY_PRESS, v}, {XCB_KEY_RELEASE, v},
                                 {XCB_KEY_RELEASE, control}};
    for (const auto& event : events)
        xcb_test_fake_input(connection, event[0], event[1], XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    // A round trip: the server has handled the keys once it answers.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    if (xcb_connection_has_error(connection)) return fail("the X server closed the connection");
    return 0;
}
