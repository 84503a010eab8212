#pragma once
// The base of the concrete loggers: its own serial queue (labelled with the
// logger's name, carrying the logger itself as a queue-specific value) and a
// formatter that is replaced and read only in step with the logging queue, so a
// formatter set before LKLog::addLogger() is in place for the first message.
//
// logFormatter()/setLogFormatter() may be called from any thread. Subclasses
// read formatter_ directly while they run on their own queue.

#include <memory>
#include <mutex>

#include "LKLogger.h"

class LKAbstractLogger : public LKLogger, public std::enable_shared_from_this<LKAbstractLogger> {
public:
    LKAbstractLogger() = default;
    ~LKAbstractLogger() override;

    void logMessage(const std::shared_ptr<const LKLogMessage>& message) override { (void)message; }
    std::shared_ptr<LKLogFormatter> logFormatter() override;
    void setLogFormatter(std::shared_ptr<LKLogFormatter> formatter) override;

    std::shared_ptr<dispatch::Queue> loggerQueue() override;
    void setLoggerQueue(std::shared_ptr<dispatch::Queue> queue);
    std::string loggerName() const override { return "LKAbstractLogger"; }

    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue() const;

protected:
    // Runs block on the logger's queue after a step on the logging queue; at once
    // when already on the logger's queue. The setters of subclasses use it.
    void setOnLoggerQueue(std::function<void()> block);
    // Runs block synchronously on the logger's queue inside a step of the logging
    // queue; at once when already on either queue, which would otherwise wait on itself.
    void readOnLoggerQueue(const std::function<void()>& block);
    // A copy of a field that only the logger's queue touches, read that way.
    template <class T>
    T valueOnLoggerQueue(const T& field) {
        T value{};
        readOnLoggerQueue([&] { value = field; });
        return value;
    }

    std::shared_ptr<LKLogFormatter> formatter_;  // logger queue only

private:
    void replaceFormatter(std::shared_ptr<LKLogFormatter> formatter);

    std::once_flag queueOnce_;
    std::mutex queueMutex_;
    std::shared_ptr<dispatch::Queue> queue_;
};
