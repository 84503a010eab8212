#pragma once
// Runs several formatters in a row: each gets the line the one before it made,
// and the first that drops the message drops it for good. Any thread: loggers
// format in parallel while the list may change; a change is in force for every
// message formatted after it returns.

#include <memory>
#include <shared_mutex>
#include <vector>

#include "LKLogFormatter.h"
#include "LKLogMessage.h"

class LKMultiFormatter : public LKLogFormatter {
public:
    std::vector<std::shared_ptr<LKLogFormatter>> formatters() const;
    void addFormatter(std::shared_ptr<LKLogFormatter> formatter);
    // Removes every occurrence of the formatter.
    void removeFormatter(const std::shared_ptr<LKLogFormatter>& formatter);
    void removeAllFormatters();
    bool isFormattingWithFormatter(const std::shared_ptr<LKLogFormatter>& formatter) const;

    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;
    // The message as the next formatter in the chain sees it: its text is line.
    std::shared_ptr<LKLogMessage> logMessageForLine(std::string line, const LKLogMessage& originalMessage) const;

private:
    mutable std::shared_mutex mutex_;
    std::vector<std::shared_ptr<LKLogFormatter>> formatters_;
};
