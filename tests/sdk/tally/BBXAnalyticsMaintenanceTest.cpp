// Maintenance runs against the kit service on 127.0.0.1 over HTTPS with
// run-time certificates: packaging, the upload and its failures, pruning.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <set>

#include "platform/net/Certificate.h"
#include "platform/net/TrustStore.h"
#include "platform/net/URLError.h"
#include "sdk/beacon/BCNDeveloperToken.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/tally/BBXAnalyticsApplicationLifecycleEvent.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "tests/sdk/tally/AnalyticsControllerFixture.h"
#include "tests/support/EventLogLines.h"
#include "tests/support/FakeKitService.h"

namespace {

using namespace std::chrono_literals;
using tallytest::Controller;
using tallytest::Dictionary;
using tallytest::settingsWith;
using testsupport::FakeKitService;
using testsupport::Reply;
namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<fs::path> fragmentsIn(const fs::path& state) {
    std::vector<fs::path> fragments;
    std::error_code error;
    for (const auto& session : fs::directory_iterator(state, error))
        for (const auto& fragment : fs::directory_iterator(session.path())) fragments.push_back(fragment.path());
    std::sort(fragments.begin(), fragments.end());
    return fragments;
}

}  // namespace

class BBXAnalyticsMaintenanceTest : public tallytest::AnalyticsControllerFixture {
protected:
    static void SetUpTestSuite() {
        service_ = new FakeKitService();
        ASSERT_TRUE(service_->start());
        net::TrustStore::setDefaultAnchors(net::Certificate::fromPEM(testsupport::TestCertificates::shared().rootA().certificatePEM));
    }
    static void TearDownTestSuite() {
        service_->stop();
        delete service_;
        net::TrustStore::setDefaultAnchors({});
    }
    void SetUp() override {
        service_->server().stop();
        ASSERT_TRUE(service_->server().start());
        service_->scriptAnalytics({});
        networking_ = std::make_shared<BBXAnalyticsNetworkingClient>();
        networking_->networkClient()->setJitterSourceForTesting([] { return 1.0; });
        Beacon::sharedSDK()->setDebug(true);
    }
    void TearDown() override {
        Beacon::sharedSDK()->setDebug(false);
        AnalyticsControllerFixture::TearDown();
        networking_.reset();
    }

    Dictionary settings(std::optional<std::string> url, int64_t maxPending = 100) {
        Dictionary analytics{{"max_pending_send_file_count", maxPending}, {"track_custom_events", true}};
        if (url) analytics["url"] = *url;
        return settingsWith(true, analytics);
    }

    void logCustom(int count, const std::string& text = "x") {
        for (int i = 0; i < count; ++i)
            controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("probe", Dictionary{{"i", i}, {"t", text}}));
        drain();
    }

    // Runs maintenance to its end. On the virtual clock, each retry wait is
    // advanced over as soon as it is due, and recorded.
    void runMaintenance(std::vector<double>* waits = nullptr) {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        controller_->maintainSessionFragments([done](std::optional<foundation::Error>) { done->set_value(); });
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (finished.wait_for(10ms) != std::future_status::ready) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "maintenance did not finish";
            if (!dispatch::Clock::isVirtual()) continue;
            if (auto next = dispatch::Clock::nextDeadline()) {
                double wait = *next - dispatch::Clock::now();
                if (waits) waits->push_back(wait);
                dispatch::Clock::advance(wait);
            }
        }
        drain();
    }

    std::vector<FakeKitService::Upload> uploadsSince(size_t first) {
        auto all = service_->uploads();
        return std::vector<FakeKitService::Upload>(all.begin() + std::min(first, all.size()), all.end());
    }

    fs::path active() const { return root_ / "v1/ACTIVE"; }
    fs::path packaged() const { return root_ / "v1/PACKAGED"; }

    static FakeKitService* service_;
};

FakeKitService* BBXAnalyticsMaintenanceTest::service_ = nullptr;

