#pragma once
// Two devices, A and B, each a sync_device process with its own folders, on
// one account of the back-end the test is run with. The zone is made first,
// as the first device's switch-on would make it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/CloudAccount.h"
#include "tests/e2e/ConvergenceChecker.h"
#include "tests/e2e/DeviceProcess.h"
#include "tests/support/TempHome.h"

namespace e2e {

namespace fs = std::filesystem;

class SyncE2EFixture : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        // A seed from TAVLO_E2E_SEED repeats a run; otherwise a fresh one,
        // printed with any failure.
        if (const char* given = std::getenv("TAVLO_E2E_SEED"); given && *given) seed_ = std::strtoull(given, nullptr, 10);
        else seed_ = std::random_device()();
        std::string whyNot;
        account_ = CloudAccount::make(GetParam(), home_.root() / "cloud", whyNot);
        // Every row runs on both back-ends: a missing server fails, never skips.
        ASSERT_TRUE(account_) << whyNot;
        ASSERT_TRUE(account_->toolSucceeds({"zone", "add", CloudAccount::kZone}));
        a_ = std::make_unique<DeviceProcess>("A", home_.root() / "A");
        b_ = std::make_unique<DeviceProcess>("B", home_.root() / "B");
        ASSERT_TRUE(account_->use(*a_));
        ASSERT_TRUE(account_->use(*b_));
    }

    void TearDown() override {
        if (account_) (void)account_->clearFaults();
        for (auto* device : {a_.get(), b_.get()})
            if (device && device->running()) device->quit();
    }

    // Starts the device with sync on and waits for its launch pass.
    ::testing::AssertionResult launch(DeviceProcess& device, const std::vector<std::string>& options = {}) {
        for (auto step : {device.start(options), device.ok("sync on"), device.ok("start"), device.idle()})
            if (!step) return step;
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult launchBoth() {
        if (auto a = launch(*a_); !a) return a;
        return launch(*b_);
    }
    // Runs each command on the device in order, each answering "ok" ("idle").
    ::testing::AssertionResult steps(DeviceProcess& device, const std::vector<std::string>& commands) {
        for (const auto& command : commands)
            if (auto done = device.ok(command); !done) return done;
        return ::testing::AssertionSuccess();
    }
    // What a push would start on a device: a fetch of the zone's changes, then idle.
    ::testing::AssertionResult fetch(DeviceProcess& device) { return steps(device, {"fetch", "idle"}); }
    ::testing::AssertionResult converged(const std::string& scenario,
                                         std::chrono::seconds limit = std::chrono::seconds(60),
                                         std::map<std::string, std::set<std::string>> setAside = {}) {
        ConvergenceChecker checker(scenario, seed_);
        for (auto& [device, records] : setAside) checker.setAside(device, records);
        return checker.converged(*account_, {a_.get(), b_.get()}, limit);
    }
    // Polls done every 200 ms until it holds or limit passes.
    template <class Done>
    static bool eventually(Done done, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return true;
    }
    static std::string resource(const std::string& name) { return (fs::path(TAVLO_SOURCE_DIR) / "resources" / name).string(); }

    testsupport::TempHome home_;
    uint64_t seed_ = 0;
    std::unique_ptr<CloudAccount> account_;
    std::unique_ptr<DeviceProcess> a_, b_;
};

}  // namespace e2e
