// The kits at start-up step 2 of the running program: the shipped bundle, which
// carries no API key, starts no kit and says so in one line; a bundle with a key
// passes the step. Lines are read from the file the program's system log is
// pointed at.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/foundation/PropertyList.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EventLogLines.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/RequireDisplay.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::keys;
using testsupport::runCommand;

class KitsProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY"), "needs an X server");
    }

    // Runs the program until its bus object answers, then ends it; answers its log lines.
    std::vector<std::string> runUntilReady(const std::map<std::string, std::string>& extra = {},
                                           const std::function<void()>& whileRunning = nullptr) {
        std::map<std::string, std::string> env{{"TAVLO_SYSTEM_LOG_FILE", log().string()}};
        env.insert(extra.begin(), extra.end());
        auto program = ChildProcess::start({TAVLO_PROGRAM}, env);
        EXPECT_TRUE(program);
        if (!program) return {};
        bool ready = false;
        for (auto deadline = std::chrono::steady_clock::now() + 30s; !ready && std::chrono::steady_clock::now() < deadline;) {
            ready = runCommand({"gdbus", "introspect", "-e", "-d", "com.tavlo.Tavlo", "-o", "/com/tavlo/Tavlo"}, 5s)
                        .status == 0;
            if (!ready) std::this_thread::sleep_for(100ms);
        }
        EXPECT_TRUE(ready);
        pid_ = program->pid();
        if (ready) caughtSignals_ = caughtSignals(pid_);
        if (ready && whileRunning) whileRunning();
        program->signal(SIGTERM);
        EXPECT_EQ(program->wait(15s), 0);
        std::vector<std::string> lines;
        std::ifstream in(log());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // The signals a process catches, from its status (SigCgt).
    static uint64_t caughtSignals(pid_t pid) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
        return 0;
    }
    // Whether the running program caught the signal (taken once it was ready).
    bool caught(int signal) const { return (caughtSignals_ >> (signal - 1)) & 1; }
    std::filesystem::path crashReports() const { return home_.cacheHome() / "com.blackbox.data/com.tavlo.Tavlo/v3"; }

    std::filesystem::path log() const { return home_.root() / "system.log"; }
    std::filesystem::path analytics() const { return home_.cacheHome() / "com.blackbox.data/com.tavlo.Tavlo/analytics"; }

    static size_t count(const std::vector<std::string>& lines, const std::string& text) {
        size_t n = 0;
        for (const auto& line : lines) n += line.find(text) != std::string::npos;
        return n;
    }

    // The program's own resources beside an Info.plist that carries a key.
    std::filesystem::path keyedBundle() {
        std::filesystem::path shipped = std::filesystem::path(TAVLO_PROGRAM).parent_path().parent_path();
        std::filesystem::path bundle = home_.root() / "Keyed";
        std::filesystem::copy(shipped / "Resources", bundle, std::filesystem::copy_options::recursive);
        auto info = foundation::PropertyList::read(
            std::vector<uint8_t>((std::istreambuf_iterator<char>(std::ifstream(shipped / "Info.plist").rdbuf())), {}));
        if (!info.ok()) return {};
        foundation::PlistValue keyed = info.value();
        keyed["Beacon"]["APIKey"] = "test-key";
        std::ofstream(bundle / "Info.plist") << foundation::PropertyList::writeXML(keyed).value();
        return bundle;
    }

    testsupport::TempHome home_;
    pid_t pid_ = 0;
    uint64_t caughtSignals_ = 0;
};

TEST_F(KitsProgramTest, TheShippedBundleStartsNoKitAndSaysSoOnce) {
    auto lines = runUntilReady();
    EXPECT_EQ(count(lines, "Kits not started: BCNException: [Beacon] Value of Info.plist[Beacon][APIKey] must contain "
                           "your Beacon API Key."),
              1u);
    EXPECT_EQ(count(lines, "Kits not started"), 1u);
    // The shared values were made all the same: the install identifier lasts.
    EXPECT_TRUE(std::filesystem::exists(home_.dataHome() / "com.blackbox/com.tavlo.Tavlo/BBXUserDefaults.plist"));
    EXPECT_FALSE(std::filesystem::exists(analytics()));
    // No crash kit: the abort and bad-system-call signals keep their default
    // action (a sanitizer may hold the fault signals either way), and there
    // is no report folder.
    EXPECT_FALSE(caught(SIGABRT));
    EXPECT_FALSE(caught(SIGSYS));
    EXPECT_FALSE(std::filesystem::exists(crashReports()));
}

