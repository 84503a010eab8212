// The kit started as the program starts it, in whole processes that share
// their XDG folders: a crash in one launch reaches the kit service at the
// next. The service is FakeKitService over HTTPS on loopback, its root of
// trust given to the children through SSL_CERT_FILE.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/foundation/PropertyList.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using foundation::PlistValue;
using Dictionary = PlistValue::Dictionary;
using testsupport::ChildProcess;
using testsupport::FakeKitService;
using testsupport::Reply;

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// One user's folders and fixture bundle. Chains of launches run side by side,
// each in its own home with its own bundle identifier, against one service.
struct Home {
    fs::path root;
    fs::path bundle;
    std::string identifier;
    fs::path cache() const { return root / "cache"; }
    fs::path tree() const { return cache() / "com.blackbox.data" / identifier / "v3"; }
    fs::path systemLog() const { return root / "system.log"; }
    std::string reportsPath() const { return "/sdk-api/v1/platforms/mac/apps/" + identifier + "/reports"; }
};

// What one launch of the probe said, and how it ended.
struct Launch {
    std::map<std::string, std::string> facts;  // its name=value lines
    std::optional<int> status;
    size_t reportRequestsAtStart = 0;  // requests to the reports route when start returned
    std::string stacks;                // its threads' stacks, when it had to be ended
};

std::vector<fs::path> in(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) entries.push_back(entry.path());
    return entries;
}

std::string filesIn(const fs::path& folder, const std::function<bool(const std::string&)>& keep) {
    std::string all;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error))
        if (entry.is_regular_file() && keep(entry.path().filename().string())) all += contents(entry.path());
    return all;
}

std::string hex(const std::string& text) {
    std::string digits;
    for (unsigned char c : text) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", c);
        digits += pair;
    }
    return digits;
}

// The probe's functions as `nm -C` prints them, read once for the suite.
const std::string& probeSymbols() {
    static const std::string symbols =
        testsupport::runCommand({"nm", "--defined-only", "-C", BBX_CRASH_PROBE}, 30s).output;
    return symbols;
}

class BlackboxKitProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service_.start());
        anchors_ = home_.root() / "root.pem";
        std::ofstream(anchors_) << testsupport::TestCertificates::shared().rootA().certificatePEM;
    }

    // A home named name whose fixture bundle has the identifier (none when
    // empty) and, when key, a "Beacon" dictionary holding "APIKey".
    Home makeHome(const std::string& name, bool key = true, const std::string& identifier = "com.tavlo.Fixture") {
        Home made{home_.root() / name, home_.root() / name / "Fixture.app", identifier};
        fs::create_directories(made.bundle);
        Dictionary info{{"CFBundleVersion", "7"}, {"CFBundleShortVersionString", "1.2"}, {"CFBundleName", "Fixture"}};
        if (!identifier.empty()) info["CFBundleIdentifier"] = identifier;
        PlistValue plist = info;
        if (key) plist["Beacon"] = Dictionary{{"APIKey", "fixture-key"}};
        std::ofstream(made.bundle / "Info.plist") << foundation::PropertyList::writeXML(plist).value();
        return made;
    }

    std::map<std::string, std::string> environment(const Home& home) const {
        return {{"HOME", (home.root / "home").string()},
                {"XDG_DATA_HOME", (home.root / "data").string()},
                {"XDG_CONFIG_HOME", (home.root / "config").string()},
                {"XDG_CACHE_HOME", home.cache().string()},
                {"TAVLO_BUNDLE", home.bundle.string()},
                {"SSL_CERT_FILE", anchors_.string()},
                {"BlackboxReportsEndpoint", service_.baseURL()},
                {"SettingsEndpoint", service_.baseURL()},
                {"ConfigureEndpoint", service_.baseURL()},
                {"TAVLO_SYSTEM_LOG_FILE", home.systemLog().string()},
                // A sanitizer runtime leaves the fault signals and the alternate stacks to the kit.
                {"ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0:"
                                 "use_sigaltstack=0:detect_leaks=0"}};
    }

    std::vector<testsupport::RecordedRequest> reportRequests(const Home& home) const {
        std::vector<testsupport::RecordedRequest> posted;
        for (const auto& request : service_.requests())
            if (request.path == home.reportsPath()) posted.push_back(request);
        return posted;
    }

    // One launch of the probe's kit command; whileRunning hears each line it
    // prints (the "kill" row sends its signal from there).
    Launch launch(const Home& home, const std::vector<std::string>& extra,
                  const std::function<void(ChildProcess&, const std::string&)>& whileRunning = {}) {
        std::vector<std::string> argv{BBX_CRASH_PROBE, "kit", "--debug"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        Launch result;
        auto probe = ChildProcess::start(argv, environment(home));
        if (!probe) return result;
        auto deadline = std::chrono::steady_clock::now() + 25s;
        while (auto line = probe->readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration(0))))) {
            auto equals = line->find('=');
            if (equals != std::string::npos) result.facts[line->substr(0, equals)] = line->substr(equals + 1);
            if (line->rfind("abort-action=", 0) == 0) result.reportRequestsAtStart = reportRequests(home).size();
            if (whileRunning) whileRunning(*probe, *line);
        }
        result.status = probe->wait(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration(0))));
        if (!result.status) {
            // Where a launch that did not end was held.
            result.stacks = testsupport::runCommand({"gdb", "-p", std::to_string(probe->pid()), "-batch", "-ex",
                                                     "thread apply all bt"},
                                                    30s)
                                .output;
        }
        return result;
    }

    testsupport::TempHome home_;
    FakeKitService service_;
    fs::path anchors_;
};

