// The window with its history shown from outside, at 10,000 texts of 1 KB each,
// beside CopyQ 6.4 (Debian's copyq), which keeps at most 10,000 items:
//   Tavlo:  running with its window hidden (the panel made at launch), a second
//           launch of the program (it asks the running one to reopen) from exec
//           to the window mapped; the first show after a start, then a show
//           after an Escape hid the window again;
//   CopyQ:  running and hidden, `copyq show` from exec to its window mapped.
// It starts openbox for the run: without a window manager CopyQ's hide leaves
// its window mapped.
//
// Run it inside a private session, e.g.
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" build/rel/bench/panel_show_bench
// Options: --runs N (10), --no-copyq.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <sys/prctl.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "BenchProcess.h"
#include "BenchTexts.h"
#include "BenchX11.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using bench::Home;
using bench::median;
using bench::runToEnd;
using bench::spawn;
using bench::stop;
using benchx11::waitFor;
using benchx11::WindowWatcher;

constexpr int kTexts = 10000;
const QString kService = QStringLiteral("com.tavlo.Tavlo");

bool introspects() {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/com/tavlo/Tavlo"),
                                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect"));
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 1000).type() == QDBusMessage::ReplyMessage;
}

bool registered() { return QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value(); }

// A home whose store holds 10,000 texts of 1 KB (CopyQ's items), every one shown
// (history limit 10,000), with the hidden launch.
Home tavloHome() {
    Home home = bench::makeHome("tavlo-panel-show-bench");
    fs::create_directories(home.root / "config/Tavlo");
    std::ofstream(home.root / "config/Tavlo/group.com.tavlo.Tavlo.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>TLUserDefaultsInitialized</key><true/>"
        << "<key>TLUserDefaultsHideWindowOnLaunchKey</key><true/>"
        << "<key>TLUserDefaultsClipboardSize</key><integer>" << kTexts << "</integer>"
        << "</dict></plist>\n";
    bench::writeKilobyteTexts(home.root / "data/Tavlo", kTexts);
    return home;
}

std::string figures(const std::vector<double>& values) {
    if (values.empty()) return "no run";
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    char text[96];
    std::snprintf(text, sizeof text, "median %.1f ms (min %.1f, max %.1f, %zu runs)", median(values), sorted.front(),
                  sorted.back(), values.size());
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 10;
    bool copyq = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-copyq")) copyq = false;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication application(argc, argv);
    if (!QDBusConnection::sessionBus().isConnected() || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "Run inside dbus-run-session and an X server (see the comment at the top).\n");
        return 2;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    Home home = tavloHome();
    auto env = home.env();
    env["TAVLO_BUNDLE"] = "";
    WindowWatcher windows;
    pid_t windowManager = spawn({"openbox", "--sm-disable"}, env);
    std::this_thread::sleep_for(500ms);

    std::vector<double> firstShow, againShow, copyqShow;
    for (int run = 0; run < runs; ++run) {
        pid_t tavlo = spawn({TAVLO_PROGRAM}, env);
        waitFor(Clock::now(), introspects, 60s);
        std::this_thread::sleep_for(500ms);
        auto showOnce = [&] {
            auto start = Clock::now();
            pid_t second = spawn({TAVLO_PROGRAM}, env);
            double shown = waitFor(start, [&] { return windows.mapped("tavlo"); });
            waitpid(second, nullptr, 0);
            return shown;
        };
        double first = showOnce();
        double again = -1;
        if (first >= 0) {
            // Escape closes the focused window, as a user hides it.
            std::this_thread::sleep_for(300ms);
            runToEnd({"xdotool", "key", "Escape"}, env);
            if (waitFor(Clock::now(), [&] { return !windows.mapped("tavlo"); }, 5s) >= 0) {
                std::this_thread::sleep_for(300ms);
                again = showOnce();
            }
        }
        stop(tavlo);
        while (registered()) std::this_thread::sleep_for(5ms);
        std::printf("run %d: second launch to the window mapped: first show %.1f ms, after a hide %.1f ms\n",
                    run + 1, first, again);
        if (first >= 0) firstShow.push_back(first);
        if (again >= 0) againShow.push_back(again);
    }

    if (copyq) {
        Home copyqHome = bench::prepareCopyQ("tavlo-panel-show-bench-copyq");
        copyqShow = benchx11::timeCopyQShows(windows, copyqHome, runs);
        fs::remove_all(copyqHome.root);
    }
    if (windowManager > 0) stop(windowManager);
    fs::remove_all(home.root);

    std::printf("\nat %d texts, to the window mapped:\n", kTexts);
    std::printf("  Tavlo, second launch, first show after start: %s\n", figures(firstShow).c_str());
    std::printf("  Tavlo, second launch, after a hide:           %s\n", figures(againShow).c_str());
    if (copyq) std::printf("  copyq show:                                   %s\n", figures(copyqShow).c_str());
    return 0;
}
