#pragma once
// What the analytics controller's tests share: fixed timestamps, counting
// identifiers, settings documents, and a fixture that starts a controller on a
// private tree with its own store, notification centre and kit registry.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "sdk/tally/BBXAnalyticsNetworkingClient.h"

#include "platform/dispatch/Clock.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BBXUserDefaults.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/tally/BBXAnalyticsController.h"
#include "sdk/tally/BBXAnalyticsIdentifierGenerator.h"
#include "sdk/tally/BBXAnalyticsTimestampGenerator.h"
#include "sdk/tally/BBXEventLogFile.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace tallytest {

namespace fs = std::filesystem;
using foundation::PlistValue;
using Controller = BBXAnalyticsController;
using Dictionary = PlistValue::Dictionary;

class FixedTimestamps : public BBXAnalyticsTimestampGenerator {
public:
    uint64_t generateAnalyticsTimestamp() override { return now.load(); }
    std::atomic<uint64_t> now{1700000000000};
};

class CountingIdentifiers : public BBXAnalyticsIdentifierGenerator {
public:
    std::string generateSessionFragmentIdentifier() override { return "F" + std::to_string(++fragments); }
    std::string generateEventIdentifier() override { return "E" + std::to_string(++events); }
    std::atomic<int> fragments{0}, events{0};
};

inline Dictionary settingsWith(bool collect, Dictionary analytics = {}) {
    return Dictionary{{"features", Dictionary{{"collect_analytics", collect}}}, {"analytics", std::move(analytics)}};
}


class AnalyticsControllerFixture : public ::testing::Test {
protected:
    void TearDown() override {
        retire();
        dispatch::Clock::useRealTime();
        foundation::Date::setClock(nullptr);
        BBXEventLogFile::setWriteFunction(nullptr);
    }

    std::shared_ptr<Beacon> makeBeacon() {
        auto store = std::make_shared<BBXUserDefaults>(storeFolder(), foundation::UserDefaults::suite("standard"));
        auto beacon = std::make_shared<Beacon>(Beacon::Environment{nullptr, store, &registry_});
        beacon->setAPIKey("key");
        return beacon;
    }
    fs::path storeFolder() const { return home_.dataHome() / "com.blackbox" / "com.tavlo.Tavlo"; }
    std::shared_ptr<BBXUserDefaults> store() { return std::make_shared<BBXUserDefaults>(storeFolder()); }

    // Blocks still queued (a pruning's completion, an upload's answer) hold
    // the controller, whose end reaches the fixture's notification centre: it
    // has to be gone before the fixture is, or before a test starts another.
    void retire() {
        if (!controller_) return;
        const std::weak_ptr<Controller> last = controller_;
        drain();
        controller_.reset();
        for (int i = 0; i < 1000 && !last.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(last.expired()) << "the controller outlived its test";
    }

    std::shared_ptr<Controller> start(double swapTimeout = 5) {
        beacon_ = makeBeacon();
        Controller::Environment environment;
        environment.beacon = beacon_;
        environment.store = store();
        environment.center = &center_;
        environment.identifierGenerator = identifiers_;
        environment.timestampGenerator = timestamps_;
        environment.swapTimeout = swapTimeout;
        environment.networkingClient = networking_;
        controller_ = Controller::initWithSessionIdentifier(beacon_->executionIdentifier(), timestamps_->now.load(), root_,
                                                            std::nullopt, environment);
        drain();
        return controller_;
    }

    // Waits for everything queued: maintenance, the three writers, maintenance again.
    void drain() {
        if (!controller_) return;
        controller_->sessionMaintenanceQueue()->sync([] {});
        for (uint64_t p = 0; p < 3; ++p) controller_->priorityEventLoggingQueue(p)->sync([] {});
        controller_->sessionMaintenanceQueue()->sync([] {});
    }

    void apply(const Dictionary& settings) {
        controller_->setSettings(std::make_shared<const Dictionary>(settings));
        drain();
    }

    fs::path fragment() const { return controller_->currentSessionFragmentDirectoryURL(); }
    fs::path sessionFolder() const {
        return root_ / "v1/ACTIVE" / (std::to_string(controller_->sessionTimestamp()) + "_" + controller_->sessionIdentifier());
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
    BCNKitRegistry registry_;
    foundation::NotificationCenter center_;
    std::shared_ptr<FixedTimestamps> timestamps_ = std::make_shared<FixedTimestamps>();
    std::shared_ptr<CountingIdentifiers> identifiers_ = std::make_shared<CountingIdentifiers>();
    fs::path root_ = home_.cacheHome() / "com.blackbox.data" / "com.tavlo.Tavlo" / "analytics";
    std::shared_ptr<Beacon> beacon_;
    std::shared_ptr<BBXAnalyticsNetworkingClient> networking_;  // the controller's own when null
    std::shared_ptr<Controller> controller_;
};

}  // namespace tallytest
