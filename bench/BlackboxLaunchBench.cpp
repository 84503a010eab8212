// The crash kit's cost to a launch, in whole launches of the probe's kit
// command (Beacon::with the shared Blackbox in a QCoreApplication, as the
// program starts it) against FakeKitService over loopback HTTPS:
// - kit start with no earlier report: a bundle with an API key, each launch
//   after a clean one in the same home, beside the same probe for a bundle
//   without a key (no kit starts): Beacon::with's wall time, the kit's own
//   "com.blackbox.kit-start-time", and spawn to the first main-queue turn;
// - the first main-queue turn after a launch that crashed before its own
//   (segv-null): the next launch symbolicates, packages and sends the report
//   during its start, to a service that answers and to one that never does
//   (the urgent upload's 2 s time-out); spawn to the first turn, Beacon::with's
//   wall time and the kit's "com.blackbox.first-run-loop-time".
//   blackbox_launch_bench
//   BLACKBOX_LAUNCH_BENCH_RUNS=N     launches per row (default 20)
// A plain timing program.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sdk/blackbox/BBXUserLogging.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/TestCertificates.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

void writeFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// The last value an internal key got in a report folder, in milliseconds.
std::optional<double> internalKey(const fs::path& report, const std::string& key) {
    std::optional<double> last;
    for (const auto& entry : BBXUserLoggingReadKVFile((report / "internal_incremental_kv.bbxrecord").c_str())) {
        const std::string* name = entry.get("key") ? entry.get("key")->asString() : nullptr;
        const std::string* value = entry.get("value") ? entry.get("value")->asString() : nullptr;
        if (name && value && blackboxtest::unhex(*name) == key) last = std::atof(blackboxtest::unhex(*value).c_str());
    }
    return last;
}

struct Home {
    fs::path root;
    fs::path bundle;
    std::map<std::string, std::string> env;
};

Home makeHome(const fs::path& root, bool key, const std::string& serviceURL, const fs::path& anchors) {
    fs::remove_all(root);
    Home home{root, root / "Fixture.app", {}};
    fs::create_directories(home.bundle);
    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.tavlo.Fixture</string>"
        "<key>CFBundleVersion</key><string>7</string><key>CFBundleShortVersionString</key><string>1.2</string>"
        "<key>CFBundleName</key><string>Fixture</string>";
    // As the shipped bundle: a "Beacon" dictionary, without a key there.
    plist += key ? "<key>Beacon</key><dict><key>APIKey</key><string>fixture-key</string></dict>"
                 : "<key>Beacon</key><dict/>";
    plist += "</dict></plist>\n";
    writeFile(home.bundle / "Info.plist", plist);
    home.env = {{"HOME", (root / "home").string()},
                {"XDG_DATA_HOME", (root / "data").string()},
                {"XDG_CONFIG_HOME", (root / "config").string()},
                {"XDG_CACHE_HOME", (root / "cache").string()},
                {"TAVLO_BUNDLE", home.bundle.string()},
                {"SSL_CERT_FILE", anchors.string()},
                {"BlackboxReportsEndpoint", serviceURL},
                {"SettingsEndpoint", serviceURL},
                {"ConfigureEndpoint", serviceURL},
                {"TAVLO_SYSTEM_LOG_FILE", (root / "system.log").string()}};
    return home;
}

// One launch: what it printed and when, from its spawn.
struct Launch {
    std::map<std::string, std::string> facts;
    double startSeconds = -1;      // Beacon::with, as the probe timed it
    double firstTurnSeconds = -1;  // spawn to the first main-queue turn
    std::optional<int> status;
};

Launch launch(const Home& home, const std::vector<std::string>& extra) {
    // The debug flag makes the kit trust the service's test root.
    std::vector<std::string> argv{BBX_CRASH_PROBE, "kit", "--debug"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Launch result;
    auto spawned = std::chrono::steady_clock::now();
    auto probe = testsupport::ChildProcess::start(argv, home.env);
    if (!probe) return result;
    while (auto line = probe->readLine(60s)) {
        auto equals = line->find('=');
        if (equals != std::string::npos) result.facts[line->substr(0, equals)] = line->substr(equals + 1);
    }
    result.status = probe->wait(60s);
    if (result.facts.count("start-seconds")) result.startSeconds = std::atof(result.facts["start-seconds"].c_str());
    if (result.facts.count("first-turn-at")) {
        auto turn = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(std::stoll(result.facts["first-turn-at"])));
        result.firstTurnSeconds = std::chrono::duration<double>(turn - spawned).count();
    }
    return result;
}

struct Figures {
    std::vector<double> values;
    void add(double value) {
        if (value >= 0) values.push_back(value);
    }
    double median() const { return at(0.5); }
    double at(double share) const {
        if (values.empty()) return -1;
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, static_cast<size_t>(share * static_cast<double>(sorted.size())))];
    }
};

