// Report folders the crash probe really left, packaged and posted to the kit
// service on loopback (HTTPS with the test certificates): the package's
// parts, the request, the service's answers on the virtual clock, trust with
// and without Beacon's debug flag, the urgent upload's time-out, and what
// packaging does with links, FIFOs, folders and unreadable files.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/net/Certificate.h"
#include "platform/net/TrustStore.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/BCNDeveloperToken.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXNetworkClient.h"
#include "sdk/blackbox/BBXNetworkClientDelegate.h"
#include "sdk/blackbox/BBXPackageReportOperation.h"
#include "sdk/blackbox/BBXReportsController.h"
#include "sdk/blackbox/BBXReportsControllerDelegate.h"
#include "sdk/blackbox/BBXSettings.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::FakeKitService;
using testsupport::Reply;
using testsupport::TestCertificates;

constexpr const char* kBundleIdentifier = "org.example.crash/pkg";
constexpr const char* kEscapedIdentifier = "org.example.crash_pkg";

// A sanitizer runtime leaves the fault signals and the alternate stacks to the kit.
const std::map<std::string, std::string> kCrashEnvironment = {
    {"ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0:"
                     "use_sigaltstack=0:detect_leaks=0"}};

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> found;
    if (!fs::exists(folder)) return found;
    for (const auto& entry : fs::directory_iterator(folder)) found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

// Without the capabilities that let the superuser read any file, for the
// calling thread (packaging runs on it) while the object lives.
class FilePermissionsApply {
public:
    FilePermissionsApply() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &header_, reduced);
    }
    ~FilePermissionsApply() { syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
};

// Answers as the crash-reporting controller does, and records the outcomes.
class Owner : public BBXReportsControllerDelegate, public BBXNetworkClientDelegate {
public:
    struct Outcome {
        std::string path;
        std::optional<foundation::Error> error;
    };

    explicit Owner(std::shared_ptr<foundation::Bundle> bundle) : bundle_(std::move(bundle)) {}

    std::shared_ptr<BBXSettings> settingsForReportsController(BBXReportsController&) override {
        return std::make_shared<BBXSettings>(nullptr, bundle_);
    }
    std::optional<std::string> APIKeyForReportsController(BBXReportsController&) override { return "probe-key"; }
    std::optional<std::string> bundleIdentifierForReportsController(BBXReportsController&) override {
        return BCNApplicationGetEscapedBundleIdentifier(bundle_);
    }
    void reportsControllerDidCompletePackageSubmission(BBXReportsController&, const std::string& path,
                                                       const std::optional<foundation::Error>& error) override {
        std::lock_guard lock(mutex_);
        outcomes_.push_back({path, error});
        changed_.notify_all();
    }
    bool networkClientCanUseBackgroundSessions(BBXNetworkClient&) override { return true; }
    void networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                              const std::optional<foundation::Error>& error) override {
        if (auto controller = controller_.lock()) controller->reportUploadAtPath(path, error);
    }

    void setController(std::weak_ptr<BBXReportsController> controller) { controller_ = std::move(controller); }
    std::optional<Outcome> waitForOutcome(size_t count, std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return outcomes_.size() >= count; })) return std::nullopt;
        return outcomes_[count - 1];
    }
    size_t outcomeCount() {
        std::lock_guard lock(mutex_);
        return outcomes_.size();
    }

private:
    std::shared_ptr<foundation::Bundle> bundle_;
    std::weak_ptr<BBXReportsController> controller_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Outcome> outcomes_;
};

class BBXReportsControllerTest : public ::testing::Test {
protected:
    // One real crash report for the whole suite, copied into each test's tree.
    static void SetUpTestSuite() {
        char folder[] = "/tmp/bbx-package-XXXXXX";
        ASSERT_TRUE(mkdtemp(folder));
        crashRoot_ = new fs::path(folder);
        fs::path report = *crashRoot_ / "crash";
        fs::create_directories(report);
        auto probe = testsupport::ChildProcess::start(
            {BBX_CRASH_PROBE, "core", "--report-dir", report.string(), "--scenario", "segv-null"}, kCrashEnvironment);
        ASSERT_TRUE(probe);
        ASSERT_EQ(probe->wait(60s), 128 + SIGSEGV);
        ASSERT_TRUE(fs::exists(report / "mach_exception.bbxrecord"));
    }
    static void TearDownTestSuite() {
        fs::remove_all(*crashRoot_);
        delete crashRoot_;
    }
    static fs::path crashReport() { return *crashRoot_ / "crash"; }