TEST_F(BlackboxKitProbeTest, ABundleWithoutAKeyStartsNoCrashKit) {
    Home home = makeHome("plain");
    home.bundle = fs::path(TAVLO_SOURCE_DIR) / "resources";
    Launch only = launch(home, {"--scenario", "none"});
    EXPECT_EQ(only.status, 0);
    EXPECT_EQ(only.facts["kit-started"], "0");
    EXPECT_EQ(only.facts["abort-action"], "default");
    EXPECT_FALSE(fs::exists(home.cache() / "com.blackbox.data"));
    EXPECT_TRUE(service_.requests().empty());
}

TEST_F(BlackboxKitProbeTest, AKeyedBundleStartsTheKitAndItsHandlers) {
    Home home = makeHome("keyed");
    Launch only = launch(home, {"--run-loop", "0.3", "--scenario", "none"});
    EXPECT_EQ(only.status, 0);
    EXPECT_EQ(only.facts["kit-started"], "1");
    EXPECT_EQ(only.facts["tally-started"], "1");
    EXPECT_EQ(only.facts["abort-action"], "handler");
    auto active = in(home.tree() / "active");
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].string(), only.facts["report"]);
    EXPECT_FALSE(fs::exists(home.tree() / "launchmarker")) << "it reached its first turn";
}

