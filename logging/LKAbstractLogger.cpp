#include "LKAbstractLogger.h"

#include "LKLog.h"

LKAbstractLogger::~LKAbstractLogger() {
    std::lock_guard lock(queueMutex_);
    if (queue_) queue_->setSpecific(this, nullptr);
}

std::shared_ptr<dispatch::Queue> LKAbstractLogger::loggerQueue() {
    // Made on first use rather than in the constructor, where the subclass's
    // loggerName() is not yet reachable.
    std::lock_guard lock(queueMutex_);
    if (!queue_) {
        queue_ = dispatch::Queue::createSerial(loggerName());
        queue_->setSpecific(this, this);
    }
    return queue_;
}

void LKAbstractLogger::setLoggerQueue(std::shared_ptr<dispatch::Queue> queue) {
    std::lock_guard lock(queueMutex_);
    queue_ = std::move(queue);
}

bool LKAbstractLogger::isOnGlobalLoggingQueue() const { return LKLog::isOnLoggingQueue(); }

bool LKAbstractLogger::isOnInternalLoggerQueue() const { return dispatch::getSpecific(this) == this; }

void LKAbstractLogger::setOnLoggerQueue(std::function<void()> block) {
    if (isOnInternalLoggerQueue()) {
        block();
        return;
    }
    auto queue = loggerQueue();
    // A shared logger stays alive until the step has run.
    auto self = weak_from_this().lock();
    LKLog::loggingQueue()->async([queue, self, block = std::move(block)] { queue->async([self, block] { block(); }); });
}

void LKAbstractLogger::readOnLoggerQueue(const std::function<void()>& block) {
    if (isOnInternalLoggerQueue()) {
        block();
        return;
    }
    auto queue = loggerQueue();
    if (isOnGlobalLoggingQueue()) {
        queue->sync(block);
        return;
    }
    LKLog::loggingQueue()->sync([&] { queue->sync(block); });
}

std::shared_ptr<LKLogFormatter> LKAbstractLogger::logFormatter() {
    std::shared_ptr<LKLogFormatter> result;
    readOnLoggerQueue([&] { result = formatter_; });
    return result;
}

void LKAbstractLogger::setLogFormatter(std::shared_ptr<LKLogFormatter> formatter) {
    std::weak_ptr<LKAbstractLogger> weak = weak_from_this();
    // Keep the logger alive until the step ran when it is shared; a logger not yet
    // owned by a shared_ptr is set through this pointer.
    auto self = weak.lock();
    setOnLoggerQueue([this, self, formatter = std::move(formatter)]() mutable { replaceFormatter(std::move(formatter)); });
}

void LKAbstractLogger::replaceFormatter(std::shared_ptr<LKLogFormatter> formatter) {
    if (formatter == formatter_) return;
    if (formatter_) formatter_->willRemoveFromLogger(*this);
    formatter_ = std::move(formatter);
    if (formatter_) formatter_->didAddToLogger(*this);
}
