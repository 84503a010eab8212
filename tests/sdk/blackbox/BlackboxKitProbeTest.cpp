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

}  // namespace