    void SetUp() override {
        Beacon::sharedSDK()->setDebug(true);
        net::TrustStore::setDefaultAnchors(net::Certificate::fromPEM(TestCertificates::shared().rootA().certificatePEM));
    }
    void TearDown() override {
        controller_.reset();
        client_.reset();
        if (queue_) queue_->waitUntilAllOperationsAreFinished();
        dispatch::Clock::useRealTime();
        net::TrustStore::useSystemAnchors();
        Beacon::sharedSDK()->setDebug(false);
        unsetenv("BlackboxSubmitReports");
    }

    // The controller and its client over a service with this leaf's identity.
    void start(TestCertificates::Leaf leaf = TestCertificates::Leaf::Good) {
        service_ = std::make_unique<FakeKitService>(leaf);
        ASSERT_TRUE(service_->start());
        write(home_.root() / "App.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>" + std::string(kBundleIdentifier) + "</string>"
              "<key>Blackbox</key><dict><key>ReportsEndpoint</key><string>" + service_->baseURL() +
              "</string></dict></dict></plist>\n");
        bundle_ = foundation::Bundle::withPath(home_.root() / "App.app");
        fileManager_ = std::make_shared<BBXFileManager>(bundle_);
        ASSERT_TRUE(fileManager_->prepareForNewLaunch());
        queue_ = dispatch::OperationQueue::create("org.blackbox.mac.work-queue", 1);
        owner_ = std::make_shared<Owner>(bundle_);
        client_ = BBXNetworkClient::create(queue_, fileManager_, owner_);
        controller_ = std::make_shared<BBXReportsController>(queue_, owner_, client_, fileManager_);
        owner_->setController(controller_);
    }

    // A copy of the crash report in "active", as an earlier launch leaves it.
    std::shared_ptr<BBXInternalReport> earlierReport(const std::string& name = "earlier") {
        fs::path folder = fs::path(fileManager_->activePath()) / name;
        fs::copy(crashReport(), folder, fs::copy_options::recursive);
        return BBXInternalReport::reportWithPath(folder.string());
    }

    // A package made from the crash report, left in "prepared".
    std::string package() {
        auto report = earlierReport("to-package");
        BBXPackageReportOperation operation(report, fileManager_);
        operation.start();
        EXPECT_TRUE(operation.finalPath());
        fs::remove_all(report->path());
        return operation.finalPath().value_or("");
    }

    std::vector<std::string> prepared() const { return names(fileManager_->preparedPath()); }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
    std::unique_ptr<FakeKitService> service_;
    std::shared_ptr<foundation::Bundle> bundle_;
    std::shared_ptr<BBXFileManager> fileManager_;
    std::shared_ptr<dispatch::OperationQueue> queue_;
    std::shared_ptr<Owner> owner_;
    std::shared_ptr<BBXNetworkClient> client_;
    std::shared_ptr<BBXReportsController> controller_;

    static fs::path* crashRoot_;
};

fs::path* BBXReportsControllerTest::crashRoot_ = nullptr;

TEST_F(BBXReportsControllerTest, ThePackageHoldsKeyIdAndEveryRecordFileGzippedInListingOrder) {
    start();
    auto report = earlierReport();
    ASSERT_TRUE(report);
    // Leftovers of an earlier packaging and hidden names stay out.
    write(report->path() + "/metadata.bbxrecord.gz", "left over");
    write(report->path() + "/.hidden", "hidden");

    ASSERT_TRUE(controller_->prepareAndSubmitReport(report, false, true));
    auto outcome = owner_->waitForOutcome(1, 30s);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->error) << outcome->error->description();
    EXPECT_TRUE(prepared().empty());
    EXPECT_TRUE(names(fileManager_->processingPath()).empty());
    EXPECT_FALSE(fs::exists(fileManager_->activePath() + "/earlier"));

    auto requests = service_->requests(FakeKitService::Route::Reports);
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.body.rfind("MIME-Version: 1.0\r\n", 0), 0u);
    auto fields = FakeKitService::multipartFields(request);
    ASSERT_GE(fields.size(), 2u);
    EXPECT_EQ(fields[0].name, "api_key");
    EXPECT_EQ(fields[0].value, "probe-key");
    EXPECT_EQ(fields[1].name, "report_id");
    EXPECT_EQ(fields[1].value, report->identifier());

    // The crash report's own files, the symbolicated companion beside its record.
    std::vector<std::string> expected;
    for (const auto& name : names(crashReport()))
        if (name[0] != '.') expected.push_back(name);
    expected.push_back("mach_exception.bbxrecord.symbolicated");
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> partNames;
    for (size_t i = 2; i < fields.size(); ++i) {
        const auto& field = fields[i];
        SCOPED_TRACE(field.name);
        std::string source = expected.at(i - 2);
        partNames.push_back(field.name);
        EXPECT_EQ(field.fileName, source + ".gz");
        EXPECT_EQ(field.contentType, "application/x-gzip");
        auto inflated = FakeKitService::gunzip(field.value);
        ASSERT_TRUE(inflated);
        if (fs::exists(crashReport() / source))
            EXPECT_EQ(*inflated, contents(crashReport() / source));
        else
            EXPECT_NE(inflated->find("\"threads\""), std::string::npos);
    }
    EXPECT_EQ(partNames.size(), expected.size());
    for (const char* name : {"metadata", "binary_images", "sdk", "mach_exception", "mach_exception.bbxrecord"})
        EXPECT_NE(std::find(partNames.begin(), partNames.end(), name), partNames.end()) << name;
}

