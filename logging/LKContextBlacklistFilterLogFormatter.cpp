#include "LKContextBlacklistFilterLogFormatter.h"

#include "LKLogMessage.h"

std::optional<std::string> LKContextBlacklistFilterLogFormatter::formatLogMessage(const LKLogMessage& message) {
    if (isOnBlacklist(message.context())) return std::nullopt;
    return message.message();
}
