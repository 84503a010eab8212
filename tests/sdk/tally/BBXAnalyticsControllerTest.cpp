#include "sdk/tally/BBXAnalyticsController.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <fstream>
#include <cstdlib>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BBXUserDefaults.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/tally/BBXAnalyticsApplicationLifecycleEvent.h"
#include "sdk/tally/BBXAnalyticsIdentifierGenerator.h"
#include "sdk/tally/BBXAnalyticsMetadataController.h"
#include "sdk/tally/BBXAnalyticsTimestampGenerator.h"
#include "sdk/tally/BBXEventLogFile.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "sdk/tally/BBXTallyLoginEvent.h"
#include "tests/sdk/tally/AnalyticsControllerFixture.h"
#include "tests/support/EventLogLines.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace fs = std::filesystem;
using foundation::PlistValue;
using Controller = BBXAnalyticsController;
using Dictionary = PlistValue::Dictionary;

namespace {

using tallytest::CountingIdentifiers;
using tallytest::FixedTimestamps;
using tallytest::settingsWith;

using testsupport::keyOf;
using testsupport::keys;
using testsupport::lines;

std::atomic<bool> gDiskFull{false};
ssize_t fullDiskWrite(int fd, const void* bytes, size_t count) {
    if (!gDiskFull) return ::write(fd, bytes, count);
    errno = ENOSPC;
    return -1;
}

}  // namespace

class BBXAnalyticsControllerTest : public tallytest::AnalyticsControllerFixture {
protected:
    void TearDown() override {
        AnalyticsControllerFixture::TearDown();
        gDiskFull = false;
    }
};

TEST_F(BBXAnalyticsControllerTest, StartWritesMetadataFirstAndRemembersTheSession) {
    ASSERT_TRUE(start());
    EXPECT_TRUE(beacon_->isFirstInstall());
    controller_->logAppInstalled();
    controller_->logAppLaunched();
    const fs::path first = fragment();
    EXPECT_EQ(first.parent_path(), sessionFolder());
    EXPECT_EQ(keys(first / "0.log"), (std::vector<std::string>{"metadata", "app_installed"}));
    EXPECT_EQ(keys(first / "1.log"), (std::vector<std::string>{"metadata", "app_launched"}));
    auto metadataLine = lines(first / "0.log")[0];
    EXPECT_EQ(metadataLine.substr(0, 14), "1700000000000\t");
    EXPECT_NE(metadataLine.find(controller_->metadataController()->metadataJSONData().toString()), std::string::npos);
    EXPECT_EQ(store()->objectForKey(Controller::kLastSessionIdentifierKey), PlistValue(beacon_->executionIdentifier()));
    EXPECT_FALSE(controller_->lastSessionIdentifier());
    const std::string firstSession = beacon_->executionIdentifier();

    retire();
    timestamps_->now = 1700000100000;
    ASSERT_TRUE(start());
    EXPECT_FALSE(beacon_->isFirstInstall());
    controller_->logAppInstalled();
    controller_->logAppLaunched();
    EXPECT_NE(fragment().parent_path(), first.parent_path());
    EXPECT_FALSE(fs::exists(fragment() / "0.log"));
    EXPECT_EQ(keys(fragment() / "1.log"), (std::vector<std::string>{"metadata", "app_launched"}));
    EXPECT_EQ(controller_->lastSessionIdentifier(), firstSession);
    EXPECT_EQ(controller_->lastSessionTimestamp(), 1700000000000u);
    EXPECT_EQ(store()->objectForKey(Controller::kLastSessionIdentifierKey), PlistValue(beacon_->executionIdentifier()));
}

TEST_F(BBXAnalyticsControllerTest, AnotherProcessOnTheTreeGetsNoController) {
    ASSERT_TRUE(start());
    // The lock is per open file, so a second controller here stands for the
    // second process.
    auto first = controller_;
    EXPECT_FALSE(start());
    controller_ = first;
}

