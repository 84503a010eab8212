#pragma once
// A front application the test sets: which application is active and which
// are running. Any thread.

#include <mutex>

#include "platform/desktop/FrontApplication.h"

namespace testsupport {

class FakeFrontApplication final : public desktop::FrontApplication {
public:
    void setActive(std::optional<desktop::AppIdentity> app) {
        std::lock_guard lock(mutex_);
        active_ = std::move(app);
    }
    void setRunning(std::vector<desktop::AppIdentity> apps) {
        std::lock_guard lock(mutex_);
        running_ = std::move(apps);
    }

    bool canIdentifyApplications() const override { return true; }
    std::optional<desktop::AppIdentity> activeApplication() override {
        std::lock_guard lock(mutex_);
        return active_;
    }
    std::vector<desktop::AppIdentity> runningApplications() override {
        std::lock_guard lock(mutex_);
        return running_;
    }

private:
    std::mutex mutex_;
    std::optional<desktop::AppIdentity> active_;
    std::vector<desktop::AppIdentity> running_;
};

}  // namespace testsupport
