#pragma once
// The application's formatter: keeps the messages of one context and writes them
// in the application's line format. Runs on its logger's queue; keeps no state
// between messages.

#include <cstdint>

#include "LKLogFormatter.h"

class TLLogFormatter : public LKLogFormatter {
public:
    int64_t whitelist() const { return whitelist_; }
    void setWhitelist(int64_t context) { whitelist_ = context; }

    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;

private:
    int64_t whitelist_ = 0;
};
