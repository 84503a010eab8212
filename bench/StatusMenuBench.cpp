// Right press on the tray icon to its menu mapped, for Tavlo and for CopyQ
// (Debian's copyq) under the same trayer, in one run. The press is sent with
// XTEST and the menu counts as shown at the first MapNotify of a new top-level
// window that this benchmark's own X connection sees. Three clipboards: a
// short text, a 20 MB PNG image, and (with --stalled-owner) an owner that
// never answers.
//
// Run it inside a private session, e.g.
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" build/rel/bench/status_menu_bench
//       --stalled-owner build/test/tests/platform/desktop/clipboard_test_owner
// (one line).
// Options: --presses N (50), --no-copyq, --stalled-owner PATH.
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using bench::median;
using bench::runToEnd;
using bench::spawn;

namespace {

// Stops a program that was started; nothing for one that was not.
void stop(pid_t pid) {
    if (pid > 0) bench::stop(pid);
}

class Display {
public:
    Display() : c_(xcb_connect(nullptr, nullptr)) {
        if (ok()) root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        if (ok()) xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
        if (ok()) xcb_flush(c_);
    }
    ~Display() { xcb_disconnect(c_); }
    bool ok() const { return !xcb_connection_has_error(c_); }

    // The centre of a small window of class wmClass (a tray icon), on the screen.
    std::optional<std::pair<int, int>> iconCentre(const std::string& wmClass) { return find(root_, wmClass); }

    void drain() {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) free(e);
    }
    void press(int x, int y, uint8_t button) {
        xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, int16_t(x), int16_t(y), 0);
        xcb_test_fake_input(c_, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(c_, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(c_);
    }
    void moveTo(int x, int y) {
        xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, int16_t(x), int16_t(y), 0);
        xcb_flush(c_);
    }
    // Waits for the next MapNotify (true) or UnmapNotify (false) of a top-level window.
    bool waitFor(bool mapped, std::chrono::milliseconds limit) {
        auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            xcb_generic_event_t* e = xcb_poll_for_event(c_);
            if (!e) {
                std::this_thread::sleep_for(200us);
                continue;
            }
            uint8_t type = e->response_type & 0x7f;
            free(e);
            if (mapped && type == XCB_MAP_NOTIFY) return true;
            if (!mapped && type == XCB_UNMAP_NOTIFY) return true;
        }
        return false;
    }

private:
    std::optional<std::pair<int, int>> find(xcb_window_t window, const std::string& wmClass) {
        auto tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, window), nullptr);
        if (!tree) return std::nullopt;
        xcb_window_t* children = xcb_query_tree_children(tree);
        int count = xcb_query_tree_children_length(tree);
        std::optional<std::pair<int, int>> found;
        for (int i = 0; i < count && !found; ++i) {
            xcb_window_t child = children[i];
            auto prop = xcb_get_property_reply(
                c_, xcb_get_property(c_, 0, child, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), nullptr);
            std::string klass;
            if (prop) {
                klass.assign(static_cast<const char*>(xcb_get_property_value(prop)),
                             xcb_get_property_value_length(prop));
                free(prop);
            }
            auto geometry = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, child), nullptr);
            if (geometry) {
                bool small = geometry->width > 1 && geometry->width <= 48 && geometry->height <= 48;
                if (small && klass.find(wmClass) != std::string::npos) {
                    auto at = xcb_translate_coordinates_reply(
                        c_, xcb_translate_coordinates(c_, child, root_, 0, 0), nullptr);
                    if (at && at->dst_x >= 0 && at->dst_y >= 0)
                        found = std::make_pair(at->dst_x + geometry->width / 2, at->dst_y + geometry->height / 2);
                    free(at);
                }
                free(geometry);
            }
            if (!found) found = find(child, wmClass);
        }
        free(tree);
        return found;
    }

    xcb_connection_t* c_;
    xcb_window_t root_ = 0;
};

