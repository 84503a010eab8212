#pragma once
// A benchmark's own X connection that types and clicks through XTEST, as a
// user's keyboard and mouse would, and sees top-level windows mapped
// (SubstructureNotify on the root window).
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <thread>

namespace benchx11 {

// Key symbols the benchmarks press.
constexpr uint32_t kSuperL = 0xffeb, kShiftL = 0xffe1, kControlL = 0xffe3, kC = 0x63;
constexpr uint32_t kReturn = 0xff0d, kEscape = 0xff1b, kUp = 0xff52, kDown = 0xff54;

class XDisplay {
public:
    XDisplay() : c_(xcb_connect(nullptr, nullptr)) {
        if (!ok()) return;
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
        const xcb_setup_t* setup = xcb_get_setup(c_);
        auto reply = xcb_get_keyboard_mapping_reply(
            c_, xcb_get_keyboard_mapping(c_, setup->min_keycode, setup->max_keycode - setup->min_keycode + 1),
            nullptr);
        if (reply) {
            const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
            int per = reply->keysyms_per_keycode;
            for (int code = setup->min_keycode; code <= setup->max_keycode; ++code) {
                for (int i = 0; i < per; ++i) {
                    xcb_keysym_t sym = syms[(code - setup->min_keycode) * per + i];
                    if (sym && !keycodes_.count(sym)) keycodes_[sym] = static_cast<uint8_t>(code);
                }
            }
            free(reply);
        }
    }
    ~XDisplay() { xcb_disconnect(c_); }
    bool ok() const { return !xcb_connection_has_error(c_); }

    void drain() {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) free(e);
    }
    // Holds the modifiers, taps the key, lets go.
    void chord(std::initializer_list<uint32_t> modifiers, uint32_t key) {
        for (uint32_t m : modifiers) fake(XCB_KEY_PRESS, m);
        fake(XCB_KEY_PRESS, key);
        fake(XCB_KEY_RELEASE, key);
        for (uint32_t m : modifiers) fake(XCB_KEY_RELEASE, m);
        xcb_flush(c_);
    }
    void tap(uint32_t key) { chord({}, key); }
    // A left click at a point of the root window.
    void click(int x, int y) {
        xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, int16_t(x), int16_t(y), 0);
        xcb_test_fake_input(c_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(c_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(c_);
    }
    xcb_connection_t* connection() const { return c_; }
    xcb_window_t root() const { return root_; }
    // The next top-level window mapped (only override-redirect ones, a menu's,
    // when asked), or none within the limit.
    xcb_window_t waitForMap(std::chrono::milliseconds limit, bool overrideRedirectOnly = false) {
        using Clock = std::chrono::steady_clock;
        using namespace std::chrono_literals;
        auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            xcb_generic_event_t* e = xcb_poll_for_event(c_);
            if (!e) {
                std::this_thread::sleep_for(100us);
                continue;
            }
            xcb_window_t mapped = XCB_NONE;
            if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                auto* map = reinterpret_cast<xcb_map_notify_event_t*>(e);
                if (!overrideRedirectOnly || map->override_redirect) mapped = map->window;
            }
            free(e);
            if (mapped != XCB_NONE) return mapped;
        }
        return XCB_NONE;
    }
    // Asks every top-level window shown to close, as a window manager's close button does.
    void closeShownWindows() {
        auto tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr);
        if (!tree) return;
        xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            auto attributes = xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, children[i]), nullptr);
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) close(children[i]);
            free(attributes);
        }
        free(tree);
        xcb_flush(c_);
    }
    void close(xcb_window_t window) {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = atom("WM_PROTOCOLS");
        message.data.data32[0] = atom("WM_DELETE_WINDOW");
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
        xcb_flush(c_);
    }

private:
    xcb_atom_t atom(const char* name) {
        auto reply = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(std::strlen(name)), name), nullptr);
        xcb_atom_t value = reply ? reply->atom : XCB_NONE;
        free(reply);
        return value;
    }
    void fake(uint8_t type, uint32_t keysym) {
        xcb_test_fake_input(c_, type, keycodes_[keysym], XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }

    xcb_connection_t* c_;
    xcb_window_t root_ = 0;
    std::map<xcb_keysym_t, uint8_t> keycodes_;
};

}  // namespace benchx11
