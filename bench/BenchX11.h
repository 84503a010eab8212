#pragma once
// Window-tree questions the benchmarks ask of the X server on a connection of
// their own: a window's children, the class part of its WM_CLASS, and whether
// a program's window is mapped.

#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace benchx11 {

inline std::vector<xcb_window_t> children(xcb_connection_t* connection, xcb_window_t window) {
    std::vector<xcb_window_t> out;
    auto* reply = xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr);
    if (!reply) return out;
    auto* list = xcb_query_tree_children(reply);
    out.assign(list, list + xcb_query_tree_children_length(reply));
    free(reply);
    return out;
}

// The class part of WM_CLASS ("instance\0class\0"), in lower case.
inline std::string className(xcb_connection_t* connection, xcb_window_t window) {
    auto* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64), nullptr);
    std::string name;
    if (reply) {
        std::string value(static_cast<const char*>(xcb_get_property_value(reply)),
                          xcb_get_property_value_length(reply));
        auto nul = value.find('\0');
        name = nul == std::string::npos ? value : value.substr(nul + 1);
        if (!name.empty() && name.back() == '\0') name.pop_back();
        free(reply);
    }
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name;
}

// Whether a viewable top-level window (or a frame's child) has the WM_CLASS class.
class WindowWatcher {
public:
    WindowWatcher() : connection_(xcb_connect(nullptr, nullptr)) {}
    ~WindowWatcher() { xcb_disconnect(connection_); }
    WindowWatcher(const WindowWatcher&) = delete;
    WindowWatcher& operator=(const WindowWatcher&) = delete;

    bool mapped(const std::string& wmClass) {
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        for (xcb_window_t top : children(connection_, root)) {
            if (!viewable(top)) continue;
            if (className(connection_, top) == wmClass) return true;
            for (xcb_window_t inner : children(connection_, top))
                if (viewable(inner) && className(connection_, inner) == wmClass) return true;
        }
        return false;
    }

private:
    bool viewable(xcb_window_t window) {
        auto* reply = xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window), nullptr);
        bool result = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
        free(reply);
        return result;
    }
    xcb_connection_t* connection_;
};

// Milliseconds from start until the condition holds (polled every millisecond), or -1.
inline double waitFor(std::chrono::steady_clock::time_point start, const std::function<bool()>& condition,
                      std::chrono::steady_clock::duration limit = std::chrono::seconds(30)) {
    using Clock = std::chrono::steady_clock;
    while (Clock::now() - start < limit) {
        if (condition()) return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

}  // namespace benchx11