TEST_F(KitsProgramTest, ABundleWithAKeyPassesStepTwo) {
    std::filesystem::path bundle = keyedBundle();
    ASSERT_FALSE(bundle.empty());
    // Running past the crash kit's set-up checks, 2 s after its start.
    auto started = std::chrono::steady_clock::now();
    auto lines = runUntilReady({{"TAVLO_BUNDLE", bundle.string()}},
                               [&] { std::this_thread::sleep_until(started + 3s); });
    EXPECT_EQ(count(lines, "Kits not started"), 0u);
    // The first launch already has the hook on the application's exceptions.
    EXPECT_EQ(count(lines, "NSApplicationCrashOnExceptions is not set"), 0u);
    EXPECT_EQ(count(lines, "cannot be intercepted"), 0u);
    EXPECT_EQ(count(lines, "[Blackbox:Crash] Warning"), 0u);
    // The bundle names no endpoints, so the settings download goes to hosts that
    // never resolve and fails with its one line; nothing else of the kit complains.
    EXPECT_EQ(count(lines, "[Beacon]"), count(lines, "[Beacon] failed to download settings"));

    // The crash kit started: its handlers were in place and this launch's
    // report folder is the one in "active".
    EXPECT_EQ(count(lines, "[Blackbox] Version 3.6.0 (99)"), 1u);
    EXPECT_EQ(count(lines, "could not be initialized"), 0u);
    EXPECT_TRUE(caught(SIGABRT));
    EXPECT_TRUE(caught(SIGSYS));
    std::vector<std::filesystem::path> launches;
    for (const auto& entry : std::filesystem::directory_iterator(crashReports() / "active")) launches.push_back(entry.path());
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(launches[0] / "metadata.bbxrecord"));
    EXPECT_FALSE(std::filesystem::exists(crashReports() / "launchmarker")) << "it got past its first turn";

    // The analytics kit started: this run's one fragment opens with the session
    // metadata, and quitting wrote the will-terminate event once.
    std::vector<std::filesystem::path> fragments;
    for (const auto& session : std::filesystem::directory_iterator(analytics() / "v1/ACTIVE"))
        for (const auto& fragment : std::filesystem::directory_iterator(session.path())) fragments.push_back(fragment.path());
    ASSERT_EQ(fragments.size(), 1u);
    auto medium = keys(fragments[0] / "1.log");
    ASSERT_GE(medium.size(), 3u);
    EXPECT_EQ(medium[0], "metadata");
    EXPECT_EQ(medium[1], "app_launched");
    EXPECT_EQ(std::count(medium.begin(), medium.end(), "app_terminated"), 1);
    ASSERT_FALSE(keys(fragments[0] / "0.log").empty());
    EXPECT_EQ(keys(fragments[0] / "0.log")[0], "metadata");
}

}  // namespace

namespace {

// Settings kept from an earlier download name the kit service on loopback:
// the launch's first high-priority event starts maintenance, which packages
// the fragment it closed and uploads it there over the system's trust.
TEST_F(KitsProgramTest, AKeyedBundleWithSettingsUploadsItsEvents) {
    testsupport::FakeKitService service;
    ASSERT_TRUE(service.start());
    std::filesystem::path anchors = home_.root() / "root.pem";
    std::ofstream(anchors) << testsupport::TestCertificates::shared().rootA().certificatePEM;
    std::filesystem::path cached = home_.cacheHome() / "org.beacon.sdk.mac.data/com.tavlo.Tavlo/settings.json";
    std::filesystem::create_directories(cached.parent_path());
    std::ofstream(cached) << "{\"app\": null, \"features\": {\"collect_analytics\": true}, \"analytics\": {\"url\": \""
                          << service.analyticsURL()
                          << "\", \"max_pending_send_file_count\": 100, \"track_custom_events\": true, "
                             "\"track_predefined_events\": true}}";
    std::filesystem::path bundle = keyedBundle();
    ASSERT_FALSE(bundle.empty());

    runUntilReady({{"TAVLO_BUNDLE", bundle.string()}, {"SSL_CERT_FILE", anchors.string()}}, [&] {
        for (int wait = 0; wait < 300 && service.uploads().empty(); ++wait) std::this_thread::sleep_for(100ms);
    });
    auto uploads = service.uploads();
    ASSERT_FALSE(uploads.empty());
    EXPECT_TRUE(uploads[0].accepted);
    EXPECT_TRUE(uploads[0].wellFormed);
    std::vector<std::string> sent;
    for (const auto& event : uploads[0].events) sent.push_back(event.key);
    EXPECT_NE(std::find(sent.begin(), sent.end(), "metadata"), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), "app_installed"), sent.end());
    auto request = service.requests(testsupport::FakeKitService::Route::Analytics);
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(request[0].header("X-BLACKBOX-API-KEY"), "test-key");
}

}  // namespace
