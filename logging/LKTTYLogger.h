#pragma once
// Writes log messages to standard error, optionally coloured per flag and
// context or per tag with terminal escape sequences. The colour mode comes from
// the environment once per process (see LKTTYColorTable::modeForEnvironment).
//
// Any thread may call. Writing and every colour change run on the logger's
// queue: a change made there takes effect at once, one made elsewhere passes
// through the logging queue first, so it is in force for every message logged
// after it. colorsEnabled() blocks its caller the same way in reverse.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LKAbstractLogger.h"
#include "LKTTYLoggerColorProfile.h"

class LKTTYLogger : public LKAbstractLogger {
public:
    // The one logger on standard error in the process's colour mode.
    static std::shared_ptr<LKTTYLogger> sharedInstance();
    // Another logger on standard error; none once the shared one exists.
    static std::shared_ptr<LKTTYLogger> create();
    // A logger writing to fd in the given mode; the fd stays the caller's.
    LKTTYLogger(LKTTYColorMode mode, int fd);

    // The process's colour mode, decided from the environment on first use.
    static LKTTYColorMode colorMode();
    // The nearest entry of the process's colour table.
    static uint64_t codeIndexForColor(const LKTTYColor& color);

    bool colorsEnabled();
    // Enabling loads the default profiles when none are set.
    void setColorsEnabled(bool enabled);
    // Errors in red, warnings in orange, for every context.
    void loadDefaultColorProfiles();

    // A missing colour leaves that part uncoloured. A profile for the same flag
    // mask and context replaces the earlier one.
    void setForegroundColor(std::optional<LKTTYColor> foreground, std::optional<LKTTYColor> background,
                            uint64_t flag);
    void setForegroundColor(std::optional<LKTTYColor> foreground, std::optional<LKTTYColor> background,
                            uint64_t flag, int64_t context);
    // A message with this tag (the same object) takes this profile before any other.
    void setForegroundColorForTag(std::optional<LKTTYColor> foreground, std::optional<LKTTYColor> background,
                                  std::shared_ptr<void> tag);
    void clearColorsForFlag(uint64_t flag, int64_t context);
    // Context 0: leaves the profile set for every context in place.
    void clearColorsForFlag(uint64_t flag);
    void clearColorsForTag(const std::shared_ptr<void>& tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();

    // Whether a formatted line without a line end gets one (YES at start).
    bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_; }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool append) { appendNewline_ = append; }

    void logMessage(const std::shared_ptr<const LKLogMessage>& message) override;
    std::string loggerName() const override { return "logcore.ttyLogger"; }

private:
    // Logger queue only.
    void addProfile(std::shared_ptr<const LKTTYLoggerColorProfile> profile);
    void loadDefaultProfilesOnQueue();
    const LKTTYLoggerColorProfile* profileForMessage(const LKLogMessage& message) const;
    std::string headerTimestamp(logging::Timestamp timestamp) const;

    const LKTTYColorMode mode_;
    const int fd_;
    const std::string appName_;
    const std::string processID_;
    std::atomic<bool> appendNewline_{true};
    // Logger queue only.
    bool colorsEnabled_ = false;
    std::vector<std::shared_ptr<const LKTTYLoggerColorProfile>> profiles_;
    struct TagProfile {
        std::shared_ptr<void> tag;  // kept so its address is not reused while listed
        std::shared_ptr<const LKTTYLoggerColorProfile> profile;
    };
    std::map<const void*, TagProfile> tagProfiles_;
};
