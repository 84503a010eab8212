#pragma once
// What the dispatcher asks of a logger. The optional members have empty
// defaults; a logger says which of them it really implements so the dispatcher
// can skip the others.

#include <memory>
#include <string>

#include "LKLogFormatter.h"
#include "LKLogMessage.h"
#include "platform/dispatch/Queue.h"

class LKLogger {
public:
    virtual ~LKLogger() = default;

    // Runs on the logger's queue.
    virtual void logMessage(const std::shared_ptr<const LKLogMessage>& message) = 0;
    virtual std::shared_ptr<LKLogFormatter> logFormatter() = 0;
    virtual void setLogFormatter(std::shared_ptr<LKLogFormatter> formatter) = 0;

    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}
    virtual void flush() {}
    virtual bool implementsFlush() const { return false; }
    // The queue the logger's work runs on; null lets the dispatcher make one.
    virtual std::shared_ptr<dispatch::Queue> loggerQueue() { return nullptr; }
    // Empty when the logger has no name.
    virtual std::string loggerName() const { return {}; }
};