TEST_F(BBXReportsControllerTest, TheRequestIsAPostWithTheKitHeadersAndThePackageSize) {
    start();
    std::string path = package();
    uint64_t size = fs::file_size(path);
    ASSERT_TRUE(controller_->uploadPackagedReportAtPath(path, false));
    ASSERT_TRUE(owner_->waitForOutcome(1, 30s));

    auto requests = service_->requests(FakeKitService::Route::Reports);
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, std::string("/sdk-api/v1/platforms/mac/apps/") + kEscapedIdentifier + "/reports");
    EXPECT_EQ(request.bodyLength, size);
    std::string boundary = fs::path(path).stem().string();
    const std::map<std::string, std::string> headers = {
        {"User-Agent", "Blackbox Mac SDK/3.6.0"},
        {"Accept", "application/json"},
        {"Accept-Charset", "utf-8"},
        {"Accept-Language", "en_US_POSIX"},
        {"Content-Language", "en_US_POSIX"},
        {"X-Blackbox-Developer-Token", BCNDeveloperToken},
        {"X-Blackbox-API-Client-Id", "org.blackbox.mac"},
        {"X-Blackbox-API-Client-Display-Version", "3.6.0"},
        {"X-Blackbox-API-Client-Build-Version", "99"},
        {"X-Blackbox-API-Key", "probe-key"},
        {"Content-Type", "multipart/form-data; boundary=" + boundary},
        {"Content-Length", std::to_string(size)},
    };
    for (const auto& [name, value] : headers) EXPECT_EQ(request.header(name), value) << name;
}

TEST_F(BBXReportsControllerTest, AnswersOfTheServiceOnTheVirtualClock) {
    struct Row {
        const char* name;
        std::vector<Reply> replies;
        double retryAfter;  // seconds to the restart; 0 for none
        bool kept;
        std::optional<int64_t> errorCode;
    };
    Reply rateLimited = Reply::text("{}", 429, "application/json");
    rateLimited.headers.push_back({"Retry-After", "30"});
    const Row rows[] = {
        {"200 removes the package", {Reply::text("{}", 200, "application/json")}, 0, false, std::nullopt},
        {"500 starts again 2 s later",
         {Reply::text("down", 500), Reply::text("{}", 200, "application/json")}, 2.0, false, std::nullopt},
        {"429 starts again after Retry-After",
         {rateLimited, Reply::text("{}", 200, "application/json")}, 30.0, false, std::nullopt},
        {"404 keeps the package and tells the owner", {Reply::text("no", 404)}, 0, true, -5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        start();
        dispatch::Clock::useVirtualTime(1000);
        service_->scriptReports(row.replies);
        std::string path = package();
        ASSERT_TRUE(controller_->uploadPackagedReportAtPath(path, false));
        if (row.retryAfter > 0) {
            ASSERT_TRUE(service_->waitForReports(1, 30));
            // The restart waits on the clock, on the work queue.
            std::optional<double> deadline;
            for (int i = 0; i < 3000 && !deadline; ++i) {
                std::this_thread::sleep_for(10ms);
                deadline = dispatch::Clock::nextDeadline();
            }
            ASSERT_TRUE(deadline);
            EXPECT_NEAR(*deadline - dispatch::Clock::now(), row.retryAfter, 0.01);
            EXPECT_EQ(owner_->outcomeCount(), 0u);
            EXPECT_TRUE(fs::exists(path));
            // The delay is kept in single precision: 30 s is a hair more.
            dispatch::Clock::advance(*deadline - dispatch::Clock::now());
        }
        auto outcome = owner_->waitForOutcome(1, 30s);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->path, path);
        EXPECT_EQ(fs::exists(path), row.kept);
        EXPECT_EQ(service_->requests(FakeKitService::Route::Reports).size(), row.retryAfter > 0 ? 2u : 1u);
        if (row.errorCode) {
            ASSERT_TRUE(outcome->error);
            EXPECT_EQ(outcome->error->code, *row.errorCode);
        } else {
            EXPECT_FALSE(outcome->error) << outcome->error->description();
        }
    }
}

