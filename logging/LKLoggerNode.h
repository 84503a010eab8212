#pragma once
// One registration of a logger: the logger, its queue and the level that admits messages.

#include <cstdint>
#include <memory>

#include "LKLogger.h"

class LKLoggerNode {
public:
    static std::shared_ptr<LKLoggerNode> nodeWithLogger(std::shared_ptr<LKLogger> logger,
                                                        std::shared_ptr<dispatch::Queue> loggerQueue, uint64_t level) {
        return std::make_shared<LKLoggerNode>(std::move(logger), std::move(loggerQueue), level);
    }
    LKLoggerNode(std::shared_ptr<LKLogger> logger, std::shared_ptr<dispatch::Queue> loggerQueue, uint64_t level)
        : logger_(std::move(logger)), loggerQueue_(std::move(loggerQueue)), level_(level) {}

    const std::shared_ptr<LKLogger>& logger() const { return logger_; }
    const std::shared_ptr<dispatch::Queue>& loggerQueue() const { return loggerQueue_; }
    uint64_t level() const { return level_; }

private:
    const std::shared_ptr<LKLogger> logger_;
    const std::shared_ptr<dispatch::Queue> loggerQueue_;
    const uint64_t level_;
};
