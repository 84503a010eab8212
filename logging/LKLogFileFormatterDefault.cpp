#include "LKLogFileFormatterDefault.h"

#include <chrono>
#include <cstdio>
#include <ctime>

LKLogFileFormatterDefault::LKLogFileFormatterDefault(DateFormatter dateFormatter)
    : dateFormatter_(dateFormatter ? std::move(dateFormatter) : DateFormatter(&defaultDateString)) {}

std::string LKLogFileFormatterDefault::defaultDateString(logging::Timestamp date) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(date.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    int millis = static_cast<int>(ms % 1000);
    if (millis < 0) millis += 1000, --seconds;
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char text[48];
    size_t n = std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ":%03d", millis);
    return text;
}

std::optional<std::string> LKLogFileFormatterDefault::formatLogMessage(const LKLogMessage& message) {
    return dateFormatter_(message.timestamp()) + "  " + message.message();
}
