#include "LKTTYLogger.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/uio.h>
#include <unistd.h>

#include "LKLogMessage.h"

namespace {

std::atomic<bool> gSharedInstanceExists{false};

std::string applicationName() {
    const char* name = program_invocation_short_name;
    return name && *name ? name : "<UnnamedApp>";
}

// One write of all pieces; a short write (a full pipe, a signal) continues where
// it stopped, so a line is never cut.
void writeAll(int fd, iovec* pieces, int count) {
    while (count > 0) {
        ssize_t written = ::writev(fd, pieces, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere to report a console that cannot be written
        }
        size_t left = static_cast<size_t>(written);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
}

iovec piece(const std::string& text) { return {const_cast<char*>(text.data()), text.size()}; }

bool endsWithNewline(const std::string& text) { return !text.empty() && text.back() == '\n'; }

}  // namespace

LKTTYLogger::LKTTYLogger(LKTTYColorMode mode, int fd)
    : mode_(mode), fd_(fd), appName_(applicationName()), processID_(std::to_string(::getpid())) {}

LKTTYColorMode LKTTYLogger::colorMode() {
    static const LKTTYColorMode mode = LKTTYColorTable::modeForEnvironment(std::getenv("XcodeColors"), std::getenv("TERM"));
    return mode;
}

uint64_t LKTTYLogger::codeIndexForColor(const LKTTYColor& color) {
    return LKTTYColorTable::forMode(colorMode()).codeIndexForColor(color);
}

std::shared_ptr<LKTTYLogger> LKTTYLogger::sharedInstance() {
    static const std::shared_ptr<LKTTYLogger> instance = [] {
        auto logger = std::make_shared<LKTTYLogger>(colorMode(), STDERR_FILENO);
        gSharedInstanceExists = true;
        return logger;
    }();
    return instance;
}

std::shared_ptr<LKTTYLogger> LKTTYLogger::create() {
    if (gSharedInstanceExists) return nullptr;
    return std::make_shared<LKTTYLogger>(colorMode(), STDERR_FILENO);
}

bool LKTTYLogger::colorsEnabled() { return valueOnLoggerQueue(colorsEnabled_); }

void LKTTYLogger::setColorsEnabled(bool enabled) {
    setOnLoggerQueue([this, enabled] {
        colorsEnabled_ = enabled;
        if (profiles_.empty()) loadDefaultProfilesOnQueue();
    });
}

void LKTTYLogger::loadDefaultColorProfiles() {
    setOnLoggerQueue([this] { loadDefaultProfilesOnQueue(); });
}

void LKTTYLogger::loadDefaultProfilesOnQueue() {
    addProfile(std::make_shared<LKTTYLoggerColorProfile>(LKTTYColor::fromRGB255(214, 57, 30), std::nullopt,
                                                         LKLogFlagError, LKTTYLoggerEveryContext, mode_));
    addProfile(std::make_shared<LKTTYLoggerColorProfile>(LKTTYColor::fromRGB255(204, 121, 32), std::nullopt,
                                                         LKLogFlagWarning, LKTTYLoggerEveryContext, mode_));
}

void LKTTYLogger::setForegroundColor(std::optional<LKTTYColor> foreground, std::optional<LKTTYColor> background,
                                     uint64_t flag) {
    setForegroundColor(foreground, background, flag, LKTTYLoggerEveryContext);
}

void LKTTYLogger::setForegroundColor(std::optional<LKTTYColor> foreground, std::optional<LKTTYColor> background,
                                     uint64_t flag, int64_t context) {
    auto profile = std::make_shared<const LKTTYLoggerColorProfile>(foreground, background, flag, context, mode_);
    setOnLoggerQueue([this, profile] { addProfile(profile); });
}

void LKTTYLogger::addProfile(std::shared_ptr<const LKTTYLoggerColorProfile> profile) {
    for (auto& listed : profiles_) {
        if (listed->mask() == profile->mask() && listed->context() == profile->context()) {
            listed = std::move(profile);
            return;
        }
    }
    profiles_.push_back(std::move(profile));
}

void LKTTYLogger::setForegroundColorForTag(std::optional<LKTTYColor> foreground,
                                           std::optional<LKTTYColor> background, std::shared_ptr<void> tag) {
    if (!tag) return;
    auto profile = std::make_shared<const LKTTYLoggerColorProfile>(foreground, background, 0, 0, mode_);
    setOnLoggerQueue([this, profile, tag] { tagProfiles_[tag.get()] = TagProfile{tag, profile}; });
}

void LKTTYLogger::clearColorsForFlag(uint64_t flag, int64_t context) {
    setOnLoggerQueue([this, flag, context] {
        std::erase_if(profiles_, [&](const auto& p) { return p->mask() == flag && p->context() == context; });
    });
}

void LKTTYLogger::clearColorsForFlag(uint64_t flag) { clearColorsForFlag(flag, 0); }

void LKTTYLogger::clearColorsForTag(const std::shared_ptr<void>& tag) {
    if (!tag) return;
    setOnLoggerQueue([this, key = tag.get()] { tagProfiles_.erase(key); });
}

void LKTTYLogger::clearColorsForAllFlags() {
    setOnLoggerQueue([this] { profiles_.clear(); });
}

void LKTTYLogger::clearColorsForAllTags() {
    setOnLoggerQueue([this] { tagProfiles_.clear(); });
}

void LKTTYLogger::clearAllColors() {
    setOnLoggerQueue([this] {
        profiles_.clear();
        tagProfiles_.clear();
    });
}

const LKTTYLoggerColorProfile* LKTTYLogger::profileForMessage(const LKLogMessage& message) const {
    if (message.tag()) {
        auto it = tagProfiles_.find(message.tag().get());
        if (it != tagProfiles_.end()) return it->second.profile.get();
    }
    const LKTTYLoggerColorProfile* forEveryContext = nullptr;
    for (const auto& profile : profiles_) {
        if (!(profile->mask() & message.flag())) continue;
        if (profile->context() == message.context()) return profile.get();
        if (profile->context() == LKTTYLoggerEveryContext) forEveryContext = profile.get();
    }
    return forEveryContext;
}

std::string LKTTYLogger::headerTimestamp(logging::Timestamp timestamp) const {
    const auto millisSinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(timestamp.time_since_epoch()).count();
    long long seconds = millisSinceEpoch / 1000;
    int millis = static_cast<int>(millisSinceEpoch % 1000);
    if (millis < 0) millis += 1000, seconds -= 1;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char text[96];  // 23 characters for any real date; room for the compiler's worst case
    std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d", long(tm.tm_year) + 1900,
                  long(tm.tm_mon) + 1, long(tm.tm_mday), long(tm.tm_hour), long(tm.tm_min), long(tm.tm_sec), millis);
    return text;
}

