#include "LKASLLogger.h"

#include <atomic>

#include "LKASLLogCapture.h"
#include "LKLogMessage.h"

namespace {
std::atomic<bool> gSharedInstanceExists{false};
}

std::shared_ptr<LKASLLogger> LKASLLogger::sharedInstance() {
    static const std::shared_ptr<LKASLLogger> instance = [] {
        auto logger = std::make_shared<LKASLLogger>();
        gSharedInstanceExists = true;
        return logger;
    }();
    return instance;
}

std::shared_ptr<LKASLLogger> LKASLLogger::create() {
    if (gSharedInstanceExists) return nullptr;
    return std::make_shared<LKASLLogger>();
}

foundation::SystemLog::Priority LKASLLogger::priorityForFlag(uint64_t flag) {
    using Priority = foundation::SystemLog::Priority;
    switch (flag) {
    case LKLogFlagError: return Priority::Critical;
    case LKLogFlagWarning: return Priority::Error;
    case LKLogFlagInfo: return Priority::Warning;
    default: return Priority::Notice;
    }
}

void LKASLLogger::logMessage(const std::shared_ptr<const LKLogMessage>& message) {
    // It came from the system log: sending it back would make a loop.
    if (message->fileName() == LKASLLogCaptureFileName) return;

    std::string text = message->message();
    if (formatter_) {
        auto line = formatter_->formatLogMessage(*message);
        if (!line) return;
        text = std::move(*line);
    }
    foundation::SystemLog::current()->write(priorityForFlag(message->flag()), text,
                                            {{LKASLLoggerMarkerField, LKASLLoggerMarkerValue}});
}