TEST_F(BBXAnalyticsControllerTest, AnalyticsOffPurgesTheRootAndSilencesEvents) {
    ASSERT_TRUE(start());
    controller_->logAppLaunched();
    apply(settingsWith(false));
    // Only the hidden lock stays: the tree is still this process's, so a
    // second process started now stays out of it.
    auto emptied = [this] {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(root_)) names.push_back(item.path().filename().string());
        return names == std::vector<std::string>{Controller::kLockFileName};
    };
    EXPECT_TRUE(emptied());
    {
        auto first = controller_;
        EXPECT_FALSE(start());
        controller_ = first;
    }
    controller_->logAppLaunched();
    controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("c"));
    drain();
    EXPECT_TRUE(emptied());
    EXPECT_TRUE(log_->contains("[Blackbox:Tally] Tally Event tracking is disabled for this application. Ignoring "
                               "BBXTallyCustomEvent"));

    // On again in the same run: a new fragment takes the events.
    apply(settingsWith(true, {{"track_custom_events", true}}));
    controller_->logAppLaunched();
    controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("c"));
    drain();
    EXPECT_EQ(keys(fragment() / "1.log"), (std::vector<std::string>{"metadata", "app_launched"}));
    EXPECT_EQ(keys(fragment() / "2.log"), (std::vector<std::string>{"metadata", "custom"}));
}

TEST_F(BBXAnalyticsControllerTest, CustomTrackingOffRefusesCustomEventsOnly) {
    ASSERT_TRUE(start());
    apply(settingsWith(true, {{"track_custom_events", false}, {"track_predefined_events", true}}));
    controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("c"));
    controller_->logPredefinedEvent(std::make_shared<BBXTallyLoginEvent>(std::nullopt, true));
    drain();
    EXPECT_EQ(log_->count("Tally Event tracking is disabled for this application. Ignoring BBXTallyCustomEvent"), 1u);
    EXPECT_EQ(keys(fragment() / "2.log"), (std::vector<std::string>{"metadata", "predefined"}));
}

TEST_F(BBXAnalyticsControllerTest, WrongTypedSettingsStartNoTimer) {
    dispatch::Clock::useVirtualTime(0);
    ASSERT_TRUE(start());
    const Dictionary garbage[] = {
        Dictionary{{"features", "on"}, {"analytics", PlistValue::Array{1, 2}}},
        settingsWith(true, {{"flush_interval_secs", -600}, {"max_byte_size_per_file", "big"}}),
        settingsWith(true, {{"flush_interval_secs", "600"}, {"sampling_rate", 1e300}}),
        settingsWith(true, {{"flush_interval_secs", std::nan("")}, {"url", 5}}),
    };
    for (const auto& settings : garbage) {
        apply(settings);
        EXPECT_FALSE(dispatch::Clock::nextDeadline()) << PlistValue(settings).description();
    }
    apply(settingsWith(true, {{"max_byte_size_per_file", 1e30}, {"flush_interval_secs", 1e30}}));
    EXPECT_EQ(controller_->settings()->maxByteSizePerFile, UINT64_MAX);
    EXPECT_EQ(controller_->settings()->flushIntervalSecs, UINT32_MAX);
}

TEST_F(BBXAnalyticsControllerTest, SizeTrigger) {
    for (int64_t limit : {1000, 0}) {
        SCOPED_TRACE(limit);
        ASSERT_TRUE(start());
        apply(settingsWith(true, {{"max_byte_size_per_file", limit}, {"track_custom_events", true}}));
        uint64_t runs = controller_->maintenanceRunCount();
        // The append that takes the file past 1000 bytes starts the run, and
        // only that one; without a limit the file just grows.
        fs::path first = fragment();
        uint64_t size = 0;
        for (int i = 0; i < 12 && controller_->maintenanceRunCount() == runs; ++i) {
            controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("c"));
            drain();
            if (fs::exists(first / "2.log")) {
                EXPECT_TRUE(!limit || size <= 1000u) << "ran on an append before the limit";
                size = fs::file_size(first / "2.log");
            }
        }
        EXPECT_EQ(controller_->maintenanceRunCount(), runs + (limit ? 1 : 0));
        if (!limit) {
            EXPECT_GT(size, 1000u);
        }
        retire();
        fs::remove_all(root_);
    }
}

