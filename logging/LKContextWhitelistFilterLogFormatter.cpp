#include "LKContextWhitelistFilterLogFormatter.h"

#include "LKLogMessage.h"

std::optional<std::string> LKContextWhitelistFilterLogFormatter::formatLogMessage(const LKLogMessage& message) {
    if (!isOnWhitelist(message.context())) return std::nullopt;
    return message.message();
}