TEST_F(BBXReportsControllerTest, AnEmptyPackageIsNotSentAndStays) {
    start();
    std::string path = fileManager_->preparedPath() + "/0A1B2C3D-0000-4000-8000-000000000000.multipartmime";
    write(path, "");
    EXPECT_FALSE(controller_->uploadPackagedReportAtPath(path, false));
    EXPECT_FALSE(controller_->uploadPackagedReportAtPath(path, true));
    EXPECT_TRUE(fs::exists(path));
    EXPECT_TRUE(service_->requests().empty());
}

TEST_F(BBXReportsControllerTest, SubmissionSwitchedOffKeepsEveryPackage) {
    start();
    setenv("BlackboxSubmitReports", "0", 1);
    auto first = earlierReport("first");
    auto second = earlierReport("second");
    EXPECT_FALSE(controller_->prepareAndSubmitReport(first, false, true));
    EXPECT_FALSE(controller_->prepareAndSubmitReport(second, true, true));
    EXPECT_EQ(prepared().size(), 2u);
    EXPECT_GE(log_->count("[Blackbox:Crash:Reports] Submission disabled"), 2u);
    EXPECT_TRUE(service_->requests().empty());
}

TEST_F(BBXReportsControllerTest, PinningRefusesTheTestServerUnlessDebugTrustsItsRoot) {
    struct Row {
        const char* name;
        TestCertificates::Leaf leaf;
        bool debug;
        bool accepted;
    };
    const Row rows[] = {
        {"not pinned, debug off", TestCertificates::Leaf::Good, false, false},
        {"default trust in debug", TestCertificates::Leaf::Good, true, true},
        {"other root, debug on", TestCertificates::Leaf::OtherRoot, true, false},
        {"other root, debug off", TestCertificates::Leaf::OtherRoot, false, false},
    };
    for (const Row& row : rows) {
        for (bool urgent : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (urgent ? ", urgent" : ""));
            TearDown();
            SetUp();
            start(row.leaf);
            Beacon::sharedSDK()->setDebug(row.debug);
            std::string path = package();
            ASSERT_TRUE(controller_->uploadPackagedReportAtPath(path, urgent));
            if (!urgent || row.accepted) {
                auto outcome = owner_->waitForOutcome(1, 30s);
                ASSERT_TRUE(outcome);
                EXPECT_EQ(!outcome->error, row.accepted);
            } else {
                // A refused urgent upload tells nobody.
                EXPECT_EQ(owner_->outcomeCount(), 0u);
            }
            EXPECT_EQ(fs::exists(path), !row.accepted);
            // A refused handshake never carries the request.
            EXPECT_EQ(service_->requests(FakeKitService::Route::Reports).size(), row.accepted ? 1u : 0u);
        }
    }
}

TEST_F(BBXReportsControllerTest, AnUrgentUploadToASilentServiceGivesUpAfterTwoSeconds) {
    start();
    Reply silent;
    silent.neverAnswer = true;
    service_->scriptReports({silent});
    std::string path = package();
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(controller_->uploadPackagedReportAtPath(path, true));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_GE(seconds, 1.9);
    EXPECT_LT(seconds, 6.0);  // two seconds, with room for a loaded machine
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(owner_->outcomeCount(), 0u);
    service_->stop();
}

