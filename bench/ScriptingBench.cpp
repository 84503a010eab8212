// Scripting the running program, beside CopyQ (Debian's copyq):
//   client:     1,000 `tavlo-script save TEXT`, one process each, beside
//               1,000 `copyq add TEXT` against a running CopyQ;
//   connection: 1,000 Save calls over one bus connection: each reply's time,
//               the time until all 1,000 clippings are in the store, and the
//               program's resident memory before and after.
// The history limit is set to 100,000, so no save is trimmed away.
//
// Run it inside a private session, e.g.
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" build/rel/bench/scripting_bench
// Options: --calls N (1000), --no-copyq.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>

#include "BenchProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using bench::median;
using bench::ms;

bool introspects() {
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tavlo.Tavlo"), QStringLiteral("/com/tavlo/Tavlo"),
                                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect"));
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 1000).type() == QDBusMessage::ReplyMessage;
}

long clippings(const bench::Home& home) {
    std::string out = (home.root / "count").string();
    std::string command = "sqlite3 '" + (home.root / "data/Tavlo/datastore").string() +
                          "' 'SELECT count(*) FROM Clipping' > '" + out + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return -1;
    long n = -1;
    std::ifstream(out) >> n;
    return n;
}

void writeTavloSettings(const bench::Home& home) {
    std::filesystem::create_directories(home.root / "config/Tavlo");
    std::ofstream(home.root / "config/Tavlo/group.com.tavlo.Tavlo.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>TLUserDefaultsInitialized</key><true/>"
        << "<key>TLUserDefaultsClipboardSize</key><integer>100000</integer>"
        << "<key>TLUserDefaultsCaptureClipboard</key><true/>"
        << "<key>TLUserDefaultsHideWindowOnLaunchKey</key><true/>"
        << "</dict></plist>\n";
}

// Each call a process of its own, timed from spawn to exit.
std::vector<double> timeProcesses(int calls, const std::function<std::vector<std::string>(int)>& argv,
                                  const std::map<std::string, std::string>& env, int& failures) {
    std::vector<double> times;
    for (int i = 0; i < calls; ++i) {
        auto start = Clock::now();
        if (bench::runToEnd(argv(i), env) != 0) ++failures;
        times.push_back(ms(Clock::now() - start));
    }
    return times;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    int calls = 1000;
    bool copyq = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--calls") && i + 1 < argc) calls = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-copyq")) copyq = false;
    }
    const std::string program = TAVLO_PROGRAM, client = TAVLO_SCRIPT;

    bench::Home home = bench::makeHome("tavlo-scripting-bench");
    writeTavloSettings(home);
    pid_t tavlo = bench::spawn({program}, home.env());
    auto started = Clock::now();
    while (!introspects() && Clock::now() - started < 60s) std::this_thread::sleep_for(10ms);
    if (!introspects()) {
        std::fprintf(stderr, "Tavlo did not start\n");
        bench::stop(tavlo);
        return 1;
    }
    std::this_thread::sleep_for(1s);

    int clientFailures = 0;
    auto clientTimes = timeProcesses(
        calls, [&](int i) { return std::vector<std::string>{client, "save", "client " + std::to_string(i)}; },
        home.env(), clientFailures);
    std::printf("tavlo-script save: median %.2f ms, p95 %.2f ms, %d failed\n", median(clientTimes),
                percentile(clientTimes, 0.95), clientFailures);

    // Over one connection.
    long before = clippings(home);
    long rssBefore = bench::vmRssKiB(tavlo);
    std::vector<double> replies;
    int errors = 0;
    auto floodStart = Clock::now();
    for (int i = 0; i < calls; ++i) {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tavlo.Tavlo"), QStringLiteral("/com/tavlo/Tavlo"),
                                                           QStringLiteral("com.tavlo.Tavlo.Scripting"), QStringLiteral("Save"));
        call << QVariantMap{{QString(), QStringLiteral("connection %1").arg(i)}};
        auto start = Clock::now();
        if (QDBusConnection::sessionBus().call(call, QDBus::Block, 30000).type() != QDBusMessage::ReplyMessage) ++errors;
        replies.push_back(ms(Clock::now() - start));
    }
    double repliedAt = ms(Clock::now() - floodStart);
    while (clippings(home) < before + calls && Clock::now() - floodStart < 60s) std::this_thread::sleep_for(20ms);
    double savedAt = ms(Clock::now() - floodStart);
    long after = clippings(home);
    std::this_thread::sleep_for(1s);
    long rssAfter = bench::vmRssKiB(tavlo);
    std::printf("Save over one connection: median reply %.2f ms, p95 %.2f ms, max %.2f ms, %d errors; "
                "all replied in %.0f ms, %ld of %d saved in %.0f ms; VmRSS %.1f -> %.1f MB (+%.1f MB)\n",
                median(replies), percentile(replies, 0.95), *std::max_element(replies.begin(), replies.end()), errors,
                repliedAt, after - before, calls, savedAt, rssBefore / 1024.0, rssAfter / 1024.0,
                (rssAfter - rssBefore) / 1024.0);
    bench::stop(tavlo);
    std::filesystem::remove_all(home.root);

    if (copyq) {
        bench::Home copyqHome = bench::makeHome("tavlo-scripting-bench-copyq");
        auto env = copyqHome.env();
        pid_t server = bench::spawn({"copyq"}, env);
        for (int i = 0; i < 200 && bench::runToEnd({"copyq", "count"}, env) != 0; ++i) std::this_thread::sleep_for(50ms);
        bench::runToEnd({"copyq", "config", "maxitems", "10000"}, env);
        int copyqFailures = 0;
        auto copyqTimes = timeProcesses(
            calls, [](int i) { return std::vector<std::string>{"copyq", "add", "copyq " + std::to_string(i)}; }, env,
            copyqFailures);
        std::printf("copyq add: median %.2f ms, p95 %.2f ms, %d failed\n", median(copyqTimes),
                    percentile(copyqTimes, 0.95), copyqFailures);
        bench::runToEnd({"copyq", "exit"}, env);
        waitpid(server, nullptr, 0);
        std::filesystem::remove_all(copyqHome.root);
    }
    return 0;
}
