#pragma once
// What a formatter does: turn a message into the line a logger writes, or drop it.

#include <optional>
#include <string>

class LKLogMessage;
class LKLogger;

class LKLogFormatter {
public:
    virtual ~LKLogFormatter() = default;
    // The line for the message, or nothing to drop it for this logger.
    virtual std::optional<std::string> formatLogMessage(const LKLogMessage& message) = 0;
    virtual void didAddToLogger(LKLogger& logger) { (void)logger; }
    virtual void willRemoveFromLogger(LKLogger& logger) { (void)logger; }
};
