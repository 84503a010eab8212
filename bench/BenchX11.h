#pragma once
// Window-tree questions the benchmarks ask of the X server on a connection of
// their own: a window's children and the class part of its WM_CLASS.

#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
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

}  // namespace benchx11
