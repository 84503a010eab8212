#pragma once
// The date in log file names: "yyyy-MM-dd HH-mm" in GMT, whatever the local time
// zone, so names sort and compare the same everywhere. Parsing is strict: exact
// digit counts, real calendar dates. Pure functions; any thread.

#include <optional>
#include <string>
#include <string_view>

#include "LKLogMessage.h"

class LKLogFileDateFormatter {
public:
    static std::string stringFromDate(logging::Timestamp date);
    // The minute the text names, or nothing when it is not such a date.
    static std::optional<logging::Timestamp> dateFromString(std::string_view text);
};
