#pragma once
// Writes the lines its formatter keeps to the current log file of one folder,
// one write(2) per line, in UTF-8. At the first line it continues the newest file
// of the folder when that is still fresh (not archived, under the size and age
// limits), else it has its file manager make a new one. It rolls to a new file
// when the current one reaches the maximum size (checked from the write
// position, never by stat) or age (a one-shot timer on the dispatch Clock), and
// at once when someone deletes the file or moves it away.
//
// A line is written whole or not at all. When the folder or the file cannot be
// had, lines are dropped and the next line tries again; failing writes are
// reported to the system log (the first ten of the process).
//
// Create with std::make_shared. File work runs on the logger's own queue
// ("logcore.fileLogger"); the setters and getters of the sizes pass through the
// logging queue first, so they stay in order with the messages.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "LKAbstractLogger.h"
#include "LKLogFileInfo.h"
#include "LKLogFileManager.h"
#include "platform/dispatch/FileWatchSource.h"
#include "platform/dispatch/TimerSource.h"

class LKFileLogger : public LKAbstractLogger {
public:
    static constexpr uint64_t kDefaultMaximumFileSize = 1024 * 1024;
    static constexpr double kDefaultRollingFrequency = 60 * 60 * 24;

    // With a new LKLogFileManagerDefault for the default folder (also when the
    // manager given is null).
    LKFileLogger();
    explicit LKFileLogger(std::shared_ptr<LKLogFileManager> logFileManager);
    ~LKFileLogger() override;

    // Bytes; 0: never roll by size.
    uint64_t maximumFileSize();
    void setMaximumFileSize(uint64_t bytes);
    // Seconds; 0 or less: never roll by age.
    double rollingFrequency();
    void setRollingFrequency(double seconds);

    bool doNotReuseLogFiles() const { return doNotReuseLogFiles_; }
    void setDoNotReuseLogFiles(bool value) { doNotReuseLogFiles_ = value; }
    bool automaticallyAppendNewlineForCustomFormatters() const { return automaticallyAppendNewline_; }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool value) { automaticallyAppendNewline_ = value; }
    const std::shared_ptr<LKLogFileManager>& logFileManager() const { return logFileManager_; }

    void rollLogFile();
    // The completion, when given, then runs on the main queue.
    void rollLogFileWithCompletionBlock(std::function<void()> completion);

    // Logger queue only. The current file, chosen or created when there is none.
    std::shared_ptr<LKLogFileInfo> currentLogFileInfo();
    // Logger queue only. The descriptor open on the current file, or -1.
    int currentLogFileHandle();

    void logMessage(const std::shared_ptr<const LKLogMessage>& message) override;
    void willRemoveLogger() override;
    std::string loggerName() const override { return "logcore.fileLogger"; }

private:
    void rollLogFileNow();
    void scheduleTimerToRollLogFileDueToAge();
    void maybeRollLogFileDueToAge();
    void maybeRollLogFileDueToSize();
    double currentFileAge() const;
    bool writeLine(const std::string& line);
    std::weak_ptr<LKFileLogger> weakSelf();

    const std::shared_ptr<LKLogFileManager> logFileManager_;
    // Logger queue only from here.
    std::shared_ptr<LKLogFileInfo> currentLogFileInfo_;
    int currentLogFileHandle_ = -1;
    uint64_t writePosition_ = 0;
    std::shared_ptr<dispatch::FileWatchSource> currentLogFileWatch_;
    std::shared_ptr<dispatch::TimerSource> rollingTimer_;
    // The file's age is followed on the dispatch Clock from the moment it became
    // current, so tests move it with virtual time.
    double ageWhenChosen_ = 0;
    double clockWhenChosen_ = 0;
    uint64_t maximumFileSize_ = kDefaultMaximumFileSize;
    double rollingFrequency_ = kDefaultRollingFrequency;
    // Any thread.
    std::atomic<bool> doNotReuseLogFiles_{false};
    std::atomic<bool> automaticallyAppendNewline_{true};
};
