#include "TLLogFormatter.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include "LKLogMessage.h"
#include "platform/foundation/Format.h"

namespace {

const char* levelWord(uint64_t flag) {
    switch (flag) {
    case LKLogFlagError: return "ERROR";
    case LKLogFlagWarning: return "WANRING";  // the files have always said so; readers grep for it
    case LKLogFlagInfo: return "INFO";
    case LKLogFlagDebug: return "DEBUG";
    case LKLogFlagVerbose: return "VERBOSE";
    default: return nullptr;
    }
}

std::string shortDateTime(logging::Timestamp timestamp) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timestamp.time_since_epoch()).count();
    QDateTime when = QDateTime::fromMSecsSinceEpoch(ms);
    QLocale locale = QLocale::system();
    // Short styles show minutes; some locales' short time still carries seconds.
    QString time = locale.timeFormat(QLocale::ShortFormat);
    time.remove(QRegularExpression(QStringLiteral("[.:]?s+")));
    return (locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') + locale.toString(when.time(), time))
        .toStdString();
}

}  // namespace

std::optional<std::string> TLLogFormatter::formatLogMessage(const LKLogMessage& message) {
    if (message.context() != whitelist_) return std::nullopt;
    auto minute = std::chrono::floor<std::chrono::minutes>(message.timestamp().time_since_epoch()).count();
    if (minute != cachedMinute_) {
        cachedDate_ = shortDateTime(message.timestamp());
        cachedMinute_ = minute;
    }
    return foundation::format(">> %@ | [%@] | %@ | Line %@ | %@", cachedDate_,
                              levelWord(message.flag()), message.function(), message.line(), message.message());
}
