#pragma once
// Passes the messages of the listed contexts unchanged and drops all others; an
// empty list drops everything. Any thread: the list may change while loggers
// format.

#include "LKLogFormatter.h"
#include "LKLoggingContextSet.h"

class LKContextWhitelistFilterLogFormatter : public LKLogFormatter {
public:
    void addToWhitelist(int64_t context) { contexts_.addToSet(context); }
    void removeFromWhitelist(int64_t context) { contexts_.removeFromSet(context); }
    std::vector<int64_t> whitelist() const { return contexts_.currentSet(); }
    bool isOnWhitelist(int64_t context) const { return contexts_.isInSet(context); }

    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;

private:
    LKLoggingContextSet contexts_;
};
