#include "LKMultiFormatter.h"

#include <algorithm>
#include <mutex>

std::vector<std::shared_ptr<LKLogFormatter>> LKMultiFormatter::formatters() const {
    std::shared_lock lock(mutex_);
    return formatters_;
}

void LKMultiFormatter::addFormatter(std::shared_ptr<LKLogFormatter> formatter) {
    if (!formatter) return;
    std::unique_lock lock(mutex_);
    formatters_.push_back(std::move(formatter));
}

void LKMultiFormatter::removeFormatter(const std::shared_ptr<LKLogFormatter>& formatter) {
    std::unique_lock lock(mutex_);
    std::erase(formatters_, formatter);
}

void LKMultiFormatter::removeAllFormatters() {
    std::unique_lock lock(mutex_);
    formatters_.clear();
}

bool LKMultiFormatter::isFormattingWithFormatter(const std::shared_ptr<LKLogFormatter>& formatter) const {
    std::shared_lock lock(mutex_);
    return std::find(formatters_.begin(), formatters_.end(), formatter) != formatters_.end();
}

std::optional<std::string> LKMultiFormatter::formatLogMessage(const LKLogMessage& message) {
    // A snapshot, so no lock is held while other formatters run.
    const auto chain = formatters();
    std::string line = message.message();
    for (const auto& formatter : chain) {
        auto next = formatter->formatLogMessage(*logMessageForLine(std::move(line), message));
        if (!next) return std::nullopt;
        line = std::move(*next);
    }
    return line;
}

std::shared_ptr<LKLogMessage> LKMultiFormatter::logMessageForLine(std::string line,
                                                                  const LKLogMessage& originalMessage) const {
    return originalMessage.copyWithMessage(std::move(line));
}
