#pragma once
// A logger that records what it was given, for the logging tests.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LKAbstractLogger.h"

class RecordingLogger : public LKAbstractLogger {
public:
    void logMessage(const std::shared_ptr<const LKLogMessage>& message) override {
        if (onMessage) onMessage(*message);
        std::string line = message->message();
        if (formatter_) {
            auto formatted = formatter_->formatLogMessage(*message);
            if (!formatted) return;
            line = *formatted;
        }
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    std::string loggerName() const override { return "test.recording"; }

    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::function<void(const LKLogMessage&)> onMessage;  // set before adding

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};
