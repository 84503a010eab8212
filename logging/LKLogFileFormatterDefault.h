#pragma once
// The formatter every new file logger starts with: the message's time as
// "yyyy/MM/dd HH:mm:ss:SSS" in the local time zone, two blanks, the text. Runs
// on its logger's queue.

#include <functional>
#include <string>

#include "LKLogFormatter.h"
#include "LKLogMessage.h"

class LKLogFileFormatterDefault : public LKLogFormatter {
public:
    using DateFormatter = std::function<std::string(logging::Timestamp)>;

    // Without a date formatter, the format above.
    explicit LKLogFileFormatterDefault(DateFormatter dateFormatter = {});

    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;

    static std::string defaultDateString(logging::Timestamp date);

private:
    DateFormatter dateFormatter_;
};