void LKTTYLogger::logMessage(const std::shared_ptr<const LKLogMessage>& message) {
    std::string text = message->message();
    // A formatter that hands back the text unchanged (a filter) counts as none:
    // the line then gets the logger's own header.
    bool formatted = false;
    if (formatter_) {
        auto line = formatter_->formatLogMessage(*message);
        if (!line) return;
        formatted = *line != message->message();
        text = std::move(*line);
    }

    static const std::string kNone;
    static const std::string kNewline = "\n";
    const LKTTYLoggerColorProfile* profile = colorsEnabled_ ? profileForMessage(*message) : nullptr;
    const std::string& foreground = profile ? profile->foregroundCode() : kNone;
    const std::string& background = profile ? profile->backgroundCode() : kNone;
    const std::string& reset = profile ? profile->resetCode() : kNone;

    if (formatted) {
        const bool newline = appendNewline_ && !endsWithNewline(text);
        iovec pieces[] = {piece(foreground), piece(background), piece(text), piece(newline ? kNewline : kNone),
                          piece(reset)};
        writeAll(fd_, pieces, 5);
        return;
    }

    static const std::string kBlank = " ", kOpen = "[", kColon = ":", kClose = "] ";
    const std::string timestamp = headerTimestamp(message->timestamp());
    const std::string threadID = message->threadID().substr(0, 8);
    iovec pieces[] = {piece(foreground), piece(background), piece(timestamp), piece(kBlank),
                      piece(appName_),   piece(kOpen),      piece(processID_), piece(kColon),
                      piece(threadID),   piece(kClose),     piece(text),      piece(endsWithNewline(text) ? kNone : kNewline),
                      piece(reset)};
    writeAll(fd_, pieces, 13);
}
