// The kit started as the program starts it, in whole processes that share
// their XDG folders: a crash in one launch reaches the kit service at the
// next. The service is FakeKitService over HTTPS on loopback, its root of
// trust given to the children through SSL_CERT_FILE.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <functional>
#include <sstream>

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

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// What one launch of the probe said, and how it ended.
struct Launch {
    std::map<std::string, std::string> facts;  // its name=value lines
    std::optional<int> status;
    size_t reportRequestsAtStart = 0;  // requests to the reports route when start returned
};

class BlackboxKitProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service_.start());
        anchors_ = home_.root() / "root.pem";
        std::ofstream(anchors_) << testsupport::TestCertificates::shared().rootA().certificatePEM;
    }

    fs::path fixtureBundle(bool key = true) {
        fs::path folder = home_.root() / "Fixture.app";
        fs::create_directories(folder);
        PlistValue info = Dictionary{{"CFBundleIdentifier", "com.tavlo.Fixture"},
                                     {"CFBundleVersion", "7"},
                                     {"CFBundleShortVersionString", "1.2"},
                                     {"CFBundleName", "Fixture"}};
        if (key) info["Beacon"] = Dictionary{{"APIKey", "fixture-key"}};
        std::ofstream(folder / "Info.plist") << foundation::PropertyList::writeXML(info).value();
        return folder;
    }

    std::map<std::string, std::string> environment(const fs::path& bundle) const {
        return {{"TAVLO_BUNDLE", bundle.string()},
                {"SSL_CERT_FILE", anchors_.string()},
                {"BlackboxReportsEndpoint", service_.baseURL()},
                {"SettingsEndpoint", service_.baseURL()},
                {"ConfigureEndpoint", service_.baseURL()},
                {"TAVLO_SYSTEM_LOG_FILE", (home_.root() / "system.log").string()},
                // A sanitizer runtime leaves the fault signals and the alternate stacks to the kit.
                {"ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0:"
                                 "use_sigaltstack=0:detect_leaks=0"}};
    }

    size_t reportRequests() const {
        size_t count = 0;
        for (const auto& request : service_.requests()) count += request.path.find("/reports") != std::string::npos;
        return count;
    }

    Launch launch(const fs::path& bundle, const std::vector<std::string>& extra) {
        std::vector<std::string> argv{BBX_CRASH_PROBE, "kit", "--debug"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        Launch result;
        auto probe = ChildProcess::start(argv, environment(bundle));
        if (!probe) return result;
        while (auto line = probe->readLine(60s)) {
            auto equals = line->find('=');
            if (equals != std::string::npos) result.facts[line->substr(0, equals)] = line->substr(equals + 1);
            if (line->rfind("abort-action=", 0) == 0) result.reportRequestsAtStart = reportRequests();
        }
        result.status = probe->wait(60s);
        return result;
    }

    fs::path tree() const { return home_.cacheHome() / "com.blackbox.data/com.tavlo.Fixture/v3"; }
    std::vector<fs::path> in(const fs::path& folder) const {
        std::vector<fs::path> entries;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) entries.push_back(entry.path());
        return entries;
    }

    testsupport::TempHome home_;
    FakeKitService service_;
    fs::path anchors_;
};

TEST_F(BlackboxKitProbeTest, ABundleWithoutAKeyStartsNoCrashKit) {
    fs::path source = fs::path(TAVLO_SOURCE_DIR) / "resources";
    Launch only = launch(source, {"--scenario", "none"});
    EXPECT_EQ(only.status, 0);
    EXPECT_EQ(only.facts["kit-started"], "0");
    EXPECT_EQ(only.facts["abort-action"], "default");
    EXPECT_FALSE(fs::exists(home_.cacheHome() / "com.blackbox.data"));
    EXPECT_TRUE(service_.requests().empty());
}

TEST_F(BlackboxKitProbeTest, AKeyedBundleStartsTheKitAndItsHandlers) {
    Launch only = launch(fixtureBundle(), {"--run-loop", "0.3", "--scenario", "none"});
    EXPECT_EQ(only.status, 0);
    EXPECT_EQ(only.facts["kit-started"], "1");
    EXPECT_EQ(only.facts["abort-action"], "handler");
    auto active = in(tree() / "active");
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].string(), only.facts["report"]);
    EXPECT_FALSE(fs::exists(tree() / "launchmarker")) << "it reached its first turn";
}

// The probe's functions a crash report names, as `nm -C` prints them.
std::vector<std::string> crashFunctions() {
    auto result = testsupport::runCommand({"nm", "--defined-only", "-C", BBX_CRASH_PROBE}, 30s);
    std::vector<std::string> found;
    for (const char* name : {"ProbeSegvNull", "ProbeLevel3", "ProbeLevel2", "ProbeLevel1", "ProbeRunScenario"})
        if (result.output.find(name) != std::string::npos) found.push_back(name);
    return found;
}

