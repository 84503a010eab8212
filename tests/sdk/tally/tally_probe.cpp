// A child program for the analytics tests: starts the kits as the program's
// start-up does (Tally registered, Beacon::with; the key a deployment would
// carry in its Info.plist is set here), then
//   --custom N    logs N custom events "probe" with the attribute "i" = 0..N-1
//   --written     prints "i=<n>" for each event once it is on disk (a barrier on
//                 the low-priority queue every 100 events)
//   --activate    posts the did-become-active notification
//   --seconds S   keeps running S seconds
//   --run R       gives each custom event the attribute "r" = R as well
//   --pinned-anchors PEM
//                 trusts these roots for the kit's pinned requests (settings)
//   --file-limit B
//                 writes the custom events under a file-size limit of B bytes
//                 (RLIMIT_FSIZE), then lifts it and logs one more custom event
//                 with "i" = N, printing "resumed" once it is on disk
//   --debug       Beacon's debug flag, so the kits log their failures
//   --maintain    waits for the settings, runs maintenance to its end and
//                 prints "maintained"
// and finally posts will-terminate and exits 0. The first line is
// "fragment=<folder>" (or "fragment=none" without analytics).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/Certificate.h"
#include "tests/sdk/beacon/BCNPinnedCertificatesReplacement.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/tally/BBXAnalyticsApplicationLifecycleEvent.h"
#include "sdk/tally/BBXAnalyticsController.h"
#include "sdk/tally/Tally.h"

using Lifecycle = BBXAnalyticsApplicationLifecycleEvent;

int main(int argc, char** argv) {
    long custom = 0;
    double seconds = 0;
    long run = -1, fileLimit = -1;
    bool debug = false;
    bool written = false, activate = false, maintain = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--custom") == 0 && i + 1 < argc) custom = std::atol(argv[++i]);
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--written") == 0) written = true;
        else if (std::strcmp(argv[i], "--activate") == 0) activate = true;
        else if (std::strcmp(argv[i], "--maintain") == 0) maintain = true;
        else if (std::strcmp(argv[i], "--debug") == 0) debug = true;
        else if (std::strcmp(argv[i], "--file-limit") == 0 && i + 1 < argc) fileLimit = std::atol(argv[++i]);
        else if (std::strcmp(argv[i], "--run") == 0 && i + 1 < argc) run = std::atol(argv[++i]);
        else if (std::strcmp(argv[i], "--pinned-anchors") == 0 && i + 1 < argc) {
            auto pem = foundation::Data::contentsOfFile(argv[++i], 1 << 20);
            if (!pem.ok()) return 2;
            std::vector<std::vector<uint8_t>> ders;
            for (const auto& certificate : net::Certificate::fromPEM(pem.value().toString()))
                ders.push_back(certificate.derData());
            BCNReplacePinnedCertificatesBeforeFirstUse(std::move(ders));
        } else {
            std::fprintf(stderr, "usage: tally_probe [--custom N] [--written] [--activate] [--seconds S] [--run R] "
                                 "[--pinned-anchors PEM] [--maintain] [--file-limit B] [--debug]\n");
            return 2;
        }
    }
    if (debug) Beacon::sharedSDK()->setDebug(true);
    Tally::registerKitClass(BCNKitRegistry::shared());
    Beacon::sharedSDK()->setAPIKey("probe-key");
    Beacon::with({BCNKitRegistry::shared().classNamed(Tally::kClassName)});
    auto controller = Tally::sharedInstance()->analyticsController();
    std::printf("fragment=%s\n", controller ? controller->currentSessionFragmentDirectoryURL().c_str() : "none");
    std::fflush(stdout);

    long reported = 0;
    auto report = [&](long upTo) {
        if (!written || !controller) return;
        controller->priorityEventLoggingQueue(2)->sync([] {});
        for (; reported < upTo; ++reported) std::printf("i=%ld\n", reported);
        std::fflush(stdout);
    };
    rlimit unlimited{};
    ::getrlimit(RLIMIT_FSIZE, &unlimited);
    if (fileLimit >= 0) {
        rlimit limited = unlimited;
        limited.rlim_cur = static_cast<rlim_t>(fileLimit);
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    for (long i = 0; i < custom; ++i) {
        Tally::Dictionary attributes{{"i", i}};
        if (run >= 0) attributes["r"] = run;
        Tally::logCustomEventWithName("probe", attributes);
        if ((i + 1) % 100 == 0) report(i + 1);
    }
    report(custom);
    if (fileLimit >= 0) {
        // Every event logged under the limit is written (or refused) before it
        // is lifted; otherwise a busy machine writes the queued rest after it.
        if (controller) controller->priorityEventLoggingQueue(2)->sync([] {});
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        Tally::Dictionary attributes{{"i", custom}};
        Tally::logCustomEventWithName("probe", attributes);
        if (controller) controller->priorityEventLoggingQueue(2)->sync([] {});
        std::printf("resumed\n");
    }
    auto& center = foundation::NotificationCenter::defaultCenter();
    if (activate) center.post(Lifecycle::kDidBecomeActiveNotification);
    if (maintain && controller) {
        for (int wait = 0; wait < 400 && !controller->settings()->haveSettings; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::promise<void> done;
        controller->maintainSessionFragments([&done](std::optional<foundation::Error>) { done.set_value(); });
        bool maintained = done.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        // The run started by the settings' arrival may still be sending (this
        // one then skipped its upload): exiting before its answers were taken
        // in would leave accepted fragments to be sent again by the next start.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (maintained) {
            auto busy = std::make_shared<std::promise<bool>>();
            auto answer = busy->get_future();
            controller->sessionMaintenanceQueue()->async([controller, busy] {
                controller->transmitPackagedSessionFragments([busy](std::optional<foundation::Error> error) {
                    busy->set_value(error && error->domain == BBXAnalyticsController::kErrorDomain &&
                                    error->code == BBXAnalyticsController::kUploadInProgress);
                });
            });
            maintained = answer.wait_until(deadline) == std::future_status::ready;
            if (!maintained || !answer.get()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (maintained) std::printf("maintained\n");
        std::fflush(stdout);
    }
    if (seconds > 0) ::usleep(static_cast<useconds_t>(seconds * 1e6));
    center.post(Lifecycle::kWillTerminateNotification);
    std::printf("done\n");
    std::fflush(stdout);
    // Ends without running static destructors: the kits' settings download may
    // still be running on its own thread and reads host facts that exit would
    // destroy under it.
    std::_Exit(0);
}
