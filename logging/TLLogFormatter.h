#pragma once
// The application's formatter: keeps the messages of one context and writes them
// in the application's line format. Runs on its logger's queue; keeps no state
// between messages beyond the text of the current minute.

#include <cstdint>

#include "LKLogFormatter.h"

class TLLogFormatter : public LKLogFormatter {
public:
    int64_t whitelist() const { return whitelist_; }
    void setWhitelist(int64_t context) { whitelist_ = context; }

    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;

private:
    int64_t whitelist_ = 0;
    // The date text changes once a minute; formatting it costs far more than the
    // rest of the line, so the last minute's text is kept.
    int64_t cachedMinute_ = -1;
    std::string cachedDate_;
};
