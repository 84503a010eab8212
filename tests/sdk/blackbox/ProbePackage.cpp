// The probe's package command: what the kit's next launch does with one
// report folder it accepted, in a process of its own.
//   bbx_crash_probe package --report-dir DIR [--urgent] [--debug]
//       prepares the stage folders of the main bundle's tree and a launch
//       folder of its own in "active" (its "sdk.log" takes the kit's lines),
//       then prepares and submits DIR with processing through a reports
//       controller whose owner answers "probe-key", the escaped bundle
//       identifier and settings from the environment and the bundle.
//       --debug sets Beacon's debug flag (default trust instead of the pins).
//       Prints the packaged path; exits 0 once the upload succeeded and the
//       package is gone, 1 otherwise.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/OperationQueue.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXNetworkClient.h"
#include "sdk/blackbox/BBXNetworkClientDelegate.h"
#include "sdk/blackbox/BBXReportsController.h"
#include "sdk/blackbox/BBXReportsControllerDelegate.h"
#include "sdk/blackbox/BBXSettings.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

class PackageOwner : public BBXReportsControllerDelegate, public BBXNetworkClientDelegate {
public:
    std::shared_ptr<BBXSettings> settingsForReportsController(BBXReportsController&) override {
        return std::make_shared<BBXSettings>(Beacon::sharedSDK()->settings());
    }
    std::optional<std::string> APIKeyForReportsController(BBXReportsController&) override { return "probe-key"; }
    std::optional<std::string> bundleIdentifierForReportsController(BBXReportsController&) override {
        return BCNApplicationGetEscapedBundleIdentifier();
    }
    void reportsControllerDidCompletePackageSubmission(BBXReportsController&, const std::string& path,
                                                       const std::optional<foundation::Error>& error) override {
        std::lock_guard lock(mutex_);
        path_ = path;
        succeeded_ = !error;
        if (error) std::fprintf(stderr, "upload failed: %s\n", error->description().c_str());
        done_.notify_all();
    }
    bool networkClientCanUseBackgroundSessions(BBXNetworkClient&) override { return true; }
    void networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                              const std::optional<foundation::Error>& error) override {
        if (auto controller = controller_.lock()) controller->reportUploadAtPath(path, error);
    }

    void setController(std::weak_ptr<BBXReportsController> controller) { controller_ = std::move(controller); }
    // The outcome's path and success, once one came within timeout.
    std::optional<std::pair<std::string, bool>> waitForOutcome(std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        if (!done_.wait_for(lock, timeout, [&] { return succeeded_.has_value(); })) return std::nullopt;
        return std::make_pair(path_, *succeeded_);
    }

private:
    std::weak_ptr<BBXReportsController> controller_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::string path_;
    std::optional<bool> succeeded_;
};

}  // namespace

int ProbePackage(int argc, char** argv) {
    std::string reportDir;
    bool urgent = false, debug = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--report-dir") == 0 && i + 1 < argc) reportDir = argv[++i];
        else if (std::strcmp(argv[i], "--urgent") == 0) urgent = true;
        else if (std::strcmp(argv[i], "--debug") == 0) debug = true;
        else return 2;
    }
    if (reportDir.empty()) return 2;
    Beacon::sharedSDK()->setDebug(debug);

    auto fileManager = std::make_shared<BBXFileManager>();
    if (!fileManager->prepareForNewLaunch()) return 1;
    std::string sessionID = BBXLowercaseUUIDString();
    auto launch = fileManager->setupNewPathForExecutionIdentifier(sessionID);
    if (!launch) return 1;
    BBXContextInitData data;
    data.apiKey = "probe-key";
    data.reportPath = launch->c_str();
    data.sessionID = sessionID.c_str();
    BBXContextInitialize(&data);

    auto report = BBXInternalReport::reportWithPath(reportDir);
    if (!report) return 1;
    auto queue = dispatch::OperationQueue::create("org.blackbox.mac.work-queue", 1);
    auto owner = std::make_shared<PackageOwner>();
    auto client = BBXNetworkClient::create(queue, fileManager, owner);
    auto controller = std::make_shared<BBXReportsController>(queue, owner, client, fileManager);
    owner->setController(controller);

    bool started = controller->prepareAndSubmitReport(report, urgent, true);
    auto listing = fileManager->preparedPathContents();
    // An urgent upload has ended by now; an ordinary one reports back.
    auto outcome = owner->waitForOutcome(std::chrono::seconds(started && !urgent ? 30 : 0));
    std::string packaged = outcome ? outcome->first : listing.empty() ? std::string() : listing.front();
    std::printf("%s\n", packaged.c_str());
    std::fflush(stdout);
    bool uploaded = outcome && outcome->second && !packaged.empty() && !std::filesystem::exists(packaged);
    controller.reset();
    client.reset();
    queue->waitUntilAllOperationsAreFinished();
    return uploaded ? 0 : 1;
}