std::string filesIn(const fs::path& folder, const std::function<bool(const std::string&)>& keep) {
    std::string all;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error))
        if (entry.is_regular_file() && keep(entry.path().filename().string())) all += contents(entry.path());
    return all;
}

TEST_F(BlackboxKitProbeTest, ACrashBeforeTheFirstTurnReachesTheServiceDuringTheNextStart) {
    fs::path bundle = fixtureBundle();
    Launch first = launch(bundle, {"--scenario", "segv-null"});
    EXPECT_EQ(first.status, 128 + SIGSEGV);
    ASSERT_EQ(first.facts["kit-started"], "1");
    // What the crashed launch left, to compare the upload with.
    fs::path crashed = first.facts["report"];
    ASSERT_TRUE(fs::exists(crashed / "mach_exception.bbxrecord"));
    std::map<std::string, std::string> left;
    for (const auto& entry : fs::directory_iterator(crashed)) left[entry.path().filename().string()] = contents(entry.path());
    EXPECT_TRUE(fs::exists(tree() / "launchmarker"));

    Launch second = launch(bundle, {"--run-loop", "0.5", "--scenario", "none"});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.reportRequestsAtStart, 1u) << "posted during start, before the first turn";
    std::vector<testsupport::RecordedRequest> posted;
    for (const auto& request : service_.requests())
        if (request.path.find("/reports") != std::string::npos) posted.push_back(request);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].path, "/sdk-api/v1/platforms/mac/apps/com.tavlo.Fixture/reports");
    EXPECT_EQ(posted[0].header("X-Blackbox-API-Key"), "fixture-key");

    // Each posted file part is one of the crashed launch's files, gzipped;
    // the symbolicated stack names the scenario's functions.
    std::string symbolicated;
    size_t matched = 0;
    for (const auto& field : FakeKitService::multipartFields(posted[0])) {
        if (!field.fileName) continue;
        auto inflated = FakeKitService::gunzip(field.value);
        ASSERT_TRUE(inflated) << *field.fileName;
        std::string name = *field.fileName;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) name.resize(name.size() - 3);
        if (name.find(".symbolicated") != std::string::npos) symbolicated += *inflated;
        auto original = left.find(name);
        if (original == left.end()) continue;
        // Key files may have grown at this launch; the crash's own files did not.
        if (name.find("kv.bbxrecord") == std::string::npos) {
            EXPECT_EQ(*inflated, original->second) << name;
        }
        ++matched;
    }
    EXPECT_GE(matched, 3u);
    auto functions = crashFunctions();
    ASSERT_FALSE(functions.empty());
    for (const auto& function : functions) EXPECT_NE(symbolicated.find(function), std::string::npos) << function;

    // Afterwards only this launch's folder is active, nothing waits to be sent.
    auto active = in(tree() / "active");
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].string(), second.facts["report"]);
    EXPECT_TRUE(in(tree() / "prepared").empty());
    EXPECT_FALSE(fs::exists(tree() / "launchmarker"));
    std::string keys = filesIn(active[0], [](const std::string& name) { return name.find("internal") == 0; });
    for (const char* key : {"com.blackbox.kit-start-time", "com.blackbox.first-run-loop-time"}) {
        std::string hex;
        for (unsigned char c : std::string(key)) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", c);
            hex += digits;
        }
        EXPECT_NE(keys.find(hex), std::string::npos) << key;
    }
    // The analytics kit heard of the crash, with its date. (Its event file is
    // not looked for: the service's settings turn analytics off, which empties
    // the analytics folder.)
    std::string systemLog = contents(home_.root() / "system.log");
    EXPECT_NE(systemLog.find("[Blackbox:Tally] Logging previous session crashed event {date: 2"), std::string::npos)
        << systemLog;
}

TEST_F(BlackboxKitProbeTest, ACrashAfterTheFirstTurnIsSentOnTheWorkQueue) {
    fs::path bundle = fixtureBundle();
    Launch first = launch(bundle, {"--run-loop", "0.3", "--scenario", "segv-null"});
    EXPECT_EQ(first.status, 128 + SIGSEGV);
    EXPECT_FALSE(fs::exists(tree() / "launchmarker"));

    Launch second = launch(bundle, {"--run-loop", "0.5", "--scenario", "none"});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.reportRequestsAtStart, 0u) << "not during start";
    EXPECT_EQ(reportRequests(), 1u);
    EXPECT_EQ(in(tree() / "active").size(), 1u);
    EXPECT_TRUE(in(tree() / "prepared").empty());
}

}  // namespace
