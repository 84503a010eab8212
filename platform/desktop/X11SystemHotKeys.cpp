#include "X11SystemHotKeys.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "KeyboardLayout.h"

namespace desktop {

namespace {

struct OwnGrabs {
    std::mutex mutex;
    std::map<std::pair<uint32_t, uint16_t>, int> counts;
};

OwnGrabs& ownGrabs() {
    static OwnGrabs instance;
    return instance;
}

constexpr uint8_t kBadAccess = 10;

}  // namespace

X11SystemHotKeys::X11SystemHotKeys(xcb_connection_t* connection, uint32_t root, std::shared_ptr<KeyboardLayout> layout)
    : connection_(connection), root_(root), layout_(std::move(layout)) {}

X11SystemHotKeys::~X11SystemHotKeys() {
    xcb_disconnect(connection_);
}

std::unique_ptr<X11SystemHotKeys> X11SystemHotKeys::open(const char* display, std::shared_ptr<KeyboardLayout> layout) {
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(display, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return nullptr;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::unique_ptr<X11SystemHotKeys>(new X11SystemHotKeys(connection, screens.data->root, std::move(layout)));
}

bool X11SystemHotKeys::isTaken(uint64_t keyCode, uint32_t carbonFlags) {
    std::shared_ptr<KeyboardLayout> layout = layout_ ? layout_ : KeyboardLayout::current();
    uint32_t keycode = layout->keycodeForKeyCode(keyCode);
    if (keycode == 0) return false;  // no such key here, so nobody holds it
    return isGrabbedElsewhere(keycode, layout->modifierMaskForCarbonFlags(carbonFlags));
}

bool X11SystemHotKeys::isGrabbedElsewhere(uint32_t keycode, uint16_t modifiers) {
    {
        OwnGrabs& own = ownGrabs();
        std::lock_guard lock(own.mutex);
        if (own.counts.count({keycode, modifiers})) return false;
    }
    xcb_void_cookie_t cookie = xcb_grab_key_checked(connection_, 0, root_, modifiers, static_cast<xcb_keycode_t>(keycode),
                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_generic_error_t* error = xcb_request_check(connection_, cookie);
    bool taken = error && error->error_code == kBadAccess;
    free(error);
    if (!taken) {
        // Released before answering: the server orders requests per client
        // only, so a grab another program (or this one's hotkeys) makes right
        // after the probe could otherwise still find the probe's grab.
        free(xcb_request_check(connection_, xcb_ungrab_key_checked(connection_, static_cast<xcb_keycode_t>(keycode),
                                                                   root_, modifiers)));
    }
    return taken;
}

void X11SystemHotKeys::noteOwnGrab(uint32_t keycode, uint16_t modifiers) {
    OwnGrabs& own = ownGrabs();
    std::lock_guard lock(own.mutex);
    ++own.counts[{keycode, modifiers}];
}

void X11SystemHotKeys::noteOwnUngrab(uint32_t keycode, uint16_t modifiers) {
    OwnGrabs& own = ownGrabs();
    std::lock_guard lock(own.mutex);
    auto it = own.counts.find({keycode, modifiers});
    if (it != own.counts.end() && --it->second == 0) own.counts.erase(it);
}

}  // namespace desktop