TEST_F(BBXAnalyticsControllerTest, HighPriorityBeforeSettingsRunsMaintenanceWhenTheyArrive) {
    ASSERT_TRUE(start());
    controller_->logAppInstalled();
    EXPECT_TRUE(controller_->performSessionMaintenanceAfterSettingsArrive());
    EXPECT_EQ(controller_->maintenanceRunCount(), 0u);
    apply(settingsWith(true));
    EXPECT_EQ(controller_->maintenanceRunCount(), 1u);
    // With settings, a priority-0 event starts maintenance itself.
    center_.post(BBXAnalyticsApplicationLifecycleEvent::kDidBecomeActiveNotification);
    drain();
    EXPECT_EQ(controller_->maintenanceRunCount(), 2u);
}

TEST_F(BBXAnalyticsControllerTest, TimerFiresOneIntervalAfterTheLastMaintenance) {
    const struct {
        double lastRunAgo;  // seconds before now; negative: in the future
        double firstFire;
    } cases[] = {{50, 550}, {700, 0}, {-3600, 600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lastRunAgo);
        dispatch::Clock::useVirtualTime(0);
        const double wallStart = 1700000000;
        foundation::Date::setClock([] { return 1700000000.0 + dispatch::Clock::now(); });
        auto defaults = store();
        defaults->setObject(PlistValue(foundation::Date(wallStart - c.lastRunAgo)), Controller::kLastMaintenanceDateKey);
        defaults->synchronize();
        ASSERT_TRUE(start());
        apply(settingsWith(true, {{"flush_interval_secs", 600}}));
        if (c.firstFire > 0) {
            dispatch::Clock::advance(c.firstFire - 1);
            drain();
            EXPECT_EQ(controller_->maintenanceRunCount(), 0u);
        }
        dispatch::Clock::advance(c.firstFire > 0 ? 1 : 0);
        drain();
        EXPECT_EQ(controller_->maintenanceRunCount(), 1u);
        dispatch::Clock::advance(600);
        drain();
        EXPECT_EQ(controller_->maintenanceRunCount(), 2u);
        retire();
        dispatch::Clock::useRealTime();
    }
    ASSERT_TRUE(start());
    dispatch::Clock::useVirtualTime(0);
    apply(settingsWith(true, {{"flush_interval_secs", 0}}));
    EXPECT_FALSE(dispatch::Clock::nextDeadline());
}

TEST_F(BBXAnalyticsControllerTest, SwapKeepsQueuedEventsInTheOldFragmentAndItOpenUntilSwapped) {
    ASSERT_TRUE(start(0.2));
    const fs::path old = fragment();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    controller_->priorityEventLoggingQueue(2)->async([released] { released.wait(); });
    controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("queued"));
    std::promise<std::optional<foundation::Error>> swapped;
    controller_->openNewSessionFragment([&](std::optional<foundation::Error> error) { swapped.set_value(error); });
    EXPECT_TRUE(swapped.get_future().get().has_value());  // timed out: queue 2 is held
    EXPECT_NE(fragment(), old);
    EXPECT_TRUE(controller_->isSessionFragmentOpen(old));
    release.set_value();
    drain();
    EXPECT_FALSE(controller_->isSessionFragmentOpen(old));
    EXPECT_EQ(keys(old / "2.log"), (std::vector<std::string>{"metadata", "custom"}));
    controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("after"));
    drain();
    EXPECT_EQ(keys(fragment() / "2.log"), (std::vector<std::string>{"metadata", "custom"}));
}