// Right press to menu mapped, presses times; Escape-equivalent: a left press
// far from the menu closes it.
std::vector<double> measure(Display& display, std::pair<int, int> icon, int presses) {
    std::vector<double> out;
    for (int i = 0; i < presses; ++i) {
        display.moveTo(10, 700);
        std::this_thread::sleep_for(50ms);
        display.drain();
        auto start = Clock::now();
        display.press(icon.first, icon.second, 3);
        if (!display.waitFor(true, 10s)) {
            std::printf("  press %d: no menu within 10 s\n", i + 1);
            continue;
        }
        out.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        std::this_thread::sleep_for(30ms);
        display.press(10, 700, 1);  // closes the menu
        display.waitFor(false, 2s);
        std::this_thread::sleep_for(150ms);
    }
    return out;
}

std::optional<std::pair<int, int>> waitForIcon(Display& display, const std::string& wmClass) {
    for (int i = 0; i < 300; ++i) {
        if (auto at = display.iconCentre(wmClass)) {
            std::this_thread::sleep_for(1s);  // the tray settles
            return display.iconCentre(wmClass);
        }
        std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    int presses = 50;
    bool copyq = true;
    std::string stalledOwner;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--presses") && i + 1 < argc) presses = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-copyq")) copyq = false;
        else if (!std::strcmp(argv[i], "--stalled-owner") && i + 1 < argc) stalledOwner = argv[++i];
    }
    Display display;
    if (!display.ok()) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }
    pid_t trayer = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                          "--SetDockType", "true", "--expand", "false"},
                         {});
    std::this_thread::sleep_for(1s);

    fs::path image = fs::temp_directory_path() / "tavlo-status-menu-bench.png";
    if (!fs::exists(image) || fs::file_size(image) < 15'000'000)
        runToEnd({"convert", "-size", "2600x2600", "xc:", "+noise", "Random", "-depth", "8", "-define", "png:compression-level=0",
                  image.string()},
                 {});
    std::printf("image: %.1f MB\n", fs::file_size(image) / 1e6);

    struct Program {
        std::string name, wmClass;
        std::vector<std::string> argv;
    };
    std::vector<Program> programs = {{"tavlo", "Tavlo", {TAVLO_PROGRAM}}};
    if (copyq) programs.push_back({"copyq", "copyq", {"copyq"}});

    for (const Program& program : programs) {
        auto env = bench::makeHome("tavlo-status-menu-bench-" + program.name).env();
        pid_t pid = spawn(program.argv, env);
        auto icon = waitForIcon(display, program.wmClass);
        if (!icon) {
            std::printf("%s: no tray icon\n", program.name.c_str());
            stop(pid);
            continue;
        }
        struct Content {
            std::string name;
            std::vector<std::string> owner;
        };
        std::vector<Content> contents = {
            {"text", {"sh", "-c", "printf 'a short text' | xclip -selection clipboard"}},
            {"20 MB image", {"xclip", "-selection", "clipboard", "-t", "image/png", "-i", image.string()}},
        };
        if (!stalledOwner.empty())
            contents.push_back({"stalled owner", {stalledOwner, "--stall", "--target", "UTF8_STRING=x"}});
        for (const Content& content : contents) {
            pid_t owner = -1;
            if (content.name == "stalled owner") owner = spawn(content.owner, {});
            else runToEnd(content.owner, {});
            std::this_thread::sleep_for(2s);  // capture is done with it
            auto times = measure(display, *icon, presses);
            std::printf("%s, %s: median %.1f ms, max %.1f ms over %zu presses\n", program.name.c_str(),
                        content.name.c_str(), median(times), times.empty() ? -1.0 : *std::max_element(times.begin(), times.end()),
                        times.size());
            std::fflush(stdout);
            stop(owner);
        }
        if (program.name == "copyq") runToEnd({"copyq", "exit"}, env);
        stop(pid);
    }
    stop(trayer);
    return 0;
}
