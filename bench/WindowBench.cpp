// The browser window on whatever Qt platform the environment names (run it
// offscreen and under Xvfb with a window manager; scripts/bench does both):
//
// - show: from TLHotkeyShowApplication posted to the window's first paint,
//   beside a plain QWidget of the same size shown with show(), raise() and
//   activateWindow(); median and maximum of 50 shows each.
// - tick: 1,000 ticks while attached and idle, each the tick's post and its
//   placement 0.01 s later, on the virtual clock; the time a tick takes on the
//   main thread and the geometry changes (there must be none).
// - fade: the opacity values the 0.15 s fade hands the window, with their
//   times, on the real clock.
//
// Settings live in a temporary folder for the run.
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/StatusItem.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "views/TLTavloWindowController.h"

namespace {

constexpr int kShows = 50;
constexpr int kTicks = 1000;

// A tray icon at a fixed place.
class FixedStatusItem : public desktop::StatusItem {
public:
    double length() const override { return 26; }
    void setImage(const std::string&) override {}
    void setAppearsDisabled(bool) override {}
    bool appearsDisabled() const override { return false; }
    void setAction(Action) override {}
    void setMenu(std::shared_ptr<desktop::Menu>) override {}
    desktop::Rect geometry() const override { return {700, 0, 24, 24}; }
    bool isVisibleInTray() const override { return true; }
    void remove() override {}
};

// Watches one window for its first paint and for geometry it is given.
class Watch : public QObject {
public:
    explicit Watch(QWidget* window) { window->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted = true;
        if (event->type() == QEvent::Move || event->type() == QEvent::Resize) ++geometryChanges;
        return false;
    }
    bool painted = false;
    int geometryChanges = 0;
};

bool waitFor(const std::function<bool()>& done, int limitMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void settle() {
    waitFor([] { return false; }, 30);
}

struct Figures {
    double median = 0;
    double maximum = 0;
};

Figures summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty()) return {};
    return {values[values.size() / 2], values.back()};
}

// Milliseconds from the show to the first paint, one value per show.
std::vector<double> timeShows(QWidget* window, const std::function<void()>& show, const std::function<void()>& hide) {
    std::vector<double> times;
    Watch watch(window);
    for (int i = 0; i < kShows; ++i) {
        watch.painted = false;
        QElapsedTimer timer;
        timer.start();
        show();
        if (!waitFor([&] { return watch.painted; })) {
            std::fprintf(stderr, "no paint after show %d\n", i);
            break;
        }
        times.push_back(timer.nsecsElapsed() / 1e6);
        hide();
        settle();
    }
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    char folder[] = "/tmp/tavlo-window-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    ::setenv("XDG_CONFIG_HOME", folder, 1);
    ::setenv("XDG_DATA_HOME", folder, 1);
    ::setenv("XDG_CACHE_HOME", folder, 1);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    std::printf("platform: %s\n", qPrintable(QGuiApplication::platformName()));

    auto suite = foundation::UserDefaults::applicationGroup();
    suite->setBool(true, TLUserDefaultsShowsMenuBarIcon);
    suite->setBool(true, TLUserDefaultsWindowIsDetached);
    suite->setObject(foundation::PlistValue(std::string("{{100, 100}, {360, 600}}")), TLUserDefaultsWindowFrame);
    auto item = std::make_shared<FixedStatusItem>();
    {
        TLTavloWindowController controller;
        controller.setStatusItem(item);
        // Warm: the first show makes the native window.
        controller.showApplicationWindow();
        waitFor([&] { return controller.window()->isVisible(); });
        settle();
        controller.close();
        settle();
        auto tavlo = timeShows(
            controller.window(), [] { foundation::NotificationCenter::defaultCenter().post(TLHotkeyShowApplication); },
            [&] { controller.close(); });

        QWidget plain;
        plain.setGeometry(100, 100, 360, 600);
        plain.show();
        settle();
        plain.hide();
        settle();
        auto peer = timeShows(
            &plain,
            [&] {
                plain.show();
                plain.raise();
                plain.activateWindow();
            },
            [&] { plain.hide(); });
        Figures t = summarise(tavlo), p = summarise(peer);
        std::printf("show to first paint (ms, %d shows): Tavlo median %.2f max %.2f; plain QWidget median %.2f max "
                    "%.2f; ratio %.2f\n",
                    kShows, t.median, t.maximum, p.median, p.maximum, p.median > 0 ? t.median / p.median : 0.0);

        // The loop below with nobody observing the tick: the bench's own cost.
        dispatch::Clock::useVirtualTime(1000);
        QElapsedTimer bare;
        bare.start();
        for (int i = 0; i < kTicks; ++i) {
            foundation::NotificationCenter::defaultCenter().post("WindowBenchUnobserved");
            dispatch::Clock::advance(0.011);
        }
        double harness = bare.nsecsElapsed() / 1e3 / kTicks;
        dispatch::Clock::useRealTime();

        // Ticks while attached and idle, on the virtual clock.
        suite->setBool(false, TLUserDefaultsWindowIsDetached);
        controller.showApplicationWindow();
        settle();
        Watch watch(controller.window());
        dispatch::Clock::useVirtualTime(1000);
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kTicks; ++i) {
            foundation::NotificationCenter::defaultCenter().post(TLTimerTickNotification);
            dispatch::Clock::advance(0.011);
        }
        double perTick = timer.nsecsElapsed() / 1e3 / kTicks;
        dispatch::Clock::useRealTime();
        std::printf("%d idle attached ticks: %.2f us a tick on the main thread (the loop alone %.2f us), %d geometry "
                    "changes\n",
                    kTicks, perTick, harness, watch.geometryChanges);

        // The fade's frames on the real clock.
        controller.showApplicationWindow();
        settle();
        std::vector<std::pair<double, double>> frames;
        QElapsedTimer fade;
        fade.start();
        controller.closeWindow();
        double last = -1;
        waitFor(
            [&] {
                double opacity = controller.window()->isVisible() ? controller.window()->windowOpacity() : 0.0;
                if (opacity != last) {
                    frames.emplace_back(fade.nsecsElapsed() / 1e6, opacity);
                    last = opacity;
                }
                return !controller.window()->isVisible();
            },
            2000);
        std::printf("fade over %.0f ms: %zu frames:", TLTavloWindowController::kFadeSeconds * 1000, frames.size());
        for (auto [ms, opacity] : frames) std::printf(" %.0fms=%.2f", ms, opacity);
        std::printf("\n");
    }
    std::filesystem::remove_all(folder);
    return 0;
}