TEST_F(BBXAnalyticsMaintenanceTest, UploadsEachClosedFragmentOnceAndRemovesIt) {
    ASSERT_TRUE(start());
    apply(settings(service_->analyticsURL()));
    controller_->logAppLaunched();
    logCustom(300);
    fs::path first = fragment();
    std::promise<void> opened;
    controller_->openNewSessionFragment([&](std::optional<foundation::Error>) { opened.set_value(); });
    opened.get_future().wait();
    logCustom(5);
    fs::path second = fragment();
    // Packaging removes the logs: what each part must inflate to, copied first.
    std::map<std::string, std::string> expected[2];
    for (int n = 0; n < 2; ++n)
        for (const char* name : {"1.log", "2.log"})
            if (fs::exists((n ? second : first) / name)) expected[n][std::string(name) + ".zip"] = readFile((n ? second : first) / name);
    ASSERT_EQ(expected[0].size(), 2u);
    ASSERT_EQ(expected[1].size(), 1u);

    size_t before = service_->requests().size();
    foundation::Date::setClock([] { return 1900000000.0; });
    runMaintenance();
    auto requests = service_->requests();
    ASSERT_EQ(requests.size(), before + 2);
    for (int n = 0; n < 2; ++n) {
        SCOPED_TRACE(n);
        const auto& request = requests[before + n];
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, FakeKitService::kAnalyticsPath);
        std::map<std::string, std::string> headers(request.headers.begin(), request.headers.end());
        EXPECT_EQ(headers["User-Agent"], "Tally Mac SDK/1.1.0");
        EXPECT_EQ(headers["X-BLACKBOX-DEVELOPER-TOKEN"], BCNDeveloperToken);
        EXPECT_EQ(headers["X-BLACKBOX-API-CLIENT-TYPE"], "Tally Mac SDK");
        EXPECT_EQ(headers["X-BLACKBOX-API-CLIENT-VERSION"], "6");
        EXPECT_EQ(headers["X-BLACKBOX-API-CLIENT-DISPLAY-VERSION"], "1.1.0");
        EXPECT_EQ(headers["X-BLACKBOX-API-CLIENT-BUILD-VERSION"], "6");
        EXPECT_EQ(headers["X-BLACKBOX-API-KEY"], "key");
        for (const char* absent : {"Accept-Language", "Accept-Charset", "Content-Language"}) EXPECT_EQ(headers.count(absent), 0u);
        const std::string& type = headers["Content-Type"];
        ASSERT_EQ(type.rfind("multipart/form-data; boundary=", 0), 0u);
        std::string boundary = type.substr(30);
        EXPECT_EQ(boundary.size(), 36u);
        EXPECT_EQ(headers["Content-Length"], std::to_string(request.bodyLength));
        EXPECT_EQ(request.body.rfind("MIME-Version: 1.0\r\n--" + boundary + "\r\n", 0), 0u);
        EXPECT_EQ(request.body.substr(request.body.size() - 42), "--" + boundary + "--\r\n");
        auto fields = FakeKitService::multipartFields(request);
        ASSERT_EQ(fields.size(), expected[n].size());
        auto want = expected[n].begin();
        for (const auto& field : fields) {
            EXPECT_EQ(field.name, want->first);
            EXPECT_EQ(field.fileName, want->first);
            EXPECT_EQ(field.contentType, "application/vnd.blackbox.mac.events");
            EXPECT_NE(request.body.find("Content-Type: application/vnd.blackbox.mac.events\r\n"
                                        "Content-Transfer-Encoding: binary\r\n\r\n"),
                      std::string::npos);
            auto inflated = FakeKitService::gunzip(field.value);
            ASSERT_TRUE(inflated);
            EXPECT_TRUE(*inflated == want->second) << want->first;
            ++want;
        }
    }
    EXPECT_TRUE(fragmentsIn(packaged()).empty());
    EXPECT_EQ(fragmentsIn(active()), std::vector<fs::path>{fragment()});
    EXPECT_EQ(*store()->objectForKey(Controller::kLastMaintenanceDateKey).asDate(), foundation::Date(1900000000.0));
    EXPECT_TRUE(log_->contains("[Blackbox:Tally] Successfully transmitted packaged session fragments"));

    // A fragment without events goes as a body of the preamble and the closing line alone.
    runMaintenance();
    requests = service_->requests();
    ASSERT_EQ(requests.size(), before + 3);
    EXPECT_EQ(requests.back().bodyLength, 61u);
    EXPECT_EQ(requests.back().header("Content-Length"), "61");
    EXPECT_TRUE(fragmentsIn(packaged()).empty());
}

