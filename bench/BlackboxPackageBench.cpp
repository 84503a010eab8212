// The crash kit's packaging and upload of one report folder, beside its peer
// in the same run:
// - a 1 MiB report folder of 12 record files (JSON lines of the shapes the
//   capture core writes, one file of 256 KiB, the rest smaller) packaged and
//   posted by BBXReportsController::prepareAndSubmitReport, urgent (sent on
//   this thread) and without symbolication, to FakeKitService over loopback
//   HTTPS; beside `gzip -6 -k` of the same 12 files and `curl -F` of the 12
//   compressed files to the same service, each a process started through the
//   shell (best and median of the rounds);
// - peak memory of the kit's run: the growth of VmHWM over the resident size
//   (reset through /proc/self/clear_refs), beside the largest file.
// The service runs in a forked child, so its copy of the body is not counted.
// A plain timing program.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchKitService.h"
#include "BenchProcess.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/net/Certificate.h"
#include "platform/net/TrustStore.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXNetworkClient.h"
#include "sdk/blackbox/BBXNetworkClientDelegate.h"
#include "sdk/blackbox/BBXReportsController.h"
#include "sdk/blackbox/BBXReportsControllerDelegate.h"
#include "sdk/blackbox/BBXSettings.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/TestCertificates.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRounds = 15;
constexpr size_t kFolderBytes = 1u << 20;
constexpr size_t kLargestFileBytes = 256u << 10;
const char* const kFileNames[12] = {
    "binary_images.bbxrecord", "custom_exception_a.bbxrecord", "custom_exception_b.bbxrecord",
    "errors_a.bbxrecord",      "errors_b.bbxrecord",           "internal_incremental_kv.bbxrecord",
    "log_a.bbxrecord",         "log_b.bbxrecord",              "mach_exception.bbxrecord",
    "metadata.bbxrecord",      "sdk.log",                      "user_compacted_kv.bbxrecord",
};

class Owner : public BBXReportsControllerDelegate, public BBXNetworkClientDelegate {
public:
    explicit Owner(std::shared_ptr<foundation::Bundle> bundle) : bundle_(std::move(bundle)) {}
    std::shared_ptr<BBXSettings> settingsForReportsController(BBXReportsController&) override {
        return std::make_shared<BBXSettings>(nullptr, bundle_);
    }
    std::optional<std::string> APIKeyForReportsController(BBXReportsController&) override { return "bench-key"; }
    std::optional<std::string> bundleIdentifierForReportsController(BBXReportsController&) override {
        return BCNApplicationGetEscapedBundleIdentifier(bundle_);
    }
    void reportsControllerDidCompletePackageSubmission(BBXReportsController&, const std::string&,
                                                       const std::optional<foundation::Error>& error) override {
        accepted = !error;
    }
    bool networkClientCanUseBackgroundSessions(BBXNetworkClient&) override { return true; }
    void networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                              const std::optional<foundation::Error>& error) override {
        if (controller) controller->reportUploadAtPath(path, error);
    }

    BBXReportsController* controller = nullptr;
    bool accepted = false;

private:
    std::shared_ptr<foundation::Bundle> bundle_;
};

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Record lines as the capture core writes them: sections of hex addresses,
// names and numbers, which compress about as real ones do.
std::string recordText(std::mt19937_64& random, size_t bytes) {
    static const char* names[] = {"ProbeLevel1", "QCoreApplication::exec", "start_thread", "TLPasteboardManager",
                                  "clone3", "dispatch::SerialQueue::drain", "main"};
    std::string text;
    while (text.size() < bytes) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "{\"frame\":{\"pc\":%llu,\"offset\":%u,\"symbol\":\"%s\",\"image\":\"%016llx\"}}\n",
                      static_cast<unsigned long long>(0x555555554000ull + random() % 0x400000), unsigned(random() % 4096),
                      names[random() % 7], static_cast<unsigned long long>(random()));
        text += line;
    }
    text.resize(bytes);
    return text;
}

void makeReport(const fs::path& folder) {
    fs::create_directories(folder);
    std::mt19937_64 random(5);
    size_t rest = (kFolderBytes - kLargestFileBytes) / 11;
    for (int i = 0; i < 12; ++i) {
        size_t bytes = i == 8 ? kLargestFileBytes : rest;
        std::string text = recordText(random, bytes);
        if (std::string(kFileNames[i]) == "metadata.bbxrecord")
            text = "{\"identity\":{\"api_key\":\"bench-key\",\"session_id\":\"0123456789abcdef0123456789abcdef\"}}\n" +
                   text.substr(0, bytes - 80);
        writeFile(folder / kFileNames[i], text);
    }
}

