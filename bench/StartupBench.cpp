// Start-up of the whole program at the size of a long history, beside CopyQ
// (Debian's copyq) holding 10,000 items of 1 KB:
//   Tavlo: exec to its icon embedded in the tray (trayer) and to the first
//          Introspect reply on its bus object, over the 100,000-clipping store
//          that store_bench generates, with the history limit at 100,000 (a
//          lower limit would make start-up trim the store);
//   CopyQ: exec to the first answer of `copyq count`.
// Then each program's VmRSS 60 s after start, its window closed.
//
// Run it inside a private session, e.g.
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" build-rel/bench/startup_bench
// Options: --runs N (10), --rss-seconds S (60), --no-copyq.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include "BenchProcess.h"
#include "BenchX11.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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
using bench::vmRssKiB;

Home makeHome(const std::string& name) { return bench::makeHome("tavlo-startup-bench-" + name); }

// Whether a window of the given WM_CLASS sits inside the tray's panel.
class TrayWatcher {
public:
    TrayWatcher() : connection_(xcb_connect(nullptr, nullptr)) {}
    ~TrayWatcher() { xcb_disconnect(connection_); }
    bool ok() const { return !xcb_connection_has_error(connection_); }

    bool holds(const std::string& wmClass) {
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        for (xcb_window_t top : children(root)) {
            if (className(top) != "trayer") continue;
            if (contains(top, wmClass)) return true;
        }
        return false;
    }

private:
    std::vector<xcb_window_t> children(xcb_window_t window) { return benchx11::children(connection_, window); }
    std::string className(xcb_window_t window) { return benchx11::className(connection_, window); }
    bool contains(xcb_window_t window, const std::string& wmClass) {
        for (xcb_window_t child : children(window)) {
            if (className(child) == wmClass || contains(child, wmClass)) return true;
        }
        return false;
    }
    xcb_connection_t* connection_;
};

bool introspects() {
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tavlo.Tavlo"), QStringLiteral("/com/tavlo/Tavlo"),
                                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect"));
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 1000).type() == QDBusMessage::ReplyMessage;
}

void writeTavloSettings(const Home& home) {
    fs::create_directories(home.root / "config/Tavlo");
    std::ofstream(home.root / "config/Tavlo/group.com.tavlo.Tavlo.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>TLUserDefaultsInitialized</key><true/>"
        << "<key>TLUserDefaultsClipboardSize</key><integer>100000</integer>"
        << "<key>TLUserDefaultsCaptureClipboard</key><true/>"
        << "<key>TLUserDefaultsShowsMenuBarIcon</key><true/>"
        << "<key>TLUserDefaultsHideWindowOnLaunchKey</key><true/>"
        << "<key>TLUserDefaultsWindowIsDetached</key><true/>"
        << "</dict></plist>\n";
}

struct Sample {
    double icon = -1;
    double ready = -1;
    long rss = -1;
};

Sample runTavlo(const std::string& program, const fs::path& store, int rssSeconds, TrayWatcher& tray) {
    Home home = makeHome("tavlo");
    fs::create_directories(home.root / "data/Tavlo");
    fs::copy_file(store, home.root / "data/Tavlo/datastore");
    writeTavloSettings(home);
    Sample sample;
    auto start = Clock::now();
    pid_t pid = spawn({program}, home.env());
    if (pid < 0) return sample;
    while ((sample.icon < 0 || sample.ready < 0) && Clock::now() - start < 60s) {
        if (sample.icon < 0 && tray.holds("tavlo")) sample.icon = ms(Clock::now() - start);
        if (sample.ready < 0 && introspects()) sample.ready = ms(Clock::now() - start);
        std::this_thread::sleep_for(1ms);
    }
    if (rssSeconds > 0) {
        std::this_thread::sleep_until(start + std::chrono::seconds(rssSeconds));
        sample.rss = vmRssKiB(pid);
    }
    stop(pid);
    fs::remove_all(home.root);
    return sample;
}

Sample runCopyQ(const Home& home, int rssSeconds) {
    auto env = home.env();
    Sample sample;
    auto start = Clock::now();
    pid_t pid = spawn({"copyq"}, env);
    if (pid < 0) return sample;
    while (sample.ready < 0 && Clock::now() - start < 60s) {
        if (runToEnd({"copyq", "count"}, env) == 0) sample.ready = ms(Clock::now() - start);
        else std::this_thread::sleep_for(1ms);
    }
    if (rssSeconds > 0) {
        std::this_thread::sleep_until(start + std::chrono::seconds(rssSeconds));
        sample.rss = vmRssKiB(pid);
    }
    runToEnd({"copyq", "exit"}, env);
    waitpid(pid, nullptr, 0);
    return sample;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 10;
    int rssSeconds = 60;
    bool copyq = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--rss-seconds") && i + 1 < argc) rssSeconds = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-copyq")) copyq = false;
    }
    QCoreApplication application(argc, argv);
    const char* benchFolder = std::getenv("TAVLO_BENCH_STORE");
    fs::path store = fs::path(benchFolder ? benchFolder : "/tmp/tavlo-store-bench") / "datastore";
    if (!fs::exists(store)) {
        std::fprintf(stderr, "No store at %s: run store_bench once first to generate it.\n", store.c_str());
        return 2;
    }
    if (!QDBusConnection::sessionBus().isConnected() || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "Run inside dbus-run-session and an X server (see the comment at the top).\n");
        return 2;
    }
    TrayWatcher tray;
    pid_t trayer = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28"}, {});
    std::this_thread::sleep_for(500ms);

    std::vector<double> icons, readies, copyqReadies;
    for (int run = 0; run < runs; ++run) {
        Sample s = runTavlo(TAVLO_PROGRAM, store, 0, tray);
        std::printf("tavlo run %d: icon %.0f ms, introspect %.0f ms\n", run + 1, s.icon, s.ready);
        icons.push_back(s.icon);
        readies.push_back(s.ready);
    }
    Sample tavloRss = runTavlo(TAVLO_PROGRAM, store, rssSeconds, tray);
    std::printf("tavlo VmRSS after %d s: %.1f MB\n", rssSeconds, tavloRss.rss / 1024.0);

    if (copyq) {
        Home home = bench::prepareCopyQ("copyq");
        for (int run = 0; run < runs; ++run) {
            Sample s = runCopyQ(home, 0);
            std::printf("copyq run %d: count answered %.0f ms\n", run + 1, s.ready);
            copyqReadies.push_back(s.ready);
        }
        Sample copyqRss = runCopyQ(home, rssSeconds);
        std::printf("copyq VmRSS after %d s: %.1f MB\n", rssSeconds, copyqRss.rss / 1024.0);
        fs::remove_all(home.root);
    }
    std::printf("medians: tavlo icon %.0f ms, tavlo introspect %.0f ms", median(icons), median(readies));
    if (copyq) std::printf(", copyq count %.0f ms", median(copyqReadies));
    std::printf("\n");
    stop(trayer);
    return 0;
}