TEST_F(BBXAnalyticsMaintenanceTest, FailedUploadsKeepTheirFragment) {
    testsupport::LoopbackServer closed;
    ASSERT_TRUE(closed.start());
    const std::string refusedURL = closed.url(FakeKitService::kAnalyticsPath);
    closed.stop();
    Reply silent;
    silent.neverAnswer = true;
    Reply rateLimited = Reply::text("slow down", 429);
    rateLimited.headers.push_back({"Retry-After", "60"});
    const struct {
        const char* what;
        std::vector<Reply> script;
        bool refused;
        size_t requests;
        std::vector<double> waits;
        bool kept;
    } cases[] = {
        {"500 always", {Reply::text("no", 500)}, false, 11, {2, 2, 4, 8, 16, 32, 64, 128, 256, 512}, true},
        {"429 with Retry-After, then 200", {rateLimited, Reply::text("{}")}, false, 2, {60}, false},
        {"400", {Reply::text("bad", 400)}, false, 1, {}, true},
        {"a refused connection", {}, true, 0, {}, true},
        {"a silent service", {silent}, false, 11, {2, 2, 4, 8, 16, 32, 64, 128, 256, 512}, true},
        {"a 2xx with a malformed body", {Reply::text("{not json", 202)}, false, 1, {}, false},
        {"a 2xx over the answer cap", {Reply::pattern(5 << 20)}, false, 1, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dispatch::Clock::useVirtualTime(0);
        service_->scriptAnalytics(c.script);
        networking_ = std::make_shared<BBXAnalyticsNetworkingClient>();
        networking_->networkClient()->setJitterSourceForTesting([] { return 1.0; });
        const bool silent = !c.script.empty() && c.script[0].neverAnswer;
        if (silent) networking_->setTimeoutForTesting(0.25);
        ASSERT_TRUE(start());
        apply(settings(c.refused ? refusedURL : service_->analyticsURL()));
        logCustom(3);
        fs::path sent = fragment();
        size_t before = service_->requests().size();
        int connectionsBefore = service_->server().connectionCount();
        std::vector<double> waits;
        runMaintenance(&waits);
        size_t requests = service_->requests().size() - before;
        // A time-out may come before the service has read a request whole (on
        // a loaded machine, before any): the client reached it, and the retry
        // waits below show each time-out retried.
        if (silent) {
            EXPECT_GE(service_->server().connectionCount() - connectionsBefore, 1);
            EXPECT_LE(requests, c.requests);
        } else {
            EXPECT_EQ(requests, c.requests);
        }
        EXPECT_EQ(waits, c.waits);
        auto kept = fragmentsIn(packaged());
        EXPECT_EQ(kept.size(), c.kept ? 1u : 0u);
        if (c.kept && !kept.empty()) {
            EXPECT_EQ(kept[0].filename(), sent.filename());
            EXPECT_TRUE(fs::exists(kept[0] / "2.log.zip"));
        }
        EXPECT_TRUE(log_->contains("[Blackbox:Tally] Successfully transmitted packaged session fragments"));
        retire();
        dispatch::Clock::useRealTime();
        fs::remove_all(root_);
    }
}

TEST_F(BBXAnalyticsMaintenanceTest, WithoutAURLPackagingPruningAndTheSweepStillRun) {
    ASSERT_TRUE(start());
    apply(settings(std::nullopt));
    logCustom(2);
    fs::path closed = fragment();
    fs::create_directories(active() / "stray");  // no session folder: the sweep removes it
    runMaintenance();
    EXPECT_TRUE(log_->contains("[Blackbox:Tally] Unable to transmit packaged session fragments {Error Domain="
                               "BBXAnalyticsControllerErrorDomain Code=-2"));
    auto kept = fragmentsIn(packaged());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].filename(), closed.filename());
    EXPECT_TRUE(fs::exists(kept[0] / "2.log.zip"));
    EXPECT_FALSE(fs::exists(active() / "stray"));
}

