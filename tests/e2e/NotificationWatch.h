#pragma once
// The notifications a device posts on the session bus this process is
// connected to, taken by the tests' notification service; calls are handled
// while this thread runs Qt's events, which notified() does.

#include <QCoreApplication>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/NotificationRecorder.h"

namespace e2e {

class NotificationWatch {
public:
    // Nothing when the service's name cannot be taken on the session bus.
    static std::unique_ptr<NotificationWatch> start() {
        std::unique_ptr<NotificationWatch> watch(new NotificationWatch);
        watch->recorder_ = testsupport::NotificationRecorder::start();
        if (!watch->recorder_) return nullptr;
        return watch;
    }

    // The Notify calls so far, "Notify <title> | <body>", once there are at
    // least atLeast (15 s at most) and a moment more has caught any extra. A
    // new notification closes the one before: those calls are left out.
    std::vector<std::string> notified(size_t atLeast) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (notifies().size() < atLeast && std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < settle) QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        return notifies();
    }

private:
    NotificationWatch() {
        if (!QCoreApplication::instance()) application_ = std::make_unique<QCoreApplication>(argc_, argv_);
    }
    std::vector<std::string> notifies() const {
        std::vector<std::string> lines;
        for (const auto& line : recorder_->lines())
            if (line.rfind("Notify ", 0) == 0) lines.push_back(line);
        return lines;
    }

    int argc_ = 1;
    char name_[16] = "sync_e2e_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> application_;
    std::unique_ptr<testsupport::NotificationRecorder> recorder_;
};

}  // namespace e2e
