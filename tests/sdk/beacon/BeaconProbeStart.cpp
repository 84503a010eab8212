#include "tests/sdk/beacon/BeaconProbeStart.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/foundation/Data.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/Certificate.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNSettingsOnboardingManager.h"
#include "sdk/beacon/Beacon.h"
#include "tests/sdk/beacon/BCNPinnedCertificatesReplacement.h"

int beaconProbeStart(int argc, char** argv) {
    std::optional<double> wait;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--pinned-anchors") && i + 1 < argc) {
            auto pem = foundation::Data::contentsOfFile(argv[++i], 1 << 20);
            if (!pem.ok()) {
                std::fprintf(stderr, "beacon_probe: cannot read %s\n", argv[i]);
                return 2;
            }
            std::vector<std::vector<uint8_t>> ders;
            for (const auto& certificate : net::Certificate::fromPEM(pem.value().toString()))
                ders.push_back(certificate.derData());
            BCNReplacePinnedCertificatesBeforeFirstUse(std::move(ders));
        } else if (!std::strcmp(argv[i], "--wait") && i + 1 < argc) {
            wait = std::strtod(argv[++i], nullptr);
        } else {
            std::fprintf(stderr, "usage: beacon_probe start [--pinned-anchors PEM] [--wait S]\n");
            return 2;
        }
    }

    std::mutex mutex;
    std::condition_variable posted;
    int count = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    foundation::ObserverRegistration observer(
        center, center.addObserver(BCNSettingsAvailableNotification, nullptr, [&](const foundation::Notification&) {
            std::lock_guard lock(mutex);
            ++count;
            posted.notify_all();
        }));

    try {
        Beacon::with({});
        std::printf("with: ok\n");
    } catch (const BCNException& exception) {
        std::printf("with: BCNException: %s\n", exception.reason().c_str());
    }
    if (!wait) return 0;

    {
        std::unique_lock lock(mutex);
        if (posted.wait_for(lock, std::chrono::duration<double>(*wait), [&] { return count > 0; }))
            posted.wait_for(lock, std::chrono::seconds(1), [] { return false; });
        std::printf("settings-available %d\n", count);
    }
    auto settings = Beacon::sharedSDK()->settings();
    std::string document;
    if (settings) document = foundation::JSON::write(foundation::PlistValue(*settings)).value();
    std::printf("settings=%s\n", document.c_str());
    std::fflush(stdout);
    // The flow may still be busy (a configure that keeps failing): leave
    // without waiting for it.
    std::_Exit(0);
}