TEST_F(BBXAnalyticsMaintenanceTest, ASecondRunDuringAnUploadSkipsItsUploadAndStillPrunes) {
    ASSERT_TRUE(start());
    apply(settings(service_->analyticsURL(), 0));
    logCustom(2);
    service_->holdAnalytics(true);
    auto first = std::make_shared<std::promise<void>>();
    controller_->maintainSessionFragments([first](std::optional<foundation::Error>) { first->set_value(); });
    ASSERT_TRUE(service_->waitForHeldAnalytics(30));
    logCustom(2);
    fs::path written = fragment();
    runMaintenance();  // while the first waits for its answer
    EXPECT_TRUE(log_->contains("BBXAnalyticsControllerErrorDomain Code=-1"));
    // Pruning with the limit 0 took every file outside the current fragment.
    EXPECT_FALSE(fs::exists(written));
    service_->holdAnalytics(false);
    ASSERT_EQ(first->get_future().wait_for(30s), std::future_status::ready);
    drain();
    EXPECT_TRUE(fragmentsIn(packaged()).empty());
}

TEST_F(BBXAnalyticsMaintenanceTest, PruningDropsTheOldestFilesOfTheLowestPriority) {
    // Files outside the current fragment: priority 2 in two ACTIVE fragments,
    // priority 1 in one ACTIVE and two PACKAGED ones.
    const std::vector<std::string> files = {
        "ACTIVE/1_s/1_a/2.log",       "ACTIVE/1_s/2_b/2.log",      "ACTIVE/1_s/1_a/1.log",
        "PACKAGED/1_s/0_z/1.log.zip", "PACKAGED/1_s/3_c/1.log.zip",
    };
    const struct {
        int64_t limit;
        std::vector<std::string> extra;
        std::vector<std::string> left;
        std::optional<int> code;
    } cases[] = {
        {3, {}, {files[2], files[3], files[4]}, std::nullopt},
        {5, {}, files, std::nullopt},
        {0, {}, {}, std::nullopt},
        {0, {"ACTIVE/1_s/1_a/x.log"}, {"ACTIVE/1_s/1_a/x.log"}, Controller::kPruningStuck},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        ASSERT_TRUE(start());
        apply(settings(std::nullopt, c.limit));
        logCustom(1);
        fs::path current = fragment() / "2.log";
        auto all = files;
        all.insert(all.end(), c.extra.begin(), c.extra.end());
        for (const auto& file : all) {
            fs::create_directories((root_ / "v1" / file).parent_path());
            std::ofstream(root_ / "v1" / file) << "x\n";
        }
        std::optional<foundation::Error> error;
        std::promise<void> done;
        controller_->pruneSessionFragmentLogFiles([&](std::optional<foundation::Error> e) {
            error = e;
            done.set_value();
        });
        done.get_future().wait();
        std::vector<std::string> left;
        for (const auto& file : all)
            if (fs::exists(root_ / "v1" / file)) left.push_back(file);
        std::sort(left.begin(), left.end());
        auto want = c.left;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(left, want);
        EXPECT_TRUE(fs::exists(current));
        EXPECT_EQ(error ? std::optional<int>(static_cast<int>(error->code)) : std::nullopt, c.code);
        retire();
        fs::remove_all(root_);
    }
}

// A packaging that fails part way (the file-size limit stands for a full
// disk): the fragment stays in ACTIVE, its half-written prep twin is never
// sent, and a later run sends it.
TEST_F(BBXAnalyticsMaintenanceTest, AFullDiskWhilePackagingKeepsTheFragmentForALaterRun) {
    ASSERT_TRUE(start());
    apply(settings(service_->analyticsURL()));
    logCustom(2);
    std::promise<void> opened;
    controller_->openNewSessionFragment([&](std::optional<foundation::Error>) { opened.set_value(); });
    opened.get_future().wait();
    // Random text hardly shrinks: this fragment packs to far more than the limit.
    std::mt19937 random(5);
    std::string noise(400, ' ');
    for (int i = 0; i < 100; ++i) {
        for (auto& ch : noise) ch = static_cast<char>('!' + random() % 90);
        controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("probe", Dictionary{{"i", i}, {"t", noise.substr(0, 100)}}));
    }
    drain();
    fs::path large = fragment();
    size_t before = service_->uploads().size();

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    runMaintenance();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);

    auto uploads = uploadsSince(before);
    ASSERT_EQ(uploads.size(), 1u);  // the small fragment; the half-packaged one not
    EXPECT_TRUE(uploads[0].wellFormed);
    EXPECT_TRUE(fs::exists(large / "2.log"));
    EXPECT_TRUE(log_->contains("[Blackbox:Tally] Unable to package closed session fragments"));

    runMaintenance();
    uploads = uploadsSince(before);
    ASSERT_EQ(uploads.size(), 3u);  // the large fragment, then the empty one that was current
    EXPECT_TRUE(uploads[1].wellFormed);
    EXPECT_FALSE(fs::exists(large));
    std::set<std::string> ids;
    size_t events = 0;
    for (const auto& upload : uploads)
        for (const auto& event : upload.events)
            if (event.key == "custom") {
                ids.insert(event.eventId);
                ++events;
            }
    EXPECT_EQ(events, 102u);
    EXPECT_EQ(ids.size(), 102u);
    EXPECT_TRUE(fragmentsIn(packaged()).empty());
}

