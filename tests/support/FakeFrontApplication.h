#pragma once
// A front application the test sets: which application is active, which are
// running, and the last foreign one a paste goes to (with whether asking to
// activate it works). Any thread.

#include <functional>
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

    void setLastForeign(std::optional<desktop::AppIdentity> app) {
        std::lock_guard lock(mutex_);
        lastForeign_ = std::move(app);
    }
    void setActivationSucceeds(bool succeeds) {
        std::lock_guard lock(mutex_);
        activationSucceeds_ = succeeds;
    }
    // How often activateLastForeignWindow() was asked, and a hook it calls.
    int activations() {
        std::lock_guard lock(mutex_);
        return activations_;
    }
    void setOnActivate(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        onActivate_ = std::move(hook);
    }

    bool canIdentifyApplications() const override { return true; }
    std::optional<desktop::AppIdentity> lastForeignApplication() override {
        std::lock_guard lock(mutex_);
        return lastForeign_;
    }
    bool activateLastForeignWindow() override {
        std::function<void()> hook;
        bool succeeds;
        {
            std::lock_guard lock(mutex_);
            ++activations_;
            hook = onActivate_;
            succeeds = lastForeign_ && activationSucceeds_;
        }
        if (hook) hook();
        return succeeds;
    }
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
    std::optional<desktop::AppIdentity> lastForeign_;
    bool activationSucceeds_ = true;
    int activations_ = 0;
    std::function<void()> onActivate_;
};

}  // namespace testsupport
