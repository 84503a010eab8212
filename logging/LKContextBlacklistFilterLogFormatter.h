#pragma once
// Drops the messages of the listed contexts and passes all others unchanged; an
// empty list passes everything. Any thread: the list may change while loggers
// format.

#include "LKLogFormatter.h"
#include "LKLoggingContextSet.h"

class LKContextBlacklistFilterLogFormatter : public LKLogFormatter {
public:
    void addToBlacklist(int64_t context) { contexts_.addToSet(context); }
    void removeFromBlacklist(int64_t context) { contexts_.removeFromSet(context); }
    std::vector<int64_t> blacklist() const { return contexts_.currentSet(); }
    bool isOnBlacklist(int64_t context) const { return contexts_.isInSet(context); }

    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;

private:
    LKLoggingContextSet contexts_;
};