// Without a bundle identifier crash reporting refuses to start: no handler,
// no folder; the analytics kit starts all the same.
TEST_F(BlackboxKitProbeTest, ABundleWithoutAnIdentifierStartsNoCrashReportingButTheAnalyticsKit) {
    Home home = makeHome("anonymous", true, "");
    Launch only = launch(home, {"--run-loop", "0.3", "--scenario", "none"});
    EXPECT_EQ(only.status, 0);
    EXPECT_EQ(only.facts["report"], "");
    EXPECT_EQ(only.facts["abort-action"], "default");
    EXPECT_EQ(only.facts["tally-started"], "1");
    std::string log = contents(home.systemLog());
    EXPECT_NE(log.find("[Blackbox] An application must have a valid bundle idenifier in its Info.plist"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[Blackbox] Crash reporting could not be initialized"), std::string::npos);
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(home.cache() / "com.blackbox.data", error))
        EXPECT_EQ(entry.path().string().find("/v3"), std::string::npos) << entry.path();
}

// One kind of crash, made before the launch's first main-queue turn.
struct CrashRow {
    std::string scenario;
    std::vector<std::string> options;  // more of the probe's options
    std::vector<int> statuses;         // how the launch may end
    std::string record;                // the crash record it leaves
    std::vector<std::string> functions;  // what its symbolicated stacks name
};

const std::vector<std::string> kLevels{"ProbeLevel3", "ProbeLevel2", "ProbeLevel1", "ProbeRunScenario"};
std::vector<std::string> below(const std::string& leaf) {
    std::vector<std::string> names{leaf};
    names.insert(names.end(), kLevels.begin(), kLevels.end());
    return names;
}

// What a chain of two launches left: the crash's files, both launches, the
// requests of the second.
struct Chain {
    CrashRow row;
    Home home;
    Launch first, second;
    std::map<std::string, std::string> left;  // the crashed launch's files by name
    bool markerAfterCrash = false;
};

TEST_F(BlackboxKitProbeTest, EveryKindOfCrashBeforeTheFirstTurnReachesTheServiceDuringTheNextStart) {
    const int segv = 128 + SIGSEGV, abrt = 128 + SIGABRT;
    const std::vector<CrashRow> rows{
        {"segv-null", {}, {segv}, "mach_exception.bbxrecord", below("ProbeSegvNull")},
        {"segv-wild", {}, {segv}, "mach_exception.bbxrecord", below("ProbeSegvWild")},
        {"bus", {}, {128 + SIGBUS}, "mach_exception.bbxrecord", below("ProbeBus")},
        {"ill", {}, {128 + SIGILL}, "mach_exception.bbxrecord", below("ProbeIll")},
        {"fpe", {}, {128 + SIGFPE}, "mach_exception.bbxrecord", below("ProbeFpe")},
        {"segv-null", {"--deliver-signal", std::to_string(SIGSEGV)}, {segv}, "signal.bbxrecord", below("ProbeSegvNull")},
        {"segv-wild", {"--deliver-signal", std::to_string(SIGSEGV)}, {segv}, "signal.bbxrecord", below("ProbeSegvWild")},
        {"bus", {"--deliver-signal", std::to_string(SIGBUS)}, {128 + SIGBUS}, "signal.bbxrecord", below("ProbeBus")},
        {"ill", {"--deliver-signal", std::to_string(SIGILL)}, {128 + SIGILL}, "signal.bbxrecord", below("ProbeIll")},
        {"fpe", {"--deliver-signal", std::to_string(SIGFPE)}, {128 + SIGFPE}, "signal.bbxrecord", below("ProbeFpe")},
        {"abort", {}, {abrt}, "signal.bbxrecord", below("ProbeAbort")},
        {"assert", {}, {abrt}, "signal.bbxrecord", below("ProbeAssert")},
        {"cxx-exception", {}, {abrt}, "exception.bbxrecord", below("ProbeCxxException")},
        {"overflow", {}, {segv}, "mach_exception.bbxrecord", {"ProbeRecurse"}},
        {"worker", {}, {segv}, "mach_exception.bbxrecord",
         {"ProbeSegvNull", "ProbeLevel3", "ProbeLevel2", "ProbeLevel1", "ProbeWorkerMain"}},
        {"hostile", {}, {128 + SIGILL}, "mach_exception.bbxrecord", {"ProbeHostile"}},
        {"fault-in-recorder", {}, {segv}, "mach_exception.bbxrecord", below("ProbeSegvNull")},
        {"two-at-once", {}, {segv, 1}, "mach_exception.bbxrecord", {"ProbeTwoAtOnce"}},
        {"kill", {}, {segv}, "signal.bbxrecord", below("ProbeHoldForKill")},
    };
    for (const auto& row : rows)
        for (const auto& function : row.functions)
            ASSERT_NE(probeSymbols().find(function), std::string::npos) << function << " is not the probe's";

    // The chains run side by side: each crash, then the launch after it.
    std::vector<Chain> chains(rows.size());
    std::vector<std::thread> runs;
    for (size_t i = 0; i < rows.size(); ++i) {
        chains[i].row = rows[i];
        chains[i].home = makeHome("chain-" + std::to_string(i), true, "com.tavlo.Fixture-" + std::to_string(i));
    }
    for (Chain& chain : chains) {
        runs.emplace_back([this, &chain] {
            std::vector<std::string> crash = chain.row.options;
            crash.insert(crash.end(), {"--scenario", chain.row.scenario});
            chain.first = launch(chain.home, crash, [](ChildProcess& probe, const std::string& line) {
                if (line == "waiting") probe.signal(SIGSEGV);
            });
            fs::path crashed = chain.first.facts["report"];
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(crashed, error))
                chain.left[entry.path().filename().string()] = contents(entry.path());
            chain.markerAfterCrash = fs::exists(chain.home.tree() / "launchmarker");
            chain.second = launch(chain.home, {"--run-loop", "0.5", "--scenario", "none"});
        });
    }
    for (auto& run : runs) run.join();

    for (const Chain& chain : chains) {
        const CrashRow& row = chain.row;
        const Home& home = chain.home;
        SCOPED_TRACE(row.scenario + (row.options.empty() ? "" : " " + row.options[0] + " " + row.options[1]));
        ASSERT_TRUE(chain.first.status) << chain.first.stacks;
        EXPECT_NE(std::find(row.statuses.begin(), row.statuses.end(), *chain.first.status), row.statuses.end())
            << *chain.first.status;
        EXPECT_EQ(chain.first.facts.at("kit-started"), "1");
        EXPECT_TRUE(chain.left.count(row.record)) << contents(home.systemLog());
        EXPECT_TRUE(chain.markerAfterCrash);

        const Launch& second = chain.second;
        EXPECT_EQ(second.status, 0) << second.stacks;
        EXPECT_EQ(second.reportRequestsAtStart, 1u) << "posted during start, before the first turn";
        auto posted = reportRequests(home);
        ASSERT_EQ(posted.size(), 1u) << contents(home.systemLog());
        EXPECT_EQ(posted[0].header("X-Blackbox-API-Key"), "fixture-key");

        // Each posted file part is one of the crashed launch's files, gzipped;
        // the symbolicated stacks name the scenario's functions.
        std::string symbolicated;
        size_t matched = 0;
        for (const auto& field : FakeKitService::multipartFields(posted[0])) {
            if (!field.fileName) continue;
            auto inflated = FakeKitService::gunzip(field.value);
            ASSERT_TRUE(inflated) << *field.fileName;
            std::string name = *field.fileName;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) name.resize(name.size() - 3);
            if (name.find(".symbolicated") != std::string::npos) symbolicated += *inflated;
            auto original = chain.left.find(name);
            if (original == chain.left.end()) continue;
            // Key files may have grown at the next launch; the crash's own files did not.
            if (name.find("kv.bbxrecord") == std::string::npos) {
                EXPECT_EQ(*inflated, original->second) << name;
            }
            ++matched;
        }
        EXPECT_GE(matched, 4u);
        for (const auto& function : row.functions)
            EXPECT_NE(symbolicated.find(function), std::string::npos) << function;

        // Afterwards only the second launch's folder is active, nothing waits
        // to be sent, and the second launch's timing keys are on file.
        auto active = in(home.tree() / "active");
        ASSERT_EQ(active.size(), 1u);
        EXPECT_EQ(active[0].string(), second.facts.at("report"));
        EXPECT_TRUE(in(home.tree() / "prepared").empty());
        EXPECT_FALSE(fs::exists(home.tree() / "launchmarker"));
        std::string keys = filesIn(active[0], [](const std::string& name) { return name.find("internal") == 0; });
        for (const char* key : {"com.blackbox.kit-start-time", "com.blackbox.first-run-loop-time"})
            EXPECT_NE(keys.find(hex(key)), std::string::npos) << key;
        // The analytics kit heard of the crash, with its date. (Its event file
        // is not looked for: the service's settings turn analytics off, which
        // empties the analytics folder.)
        std::string log = contents(home.systemLog());
        EXPECT_NE(log.find("[Blackbox:Tally] Logging previous session crashed event {date: 2"), std::string::npos)
            << log;
    }
}