double secondsSince(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
    fs::path folder = fs::temp_directory_path() / ("tavlo-blackbox-package-bench-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    ::setenv("XDG_CACHE_HOME", (folder / "cache").c_str(), 1);
    // Keys before the fork, so the child serves with the same root the parent trusts.
    const auto& certificates = testsupport::TestCertificates::shared();
    std::string baseURL;
    int keepAlive = -1;
    pid_t child = bench::startKitServiceChild(baseURL, keepAlive);
    if (child < 0 || baseURL.empty()) {
        std::printf("the service did not start\n");
        return 1;
    }
    writeFile(folder / "root.pem", certificates.rootA().certificatePEM);
    net::TrustStore::setDefaultAnchors(net::Certificate::fromPEM(certificates.rootA().certificatePEM));
    Beacon::sharedSDK()->setDebug(true);

    fs::create_directories(folder / "App.app/Contents");
    writeFile(folder / "App.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>org.example.bench</string>"
              "<key>Blackbox</key><dict><key>ReportsEndpoint</key><string>" + baseURL +
              "</string></dict></dict></plist>\n");
    auto bundle = foundation::Bundle::withPath(folder / "App.app");
    auto fileManager = std::make_shared<BBXFileManager>(bundle);
    fileManager->prepareForNewLaunch();
    auto queue = dispatch::OperationQueue::create("org.blackbox.mac.work-queue", 1);
    auto owner = std::make_shared<Owner>(bundle);
    auto client = BBXNetworkClient::create(queue, fileManager, owner);
    auto controller = std::make_shared<BBXReportsController>(queue, owner, client, fileManager);
    owner->controller = controller.get();

    fs::path source = folder / "report";
    makeReport(source);
    fs::path peer = folder / "peer";
    std::string url = baseURL + "/sdk-api/v1/platforms/mac/apps/org.example.bench/reports";
    std::string gzip = "cd '" + peer.string() + "' && gzip -6 -k -f";
    std::string curl = "cd '" + peer.string() + "' && curl -s -f -o /dev/null --cacert '" +
                       (folder / "root.pem").string() + "'";
    for (const char* name : kFileNames) {
        gzip += std::string(" ") + name;
        curl += std::string(" -F '") + fs::path(name).stem().string() + "=@" + name + ".gz;type=application/x-gzip'";
    }
    curl += " '" + url + "'";

    std::vector<double> ours, theirs;
    long peakKiB = 0;
    bool allAccepted = true, peerOk = true;
    for (int round = 0; round <= kRounds; ++round) {
        fs::path active = fs::path(fileManager->activePath()) / ("round-" + std::to_string(round));
        fs::copy(source, active, fs::copy_options::recursive);
        fs::remove_all(peer);
        fs::copy(source, peer, fs::copy_options::recursive);
        auto report = BBXInternalReport::reportWithPath(active.string());
        owner->accepted = false;

        bench::resetPeak();
        long base = bench::selfStatusKiB("VmRSS:");
        auto start = std::chrono::steady_clock::now();
        bool sent = report && controller->prepareAndSubmitReport(report, true, false);
        double kit = secondsSince(start);
        long grown = bench::selfStatusKiB("VmHWM:") - base;

        start = std::chrono::steady_clock::now();
        bool zipped = bench::runShell(gzip) == 0;
        bool posted = bench::runShell(curl) == 0;
        double other = secondsSince(start);
        // Round 0 warms the connection, the threads and the page cache.
        if (round == 0) continue;
        allAccepted = allAccepted && sent && owner->accepted && fileManager->preparedPathContents().empty();
        peerOk = peerOk && zipped && posted;
        ours.push_back(kit);
        theirs.push_back(other);
        peakKiB = std::max(peakKiB, grown);
    }
    double best = *std::min_element(ours.begin(), ours.end());
    double peerBest = *std::min_element(theirs.begin(), theirs.end());
    std::printf("1 MiB report folder of 12 files, %d rounds (%s; peer %s):\n", kRounds,
                allAccepted ? "every upload accepted" : "SOME UPLOADS FAILED", peerOk ? "ok" : "FAILED");
    std::printf("  kit package + upload: best %.1f ms, median %.1f ms\n", best * 1e3, bench::median(ours) * 1e3);
    std::printf("  gzip -6 + curl -F:    best %.1f ms, median %.1f ms\n", peerBest * 1e3, bench::median(theirs) * 1e3);
    std::printf("  ratio: best %.2fx, median %.2fx (target <= 1.5x)\n", best / peerBest, bench::median(ours) / bench::median(theirs));
    std::printf("  peak memory growth %ld KiB = %.2fx the largest file (%zu KiB; target <= 2x)\n", peakKiB,
                static_cast<double>(peakKiB) / (kLargestFileBytes / 1024.0), kLargestFileBytes / 1024);

    controller.reset();
    client.reset();
    queue->waitUntilAllOperationsAreFinished();
    bench::stopKitServiceChild(child, keepAlive);
    std::error_code ec;
    fs::remove_all(folder, ec);
    return 0;
}