void row(const char* name, const Figures& figures, double scale = 1000) {
    std::printf("  %-52s median %8.1f ms   p90 %8.1f ms   (%zu runs)\n", name, figures.median() * scale,
                figures.at(0.9) * scale, figures.values.size());
}

}  // namespace

int main() {
    int runs = 20;
    if (const char* text = std::getenv("BLACKBOX_LAUNCH_BENCH_RUNS")) runs = std::max(1, std::atoi(text));
    fs::path folder = fs::temp_directory_path() / ("tavlo-blackbox-launch-bench-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    // The launches' complaints (a bundle without a key) stay off the figures.
    if (!std::freopen("/dev/null", "w", stderr)) return 1;
    fs::path anchors = folder / "root.pem";
    writeFile(anchors, testsupport::TestCertificates::shared().rootA().certificatePEM);
    testsupport::FakeKitService answering, silent;
    if (!answering.start() || !silent.start()) {
        std::printf("the service did not start\n");
        return 1;
    }
    testsupport::Reply never;
    never.neverAnswer = true;
    silent.scriptReports({never});

    // Kit start, no earlier report: a home whose last launch ended cleanly
    // (its folder is removed on the work queue, offered to no one), beside
    // the same launches of a bundle without a key.
    std::printf("Kit start with no earlier report (%d launches each, alternating)\n", runs);
    Home keyed = makeHome(folder / "keyed", true, answering.baseURL(), anchors);
    Home unkeyed = makeHome(folder / "unkeyed", false, answering.baseURL(), anchors);
    const std::vector<std::string> clean{"--run-loop", "0.3", "--scenario", "exit"};
    launch(keyed, clean);
    launch(unkeyed, clean);
    Figures keyedStart, keyedKey, keyedTurn, unkeyedStart, unkeyedTurn;
    bool allStarted = true;
    for (int i = 0; i < runs; ++i) {
        Launch with = launch(keyed, clean);
        allStarted = allStarted && with.facts["kit-started"] == "1" && with.status == 0;
        keyedStart.add(with.startSeconds);
        keyedTurn.add(with.firstTurnSeconds);
        if (auto key = internalKey(with.facts["report"], "com.blackbox.kit-start-time")) keyedKey.add(*key / 1000);
        Launch without = launch(unkeyed, clean);
        allStarted = allStarted && without.facts["kit-started"] == "0" && without.status == 0;
        unkeyedStart.add(without.startSeconds);
        unkeyedTurn.add(without.firstTurnSeconds);
    }
    row("API key: Beacon::with (wall)", keyedStart);
    row("API key: com.blackbox.kit-start-time", keyedKey);
    row("API key: spawn to first main-queue turn", keyedTurn);
    row("no API key: Beacon::with (wall)", unkeyedStart);
    row("no API key: spawn to first main-queue turn", unkeyedTurn);
    std::printf("  added by the kit: Beacon::with %.1f ms, first turn %.1f ms (medians)%s\n",
                (keyedStart.median() - unkeyedStart.median()) * 1000, (keyedTurn.median() - unkeyedTurn.median()) * 1000,
                allStarted ? "" : "   [a launch did not start or end as expected]");

    // The first turn after an early crash: each chain in a new home, a crash
    // before the first turn, then the launch that sends it during its start.
    std::printf("First main-queue turn after a crash before the first turn (%d chains each)\n", runs);
    for (bool answers : {true, false}) {
        testsupport::FakeKitService& service = answers ? answering : silent;
        Figures turn, start, key;
        int sent = 0, ended = 0;
        size_t before = service.requests(testsupport::FakeKitService::Route::Reports).size();
        for (int i = 0; i < runs; ++i) {
            Home home = makeHome(folder / ("chain-" + std::to_string(i)), true, service.baseURL(), anchors);
            Launch crashed = launch(home, {"--scenario", "segv-null"});
            if (crashed.status == 128 + 11) ++ended;
            Launch next = launch(home, clean);
            turn.add(next.firstTurnSeconds);
            start.add(next.startSeconds);
            if (auto value = internalKey(next.facts["report"], "com.blackbox.first-run-loop-time")) key.add(*value / 1000);
            fs::remove_all(home.root);
        }
        sent = static_cast<int>(service.requests(testsupport::FakeKitService::Route::Reports).size() - before);
        std::printf(" service %s (%d of %d crashes ended by SIGSEGV, %d uploads tried)\n",
                    answers ? "answering" : "silent", ended, runs, sent);
        row("spawn to first main-queue turn", turn);
        row("Beacon::with (wall; symbolicate, package, send)", start);
        row("com.blackbox.first-run-loop-time", key);
    }
    answering.stop();
    silent.stop();
    fs::remove_all(folder);
    return 0;
}
