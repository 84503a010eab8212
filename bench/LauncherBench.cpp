// Start at login, timed: what TavloLauncher costs on top of Tavlo's own start,
// and how fast it brings a running Tavlo forward, beside CopyQ 6.4 (Debian's
// copyq) showing its running window.
//   cold:    launcher exec to Tavlo's first Introspect reply, beside exec of
//            Tavlo itself to the same reply, alternating (and which goes first
//            in turns), in one home with an empty store and a hidden launch;
//   launcher: the launcher's own run, exec to exit (from the cold runs);
//   forward: with Tavlo running (window never mapped), launcher exec to
//            Tavlo's window mapped; with CopyQ running and hidden, `copyq show`
//            exec to its window mapped.
// It starts openbox for the run: without a window manager CopyQ's hide leaves
// its window mapped, so its show would be timed on a window already shown.
//
// Run it inside a private session, e.g.
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" build/rel/bench/launcher_bench
// Options: --runs N (20), --no-copyq.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "BenchProcess.h"
#include "BenchX11.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using bench::Home;
using bench::median;
using bench::ms;
using bench::runToEnd;
using bench::spawn;
using bench::stop;
using benchx11::waitFor;
using benchx11::WindowWatcher;

const QString kService = QStringLiteral("com.tavlo.Tavlo");

bool introspects() {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/com/tavlo/Tavlo"),
                                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect"));
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 1000).type() == QDBusMessage::ReplyMessage;
}

// Ends the Tavlo that owns the bus name. A detached Tavlo is this process's
// child too (it is the subreaper), so it is reaped here.
void stopTavlo() {
    auto reply = QDBusConnection::sessionBus().interface()->servicePid(kService);
    if (!reply.isValid()) return;
    stop(static_cast<pid_t>(reply.value()));
    while (QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value())
        std::this_thread::sleep_for(5ms);
}

Home tavloHome() {
    Home home = bench::makeHome("tavlo-launcher-bench");
    fs::create_directories(home.root / "config/Tavlo");
    std::ofstream(home.root / "config/Tavlo/group.com.tavlo.Tavlo.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>TLUserDefaultsInitialized</key><true/>"
        << "<key>TLUserDefaultsHideWindowOnLaunchKey</key><true/>"
        << "</dict></plist>\n";
    return home;
}

std::string figures(const std::vector<double>& values) {
    if (values.empty()) return "no run";
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    char text[96];
    std::snprintf(text, sizeof text, "median %.1f ms (min %.1f, max %.1f)", median(values), sorted.front(),
                  sorted.back());
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 20;
    bool copyq = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-copyq")) copyq = false;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each run's line shows as it ends, also into a file
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

    std::vector<double> viaLauncher, direct, launcherRun, forward, copyqShow;
    // Each run starts both ways, in turns first, so neither inherits the
    // other's aftermath (a Tavlo just quitting, caches just warmed) every time.
    auto startViaLauncher = [&](double& exited) {
        auto start = Clock::now();
        pid_t launcher = spawn({TAVLO_LAUNCHER}, env);
        int status = 0;
        waitpid(launcher, &status, 0);
        exited = ms(Clock::now() - start);
        double ready = waitFor(start, introspects);
        stopTavlo();
        return ready;
    };
    auto startDirectly = [&] {
        auto start = Clock::now();
        pid_t tavlo = spawn({TAVLO_PROGRAM}, env);
        double ready = waitFor(start, introspects);
        stop(tavlo);
        while (QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value())
            std::this_thread::sleep_for(5ms);
        return ready;
    };
    for (int run = 0; run < runs; ++run) {
        double exited = 0, ready = 0, readyDirect = 0;
        if (run % 2 == 0) {
            ready = startViaLauncher(exited);
            readyDirect = startDirectly();
        } else {
            readyDirect = startDirectly();
            ready = startViaLauncher(exited);
        }
        std::printf("run %d: launcher exit %.1f ms, introspect via launcher %.1f ms, direct %.1f ms\n", run + 1,
                    exited, ready, readyDirect);
        launcherRun.push_back(exited);
        viaLauncher.push_back(ready);
        direct.push_back(readyDirect);
    }

    for (int run = 0; run < runs; ++run) {
        pid_t tavlo = spawn({TAVLO_PROGRAM}, env);
        waitFor(Clock::now(), introspects);
        std::this_thread::sleep_for(300ms);
        auto start = Clock::now();
        pid_t launcher = spawn({TAVLO_LAUNCHER}, env);
        double shown = waitFor(start, [&] { return windows.mapped("tavlo"); });
        waitpid(launcher, nullptr, 0);
        stop(tavlo);
        while (QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value())
            std::this_thread::sleep_for(5ms);
        std::printf("run %d: launcher to the running window mapped %.1f ms\n", run + 1, shown);
        forward.push_back(shown);
    }

    if (copyq) {
        Home copyqHome = bench::makeHome("tavlo-launcher-bench-copyq");
        copyqShow = benchx11::timeCopyQShows(windows, copyqHome, runs);
        fs::remove_all(copyqHome.root);
    }
    if (windowManager > 0) stop(windowManager);
    fs::remove_all(home.root);

    std::printf("\nexec to first Introspect reply: via launcher %s; Tavlo directly %s\n", figures(viaLauncher).c_str(),
                figures(direct).c_str());
    // Paired within a run, the difference shakes off most of a busy machine's drift.
    std::vector<double> added;
    for (size_t i = 0; i < viaLauncher.size(); ++i) added.push_back(viaLauncher[i] - direct[i]);
    std::printf("added by the launcher, per run: %s\n", figures(added).c_str());
    std::printf("launcher exec to exit: %s\n", figures(launcherRun).c_str());
    std::printf("running window brought forward: launcher %s", figures(forward).c_str());
    if (copyq) std::printf("; copyq show %s", figures(copyqShow).c_str());
    std::printf("\n");
    return 0;
}