TEST_F(BBXAnalyticsControllerTest, PreviousRunsCrashGoesIntoItsSession) {
    ASSERT_TRUE(start());
    controller_->logPreviousSessionCrashedOnDate(foundation::Date(1700000000.9));
    drain();
    EXPECT_EQ(identifiers_->fragments.load(), 1);  // a first run writes nothing
    const fs::path firstSession = sessionFolder();
    const std::string firstMetadata = controller_->metadataController()->metadataJSONData().toString();
    retire();

    timestamps_->now = 1700000500000;
    ASSERT_TRUE(start());
    controller_->logPreviousSessionCrashedOnDate(foundation::Date(1700000000.9));
    drain();
    fs::path crashFragment = firstSession / ("1700000000000_F" + std::to_string(identifiers_->fragments.load()));
    auto crash = lines(crashFragment / "1.log");
    ASSERT_EQ(crash.size(), 2u);
    EXPECT_EQ(crash[0].substr(0, 23), "1700000000000\tmetadata\t");
    EXPECT_NE(crash[0].find(firstMetadata), std::string::npos);
    EXPECT_EQ(crash[1].substr(0, 26), "1700000000000\tapp_crashed\t");
}

TEST_F(BBXAnalyticsControllerTest, AFullDiskFailsEventsAndWritingResumes) {
    ASSERT_TRUE(start());  // first: the shared instance would take the first install
    Beacon::sharedSDK()->setDebug(true);
    controller_->logAppLaunched();
    BBXEventLogFile::setWriteFunction(&fullDiskWrite);
    gDiskFull = true;
    controller_->logAppLaunched();
    controller_->logAppInstalled();  // its file cannot take the metadata line
    EXPECT_TRUE(log_->contains("[Blackbox:Tally] Unable to create a new log file for priority 0"));
    EXPECT_TRUE(log_->contains("[Blackbox:Tally] Unable to log event"));
    gDiskFull = false;
    controller_->logAppLaunched();
    controller_->logAppInstalled();
    Beacon::sharedSDK()->setDebug(false);
    EXPECT_EQ(keys(fragment() / "1.log"), (std::vector<std::string>{"metadata", "app_launched", "app_launched"}));
    EXPECT_EQ(keys(fragment() / "0.log"), (std::vector<std::string>{"metadata", "app_installed"}));
}

// Eight threads of mixed events with two fragment swaps on the way: every line
// parses and every event is on disk once. ThreadSanitizer, by hand (clean,
// about 30 s on a loaded machine):
//   cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVLO_SANITIZE_THREAD=ON -DTAVLO_BUILD_BENCH=OFF
//   cmake --build build/tsan --target tally_tests
//   TALLY_STRESS_EVENTS=10000 build/tsan/tests/sdk/tally/tally_tests --gtest_filter='*ManyThreads*'
TEST_F(BBXAnalyticsControllerTest, ManyThreadsAndSwapsLoseNoLine) {
    ASSERT_TRUE(start());
    const char* configured = std::getenv("TALLY_STRESS_EVENTS");
    const int perThread = configured ? std::atoi(configured) : 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([this, t, perThread] {
            for (int i = 0; i < perThread; ++i) {
                if (i % 4 == 0) controller_->logAppLaunched();
                else controller_->logCustomEvent(BBXTallyCustomEvent::initWithName("s", Dictionary{{"t", t}, {"i", i}}));
            }
        });
    for (int swap = 0; swap < 2; ++swap) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::promise<void> done;
        controller_->openNewSessionFragment([&](std::optional<foundation::Error>) { done.set_value(); });
        done.get_future().wait();
    }
    for (auto& thread : threads) thread.join();
    drain();
    std::map<std::string, int> counts;
    int fragments = 0;
    for (const auto& fragment : fs::directory_iterator(sessionFolder())) {
        ++fragments;
        for (const char* name : {"1.log", "2.log"})
            for (const auto& line : lines(fragment.path() / name)) {
                size_t tab3 = line.find('\t', line.find('\t', line.find('\t') + 1) + 1);
                ASSERT_NE(tab3, std::string::npos) << line;
                ASSERT_TRUE(foundation::JSON::read(line.substr(tab3 + 1)).ok()) << line;
                ++counts[keyOf(line)];
            }
    }
    EXPECT_EQ(fragments, 3);
    EXPECT_EQ(counts["app_launched"], 8 * ((perThread + 3) / 4));
    EXPECT_EQ(counts["custom"], 8 * (perThread - (perThread + 3) / 4));
}
