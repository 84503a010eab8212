#include "LKDispatchQueueLogFormatter.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace {

// Labels of the shared global queues: many unrelated blocks run on them, so the
// label says nothing about who logged. Our dispatch layer's background queue is
// such a queue too.
constexpr std::array<std::string_view, 7> kGlobalQueueLabels = {
    "com.apple.root.low-priority",
    "com.apple.root.default-priority",
    "com.apple.root.high-priority",
    "com.apple.root.low-overcommit-priority",
    "com.apple.root.default-overcommit-priority",
    "com.apple.root.high-overcommit-priority",
    "com.apple.root.background-priority",
};

bool isGlobalQueueLabel(const std::string& label) {
    for (std::string_view global : kGlobalQueueLabels)
        if (label == global) return true;
    return false;
}

// Counts characters, not bytes, so a label is never cut inside a character.
size_t characterCount(const std::string& text) {
    size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

std::string firstCharacters(const std::string& text, size_t characters) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == characters) return text.substr(0, i);
            ++seen;
        }
    }
    return text;
}

}  // namespace

LKDispatchQueueLogFormatter::LKDispatchQueueLogFormatter() { replacements_["com.apple.main-thread"] = "main"; }

std::optional<std::string> LKDispatchQueueLogFormatter::replacementStringForQueueLabel(const std::string& label) const {
    std::lock_guard lock(replacementsMutex_);
    auto it = replacements_.find(label);
    if (it == replacements_.end()) return std::nullopt;
    return it->second;
}

void LKDispatchQueueLogFormatter::setReplacementString(std::optional<std::string> replacement,
                                                       const std::string& label) {
    std::lock_guard lock(replacementsMutex_);
    if (replacement) replacements_[label] = std::move(*replacement);
    else replacements_.erase(label);
}

std::string LKDispatchQueueLogFormatter::stringFromDate(logging::Timestamp date) const {
    // localtime_r and a fixed pattern keep no formatter object, so loggers on
    // several threads need neither a lock nor one formatter each.
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    long long seconds = sinceEpoch / 1000;
    long long millis = sinceEpoch % 1000;
    if (millis < 0) millis += 1000, seconds -= 1;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d:%03lld", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return text;
}

std::string LKDispatchQueueLogFormatter::queueThreadLabelForLogMessage(const LKLogMessage& message) const {
    std::optional<std::string> chosen;
    if (!message.queueLabel().empty() && !isGlobalQueueLabel(message.queueLabel())) chosen = message.queueLabel();
    else if (message.threadName() && !message.threadName()->empty()) chosen = message.threadName();

    std::string label;
    if (chosen) label = replacementStringForQueueLabel(*chosen).value_or(*chosen);
    else label = message.threadID();

    const uint64_t maxLength = maxQueueLength_;
    const uint64_t minLength = minQueueLength_;
    const size_t length = characterCount(label);
    if (maxLength > 0 && length > maxLength) return firstCharacters(label, maxLength);
    if (length < minLength) label.append(minLength - length, ' ');
    return label;
}

std::optional<std::string> LKDispatchQueueLogFormatter::formatLogMessage(const LKLogMessage& message) {
    return stringFromDate(message.timestamp()) + " [" + queueThreadLabelForLogMessage(message) + "] " +
           message.message();
}
