// The kits started as the program starts them, in child processes.
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>

#include "platform/foundation/JSON.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EventLogLines.h"
#include "tests/support/TempHome.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using testsupport::keyOf;
using testsupport::lines;

// The payload of a line, when its framing is whole and its JSON parses.
std::optional<foundation::PlistValue> payloadOf(const std::string& line) {
    size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1), tab3 = line.find('\t', tab2 + 1);
    if (tab3 == std::string::npos) return std::nullopt;
    size_t length = std::stoul(line.substr(tab2 + 1, tab3 - tab2 - 1));
    if (line.size() != tab3 + 1 + length) return std::nullopt;
    auto json = foundation::JSON::read(line.substr(tab3 + 1));
    if (!json.ok()) return std::nullopt;
    return json.value();
}

std::unique_ptr<testsupport::ChildProcess> startProbe(std::vector<std::string> arguments, std::string& fragment) {
    arguments.insert(arguments.begin(), TALLY_PROBE);
    auto probe = testsupport::ChildProcess::start(arguments);
    if (!probe) return nullptr;
    auto first = probe->readLine(20s);
    if (!first || first->rfind("fragment=", 0) != 0) return nullptr;
    fragment = first->substr(9);
    return probe;
}

}  // namespace

TEST(TallyProbeTest, StartsLikeTheProgramAndWritesTheStartEvents) {
    testsupport::TempHome home;
    std::string first, second;
    auto probe = startProbe({"--activate"}, first);
    ASSERT_TRUE(probe);
    ASSERT_NE(first, "none");
    EXPECT_EQ(probe->wait(20s), 0);
    EXPECT_EQ(fs::path(first).parent_path().parent_path(),
              home.cacheHome() / "com.blackbox.data/com.tavlo.Tavlo/analytics/v1/ACTIVE");
    std::vector<std::string> zero, one;
    for (const auto& line : lines(fs::path(first) / "0.log")) zero.push_back(keyOf(line));
    for (const auto& line : lines(fs::path(first) / "1.log")) one.push_back(keyOf(line));
    EXPECT_EQ(zero, (std::vector<std::string>{"metadata", "app_installed", "app_became_active"}));
    EXPECT_EQ(one, (std::vector<std::string>{"metadata", "app_launched", "app_terminated"}));

    probe = startProbe({}, second);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->wait(20s), 0);
    EXPECT_NE(fs::path(second).parent_path(), fs::path(first).parent_path());
    EXPECT_FALSE(fs::exists(fs::path(second) / "0.log"));
}

// Every event the probe saw written is on disk exactly once, whenever it is
// killed; every line but a torn last one parses.
TEST(TallyProbeTest, KilledMidWriteKeepsEveryWrittenEventOnce) {
    testsupport::TempHome home;
    std::mt19937 random(20261211);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::string fragment;
        auto probe = startProbe({"--custom", "100000", "--written"}, fragment);
        ASSERT_TRUE(probe);
        std::set<long> printed;
        int wanted = std::uniform_int_distribution<int>(1, 10)(random);
        while (static_cast<int>(printed.size()) < wanted * 100) {
            auto line = probe->readLine(20s);
            if (!line) break;
            if (line->rfind("i=", 0) == 0) printed.insert(std::stol(line->substr(2)));
        }
        probe->signal(SIGKILL);
        probe->wait(20s);
        auto written = lines(fs::path(fragment) / "2.log");
        std::multiset<long> onDisk;
        for (size_t n = 0; n < written.size(); ++n) {
            auto payload = payloadOf(written[n]);
            if (!payload) {
                EXPECT_EQ(n + 1, written.size()) << "only the last line may be torn";
                continue;
            }
            if (keyOf(written[n]) != "custom") continue;
            const auto* attributes = payload->get("custom_attributes");
            if (attributes && attributes->get("i")) onDisk.insert(*attributes->get("i")->asInteger());
        }
        for (long i : printed) EXPECT_EQ(onDisk.count(i), 1u) << i;
    }
}
