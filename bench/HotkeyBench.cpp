// The Show Tavlo hotkey (Super+Shift+C): from the key press, sent with XTEST on
// this benchmark's own X connection, to the main window mapped (the first
// MapNotify of a top-level window that connection sees), for Tavlo and for
// CopyQ (Debian's copyq) with its show command on the same keys, in one run.
// The window is closed between presses as a window manager's close button
// does (WM_DELETE_WINDOW); run it without one, so the window mapped is the
// program's own. Then, in this process, the cost of re-binding every hotkey
// (AppDelegate::registerHotkeys: 8 breaks and 28 binds of 4 grabs each).
//
// Run it inside a private session, e.g.
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" build/rel/bench/hotkey_bench
// Options: --presses N (200), --rebinds N (200), --no-copyq.
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "app/AppDelegate.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kSuperL = 0xffeb, kShiftL = 0xffe1, kC = 0x63;

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
    // The next top-level window mapped, or none within the limit.
    xcb_window_t waitForMap(std::chrono::milliseconds limit) {
        auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            xcb_generic_event_t* e = xcb_poll_for_event(c_);
            if (!e) {
                std::this_thread::sleep_for(100us);
                continue;
            }
            xcb_window_t mapped = (e->response_type & 0x7f) == XCB_MAP_NOTIFY
                                      ? reinterpret_cast<xcb_map_notify_event_t*>(e)->window
                                      : XCB_NONE;
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

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[index];
}

std::vector<double> measurePresses(XDisplay& display, int presses) {
    std::vector<double> out;
    display.closeShownWindows();
    std::this_thread::sleep_for(500ms);
    for (int i = 0; i < presses; ++i) {
        display.drain();
        auto start = Clock::now();
        display.chord({kSuperL, kShiftL}, kC);
        xcb_window_t window = display.waitForMap(5s);
        if (window == XCB_NONE) {
            std::printf("  press %d: no window within 5 s\n", i + 1);
            continue;
        }
        out.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        std::this_thread::sleep_for(50ms);
        display.close(window);
        std::this_thread::sleep_for(150ms);
    }
    return out;
}

void report(const char* what, const std::vector<double>& times) {
    std::printf("%s: median %.2f ms, p99 %.2f ms, max %.2f ms over %zu\n", what, percentile(times, 0.5),
                percentile(times, 0.99), percentile(times, 1.0), times.size());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int presses = 200, rebinds = 200;
    bool copyq = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--presses") && i + 1 < argc) presses = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--rebinds") && i + 1 < argc) rebinds = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-copyq")) copyq = false;
    }
    XDisplay display;
    if (!display.ok()) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }

    {
        auto env = bench::makeHome("tavlo-hotkey-bench-tavlo").env();
        pid_t pid = bench::spawn({TAVLO_PROGRAM}, env);
        std::this_thread::sleep_for(4s);  // launched, hotkeys bound, the first window gone
        report("tavlo, press to window mapped", measurePresses(display, presses));
        bench::stop(pid);
    }
    if (copyq) {
        auto env = bench::makeHome("tavlo-hotkey-bench-copyq").env();
        pid_t pid = bench::spawn({"copyq"}, env);
        std::this_thread::sleep_for(3s);
        bench::runToEnd({"copyq", "eval",
                         "setCommands([{name: \"show\", cmd: \"copyq: toggle()\", isGlobalShortcut: true, "
                         "globalShortcuts: [\"meta+shift+c\"]}])"},
                        env);
        bench::runToEnd({"copyq", "hide"}, env);
        std::this_thread::sleep_for(2s);
        report("copyq, press to window mapped", measurePresses(display, presses));
        bench::runToEnd({"copyq", "exit"}, env);
        bench::stop(pid);
    }

    // Re-binding in this process, on its own X connection (Qt's).
    auto home = bench::makeHome("tavlo-hotkey-bench-rebind");
    for (const auto& [name, value] : home.env()) ::setenv(name.c_str(), value.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication application(argc, argv);
    AppDelegate delegate;
    delegate.registerDefaultHotkeys();
    delegate.registerHotkeys();
    std::vector<double> times;
    for (int i = 0; i < rebinds; ++i) {
        auto start = Clock::now();
        delegate.registerHotkeys();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    report("registerHotkeys (8 breaks, 28 binds)", times);
    return 0;
}