TEST_F(BlackboxKitProbeTest, ACrashAfterTheFirstTurnIsSentOnTheWorkQueue) {
    Home home = makeHome("late");
    Launch first = launch(home, {"--run-loop", "0.3", "--scenario", "segv-null"});
    EXPECT_EQ(first.status, 128 + SIGSEGV);
    EXPECT_FALSE(fs::exists(home.tree() / "launchmarker"));

    Launch second = launch(home, {"--run-loop", "0.5", "--scenario", "none"});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.reportRequestsAtStart, 0u) << "not during start";
    EXPECT_EQ(reportRequests(home).size(), 1u);
    EXPECT_EQ(in(home.tree() / "active").size(), 1u);
    EXPECT_TRUE(in(home.tree() / "prepared").empty());
}

// A service that takes the urgent upload and never answers holds the start
// for the upload's 2 s time-out, not longer; the package stays in "prepared"
// and the launch after sends it.
TEST_F(BlackboxKitProbeTest, AnUrgentStartAgainstASilentServiceGivesUpAndTheNextLaunchSends) {
    Home home = makeHome("silent");
    Launch first = launch(home, {"--scenario", "segv-null"});
    EXPECT_EQ(first.status, 128 + SIGSEGV);

    Reply silent;
    silent.neverAnswer = true;
    service_.scriptReports({silent, silent});
    // It leaves as soon as it has started: an upload the work queue may have
    // begun meanwhile goes with it.
    Launch second = launch(home, {"--scenario", "exit"});
    EXPECT_EQ(second.status, 0);
    // (By the time its line is read, the work queue may have sent the package
    // from "prepared" a second time.)
    EXPECT_GE(second.reportRequestsAtStart, 1u) << "the urgent upload was tried during start";
    double blocked = std::stod(second.facts.at("start-seconds"));
    EXPECT_GE(blocked, 1.9) << "the start waited for the service";
    EXPECT_LT(blocked, 30) << "and gave up";
    auto prepared = in(home.tree() / "prepared");
    ASSERT_EQ(prepared.size(), 1u);
    EXPECT_EQ(prepared[0].extension(), ".multipartmime");

    service_.scriptReports({});
    Launch third = launch(home, {"--run-loop", "0.3", "--scenario", "none"});
    EXPECT_EQ(third.status, 0);
    EXPECT_TRUE(in(home.tree() / "prepared").empty());
    auto posted = reportRequests(home);
    ASSERT_GE(posted.size(), 2u);
    EXPECT_EQ(posted.back().bodySha256, posted.front().bodySha256) << "the same package, sent whole";
}

}  // namespace