// A process killed while appending leaves a torn last line: the fragment goes
// out in its whole lines only, and a log holding nothing whole as an empty part.
TEST_F(BBXAnalyticsMaintenanceTest, ATornLastLineIsNotSent) {
    ASSERT_TRUE(start());
    apply(settings(service_->analyticsURL()));
    logCustom(3);
    fs::path closed = fragment();
    std::string whole = readFile(closed / "2.log");
    std::string line = whole.substr(whole.rfind('\n', whole.size() - 2) + 1);
    std::ofstream(closed / "2.log", std::ios::app) << line.substr(0, line.size() / 2);
    std::ofstream(closed / "0.log") << line.substr(0, 20);
    size_t before = service_->uploads().size();
    runMaintenance();
    auto uploads = uploadsSince(before);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].wellFormed);
    EXPECT_EQ(uploads[0].partNames, (std::vector<std::string>{"0.log.zip", "2.log.zip"}));
    ASSERT_EQ(uploads[0].inflated.size(), 2u);
    EXPECT_EQ(uploads[0].inflated[0], "");
    EXPECT_TRUE(uploads[0].inflated[1] == whole);
    EXPECT_EQ(std::count_if(uploads[0].events.begin(), uploads[0].events.end(),
                            [](const auto& event) { return event.key == "custom"; }),
              3);
}

// Links inside the tree are never followed: a log that is a link to a file
// outside is neither packaged nor sent, and the file survives.
TEST_F(BBXAnalyticsMaintenanceTest, ALinkedLogIsNotPackaged) {
    ASSERT_TRUE(start());
    apply(settings(service_->analyticsURL()));
    logCustom(1);
    fs::path closed = fragment();
    fs::path outside = home_.root() / "secret";
    std::ofstream(outside) << "secret\n";
    fs::create_symlink(outside, closed / "0.log");
    size_t before = service_->uploads().size();
    runMaintenance();
    auto uploads = uploadsSince(before);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].partNames, std::vector<std::string>{"2.log.zip"});
    EXPECT_EQ(readFile(outside), "secret\n");
}

// Without settings nothing starts maintenance: every launch adds a session
// that stays on disk, and nothing is sent. The growth per launch is printed.
TEST_F(BBXAnalyticsMaintenanceTest, LaunchesWithoutSettingsUploadNothingAndGrow) {
    size_t before = service_->requests().size();
    for (int launch = 0; launch < 30; ++launch) {
        timestamps_->now += 60000;
        ASSERT_TRUE(start());
        controller_->logAppInstalled();
        controller_->logAppLaunched();
        logCustom(10);
        center_.post(BBXAnalyticsApplicationLifecycleEvent::kWillTerminateNotification);
        drain();
        EXPECT_EQ(controller_->maintenanceRunCount(), 0u);
        retire();
    }
    EXPECT_EQ(service_->requests().size(), before);
    size_t sessions = 0, files = 0;
    uintmax_t bytes = 0;
    for (const auto& session : fs::directory_iterator(active())) {
        ++sessions;
        for (const auto& item : fs::recursive_directory_iterator(session.path()))
            if (item.is_regular_file()) {
                ++files;
                bytes += item.file_size();
            }
    }
    EXPECT_EQ(sessions, 30u);
    EXPECT_TRUE(fragmentsIn(packaged()).empty());
    std::printf("30 launches without settings: %zu files, %ju bytes (%ju bytes a launch)\n", files, bytes, bytes / 30);
}
