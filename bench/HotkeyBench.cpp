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
#include "BenchXTest.h"
#include "app/AppDelegate.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using benchx11::XDisplay;
using benchx11::kC;
using benchx11::kShiftL;
using benchx11::kSuperL;

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
