// The kits started as the program starts them, in child processes.
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <map>
#include <set>
#include <thread>

#include "platform/foundation/JSON.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeKitService.h"
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

std::unique_ptr<testsupport::ChildProcess> startProbe(std::vector<std::string> arguments, std::string& fragment,
                                                      const std::map<std::string, std::string>& env = {}) {
    arguments.insert(arguments.begin(), TALLY_PROBE);
    auto probe = testsupport::ChildProcess::start(arguments, env);
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

// A full disk in a child process: the file-size limit makes writes fail
// (SIGXFSZ is ignored), events fail with their line, the log keeps whole
// lines only, and writing resumes once the limit is lifted.
TEST(TallyProbeTest, AFileSizeLimitFailsEventsOnWholeLinesAndWritingResumes) {
    testsupport::TempHome home;
    // The probe's system log is a FIFO read here: as a file it would fall under
    // the same size limit and lose the very lines this test looks for, while
    // writes to a pipe are not limited (as the journal's socket is not).
    fs::path log = home.root() / "system.log";
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    int reader = ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::string text;
    std::atomic<bool> probeEnded{false};
    std::thread drain([&] {
        char buffer[4096];
        for (;;) {
            bool ended = probeEnded.load();
            ssize_t n;
            while ((n = ::read(reader, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
            if (ended) break;
            std::this_thread::sleep_for(5ms);
        }
    });
    std::string fragment;
    auto probe = startProbe({"--debug", "--custom", "200", "--file-limit", "8192"}, fragment,
                            {{"TAVLO_SYSTEM_LOG_FILE", log.string()}});
    if (probe) {
        EXPECT_TRUE(probe->waitForLine("resumed", 30s));
        EXPECT_EQ(probe->wait(20s), 0);
    }
    probeEnded = true;
    drain.join();
    ::close(reader);
    ASSERT_TRUE(probe);
    std::ifstream in(fs::path(fragment) / "2.log", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\n');
    std::vector<long> onDisk;
    for (const auto& line : lines(fs::path(fragment) / "2.log")) {
        auto payload = payloadOf(line);
        ASSERT_TRUE(payload) << line;
        if (keyOf(line) != "custom") continue;
        onDisk.push_back(*payload->get("custom_attributes")->get("i")->asInteger());
    }
    ASSERT_GE(onDisk.size(), 2u);
    EXPECT_LT(onDisk.size(), 100u);       // the limit stopped most of them
    EXPECT_EQ(onDisk.back(), 200);        // the one after the limit was lifted
    EXPECT_NE(text.find("[Blackbox:Tally] Unable to log event"), std::string::npos);
}

namespace {

// A number after "\"name\":" in a payload, or -1.
long numberIn(const std::string& payload, const std::string& name) {
    size_t at = payload.find("\"" + name + "\":");
    if (at == std::string::npos) return -1;
    return std::strtol(payload.c_str() + at + name.size() + 3, nullptr, 10);
}

}  // namespace

// The whole chain in child processes started as the program starts: the
// settings download from the kit service, its notification, the settings
// applied, events written into fragments that the size limit rolls, packaged
// and uploaded. The children are killed at random moments while writing (so
// also while packaging and uploading, which the small size limit makes
// frequent), once while an upload waits for its answer, and once after the
// service answered and before the fragment was removed; a last child sends
// what is left. Every event a child saw written is accepted exactly once,
// except those of the upload answered just before the kill: they are sent
// again, the one window for a repeat.
TEST(TallyProbeTest, EveryWrittenEventIsAcceptedOnceAcrossKills) {
    testsupport::TempHome home;
    testsupport::FakeKitService service;
    ASSERT_TRUE(service.start());
    fs::path anchors = home.root() / "root.pem";
    std::ofstream(anchors) << testsupport::TestCertificates::shared().rootA().certificatePEM;
    service.scriptSettings({testsupport::Reply::text(
        "{\"app\": null, \"features\": {\"collect_analytics\": true}, \"analytics\": {\"url\": \"" +
            service.analyticsURL() +
            "\", \"max_byte_size_per_file\": 20000, \"max_pending_send_file_count\": 10000, "
            "\"track_custom_events\": true, \"track_predefined_events\": true}}",
        200, "application/json")});
    const std::map<std::string, std::string> env{{"SettingsEndpoint", service.baseURL()},
                                                 {"SSL_CERT_FILE", anchors.string()}};
    std::mt19937 random(39);
    std::set<std::pair<long, long>> printed;  // (run, i)
    auto start = [&](long run, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments{"--pinned-anchors", anchors.string(), "--run", std::to_string(run)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::string fragment;
        return startProbe(arguments, fragment, env);
    };
    auto readWritten = [&](testsupport::ChildProcess& probe, long run, size_t upTo, const std::function<bool()>& until) {
        for (size_t n = 0; n < upTo && !until();) {
            auto line = probe.readLine(20s);
            if (!line) return;
            if (line->rfind("i=", 0) == 0) {
                printed.insert({run, std::stol(line->substr(2))});
                ++n;
            }
        }
    };

    // The first start downloads the settings and keeps them; later starts
    // begin with them at once.
    long run = 0;
    {
        auto probe = start(run++, {"--custom", "10", "--maintain"});
        ASSERT_TRUE(probe);
        EXPECT_TRUE(probe->waitForLine("maintained", 60s));
        EXPECT_EQ(probe->wait(20s), 0);
        ASSERT_EQ(service.requests(testsupport::FakeKitService::Route::Settings).size(), 1u);
    }
    for (; run < 21; ++run) {
        auto probe = start(run, {"--custom", "100000", "--written"});
        ASSERT_TRUE(probe);
        readWritten(*probe, run, 100 * std::uniform_int_distribution<size_t>(1, 8)(random), [] { return false; });
        probe->signal(SIGKILL);
        probe->wait(20s);
    }

    // Killed while an upload waits for its answer: not accepted, sent again
    // later. The child writes, then runs maintenance: while it writes at full
    // speed, every run the size limit starts finds the first run still sending
    // and skips its upload, so it might send nothing before it ends.
    service.scriptAnalytics({[] {
        testsupport::Reply silent;
        silent.neverAnswer = true;
        return silent;
    }()});
    size_t before = service.uploads().size();
    {
        auto probe = start(run, {"--custom", "3000", "--written", "--maintain"});
        ASSERT_TRUE(probe);
        std::thread reader([&] { readWritten(*probe, run, 100000, [] { return false; }); });
        for (int wait = 0; wait < 6000 && service.uploads().size() == before; ++wait) std::this_thread::sleep_for(10ms);
        EXPECT_GT(service.uploads().size(), before) << "no upload came";
        probe->signal(SIGKILL);
        probe->wait(20s);
        reader.join();
    }
    ++run;
    service.scriptAnalytics({});

    // Killed after the service answered and before the fragment was removed:
    // held uploads without custom events (a fragment of lifecycle lines only)
    // go on; the first with some is held, its process stopped, the answer
    // given, and the process killed before it could remove the fragment.
    std::set<std::string> repeated;
    {
        service.holdAnalytics(true);
        auto probe = start(run, {"--custom", "3000", "--written", "--maintain"});
        ASSERT_TRUE(probe);
        std::thread reader([&] { readWritten(*probe, run, 100000, [&] { return false; }); });
        std::optional<testsupport::FakeKitService::Upload> held;
        while (!held && service.waitForHeldAnalytics(60)) {
            held = service.heldAnalytics();
            if (held && std::none_of(held->events.begin(), held->events.end(),
                                     [](const auto& event) { return event.key == "custom"; })) {
                held.reset();
                service.releaseHeldAnalytics();
            }
        }
        EXPECT_TRUE(held) << "no upload with custom events came";
        probe->signal(SIGSTOP);
        size_t answered = service.uploads().size();
        service.holdAnalytics(false);
        for (int wait = 0; held && wait < 500 && service.uploads().size() == answered; ++wait)
            std::this_thread::sleep_for(10ms);
        auto uploads = service.uploads();
        if (held && uploads.size() > answered) {
            EXPECT_TRUE(uploads[answered].accepted);
            for (const auto& event : uploads[answered].events)
                if (event.key == "custom") repeated.insert(event.eventId);
        }
        std::this_thread::sleep_for(200ms);  // the answer is on its way to a stopped process
        probe->signal(SIGKILL);
        probe->wait(20s);
        reader.join();
        ASSERT_FALSE(repeated.empty());
    }
    ++run;

    {
        auto probe = start(run, {"--maintain"});
        ASSERT_TRUE(probe);
        EXPECT_TRUE(probe->waitForLine("maintained", 90s));
        EXPECT_EQ(probe->wait(20s), 0);
    }

    std::map<std::pair<long, long>, int> accepted;
    std::map<std::string, int> byId;
    for (const auto& upload : service.uploads()) {
        EXPECT_TRUE(upload.wellFormed);
        if (!upload.accepted) continue;
        for (const auto& event : upload.events) {
            if (event.key != "custom") continue;
            ++accepted[{numberIn(event.payload, "r"), numberIn(event.payload, "i")}];
            ++byId[event.eventId];
        }
    }
    EXPECT_GT(service.uploads().size(), 3u);
    for (const auto& [id, count] : byId) EXPECT_EQ(count, repeated.count(id) ? 2 : 1) << id;
    size_t missing = 0;
    std::map<long, size_t> missingByRun;
    for (const auto& event : printed)
        if (accepted.count(event) == 0) {
            ++missing;
            ++missingByRun[event.first];
        }
    for (const auto& [r, n] : missingByRun) ADD_FAILURE() << n << " events of run " << r << " not accepted";
    EXPECT_EQ(missing, 0u) << "of " << printed.size() << " events written";
}
