#pragma once
// Window-tree questions the benchmarks ask of the X server on a connection of
// their own: a window's children, the class part of its WM_CLASS, whether a
// program's window is mapped, and CopyQ's `copyq show` timed to its window.

#include <sys/wait.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"

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

// In a home of its own, a running CopyQ hidden, then `copyq show` from exec to
// its window mapped, runs times (each printed as it ends); the server ends
// after. Needs a window manager: without one CopyQ's hide leaves its window
// mapped.
inline std::vector<double> timeCopyQShows(WindowWatcher& windows, const bench::Home& home, int runs) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    auto env = home.env();
    std::vector<double> shows;
    pid_t server = bench::spawn({"copyq"}, env);
    for (int i = 0; i < 200 && bench::runToEnd({"copyq", "count"}, env) != 0; ++i) std::this_thread::sleep_for(50ms);
    for (int run = 0; run < runs; ++run) {
        // A hide that reaches CopyQ while it is still handling the previous
        // show is sometimes dropped: ask again rather than wait for nothing.
        bool hidden = false;
        for (int attempt = 0; attempt < 5 && !hidden; ++attempt) {
            bench::runToEnd({"copyq", "hide"}, env);
            hidden = waitFor(Clock::now(), [&] { return !windows.mapped("copyq"); }, 2s) >= 0;
        }
        if (!hidden) {
            std::printf("run %d: CopyQ's window did not hide; run skipped\n", run + 1);
            continue;
        }
        std::this_thread::sleep_for(300ms);
        auto start = Clock::now();
        pid_t show = bench::spawn({"copyq", "show"}, env);
        double shown = waitFor(start, [&] { return windows.mapped("copyq"); });
        waitpid(show, nullptr, 0);
        if (shown < 0) {
            std::printf("run %d: CopyQ's window did not show within 30 s\n", run + 1);
            continue;
        }
        std::printf("run %d: copyq show to its window mapped %.1f ms\n", run + 1, shown);
        shows.push_back(shown);
    }
    bench::runToEnd({"copyq", "exit"}, env);
    waitpid(server, nullptr, 0);
    return shows;
}

}  // namespace benchx11