TEST_F(BBXReportsControllerTest, OnlyRegularFilesArePackedAndAnUnreadableOneIsAnEmptyStream) {
    start();
    auto report = earlierReport();
    fs::path folder = report->path();
    write(home_.root() / "outside/secret.txt", "not for the service");
    fs::create_symlink(home_.root() / "outside/secret.txt", folder / "secret.txt");
    ASSERT_EQ(mkfifo((folder / "pipe.bbxrecord").c_str(), 0600), 0);
    fs::create_directories(folder / "folder.d");
    write(folder / "locked.bbxrecord", "unreadable");
    fs::permissions(folder / "locked.bbxrecord", fs::perms::none);

    {
        FilePermissionsApply permissions;
        ASSERT_TRUE(controller_->prepareAndSubmitReport(report, false, false));
    }
    ASSERT_TRUE(owner_->waitForOutcome(1, 30s));
    auto requests = service_->requests(FakeKitService::Route::Reports);
    ASSERT_EQ(requests.size(), 1u);
    std::map<std::string, std::string> parts;
    for (const auto& field : FakeKitService::multipartFields(requests[0]))
        parts[field.name] = FakeKitService::gunzip(field.value).value_or("(not gzip)");
    EXPECT_FALSE(parts.count("secret"));
    EXPECT_FALSE(parts.count("pipe"));
    EXPECT_FALSE(parts.count("folder"));
    EXPECT_EQ(parts.at("locked"), "");
    for (const auto& [name, body] : parts) EXPECT_EQ(body.find("not for the service"), std::string::npos) << name;
    // The link's target is untouched, and nothing was written through the link.
    EXPECT_EQ(contents(home_.root() / "outside/secret.txt"), "not for the service");
    EXPECT_FALSE(fs::exists(home_.root() / "outside/secret.txt.gz"));
}

TEST_F(BBXReportsControllerTest, AReportWithoutAnAPIKeyHasNoSuchPart) {
    start();
    auto report = earlierReport();
    std::string metadata = contents(report->metadataPath());
    const std::string key = "\"api_key\":\"probe-key\",";
    auto at = metadata.find(key);
    ASSERT_NE(at, std::string::npos) << metadata;
    metadata.erase(at, key.size());
    write(report->metadataPath(), metadata);
    report = BBXInternalReport::reportWithPath(report->path());
    ASSERT_TRUE(report);
    ASSERT_TRUE(controller_->prepareAndSubmitReport(report, false, false));
    ASSERT_TRUE(owner_->waitForOutcome(1, 30s));
    auto requests = service_->requests(FakeKitService::Route::Reports);
    ASSERT_EQ(requests.size(), 1u);
    auto fields = FakeKitService::multipartFields(requests[0]);
    ASSERT_FALSE(fields.empty());
    EXPECT_EQ(fields[0].name, "report_id");
}

// The probe's package command, a process of its own as the kit's next launch.
TEST_F(BBXReportsControllerTest, TheProbePackagesAndUploadsAReportItLeft) {
    start();
    fs::path anchors = home_.root() / "roots.pem";
    write(anchors, TestCertificates::shared().rootA().certificatePEM);
    struct Row {
        const char* name;
        std::vector<std::string> flags;
        int status;
    };
    // Ordinary uploads only: an urgent one has 2 s for a fresh process's whole
    // exchange, too few on a loaded machine; the in-process cases cover them.
    const Row rows[] = {
        {"debug", {"--debug"}, 0},
        {"pinned", {}, 1},
    };
    int number = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::path folder = home_.root() / ("left-" + std::to_string(++number));
        fs::copy(crashReport(), folder, fs::copy_options::recursive);
        fs::create_symlink(home_.root() / "roots.pem", folder / "link.pem");
        std::vector<std::string> argv{BBX_CRASH_PROBE, "package", "--report-dir", folder.string()};
        argv.insert(argv.end(), row.flags.begin(), row.flags.end());
        auto result = testsupport::runCommand(
            argv, 60s,
            {{"TAVLO_BUNDLE", (home_.root() / "App.app").string()},
             {"SSL_CERT_FILE", anchors.string()},
             {"BlackboxReportsEndpoint", service_->baseURL()}});
        EXPECT_EQ(result.status, row.status) << result.output;
        std::string packaged = result.output.substr(0, result.output.find('\n'));
        EXPECT_EQ(packaged.rfind(fileManager_->preparedPath() + "/", 0), 0u) << result.output;
        EXPECT_EQ(fs::exists(packaged), row.status != 0);
        EXPECT_FALSE(fs::exists(folder));
    }
    // The link was passed over with a line in the probe launch's own log.
    bool logged = false;
    for (const auto& launch : fs::directory_iterator(fileManager_->activePath()))
        logged = logged || contents(launch.path() / "sdk.log").find("link.pem") != std::string::npos;
    EXPECT_TRUE(logged);
    EXPECT_EQ(service_->requests(FakeKitService::Route::Reports).size(), 1u);
}

}  // namespace
