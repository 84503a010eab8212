#pragma once
// The base of loggers that keep messages in a store of their own. Each message
// goes to the subclass at once (db_log), but the subclass is told to save only
// when enough messages are pending or the oldest pending one has waited long
// enough, and is told periodically to delete entries older than maxAge.
//
// Storage calls and timer handlers run on the logger's queue. Settings may be
// changed from any thread: at once on the logger's queue, else through the
// logging queue (so a setting made before LKLog::addLogger() is in force for the
// first message); getters block their caller the same way. The timers run on
// dispatch::Clock, so tests drive them with the virtual clock.

#include <cstdint>
#include <memory>
#include <optional>

#include "LKAbstractLogger.h"
#include "platform/dispatch/TimerSource.h"

class LKAbstractDatabaseLogger : public LKAbstractLogger {
public:
    LKAbstractDatabaseLogger() = default;
    ~LKAbstractDatabaseLogger() override;

    // Save when this many messages are pending; 0: never by count.
    uint64_t saveThreshold();
    void setSaveThreshold(uint64_t threshold);
    // Save when the oldest pending message is this many seconds old; 0 or less: never by time.
    double saveInterval();
    void setSaveInterval(double interval);
    // Entries older than this many seconds are deleted; 0 or less: never.
    double maxAge();
    void setMaxAge(double maxAge);
    // Seconds between deletions; 0 or less: never.
    double deleteInterval();
    void setDeleteInterval(double interval);
    // Whether each save also deletes old entries.
    bool deleteOnEverySave();
    void setDeleteOnEverySave(bool deleteOnEverySave);

    // Saves pending entries; at once on the logger's queue, else soon after.
    void savePendingLogEntries();
    // Deletes old entries; at once on the logger's queue, else soon after.
    void deleteOldLogEntries();

    void logMessage(const std::shared_ptr<const LKLogMessage>& message) override;
    void didAddLogger() override;
    void willRemoveLogger() override;
    void flush() override;
    bool implementsFlush() const override { return true; }
    std::string loggerName() const override { return "LKAbstractDatabaseLogger"; }

protected:
    // The storage a subclass provides; the base versions keep and do nothing.
    // Store one message; true when it was kept (and so is pending).
    virtual bool db_log(const LKLogMessage& message);
    virtual void db_save() {}
    // Delete the entries older than maxAge.
    virtual void db_delete() {}
    virtual void db_saveAndDelete() {}

private:
    // Logger queue only.
    void performSaveAndSuspendSaveTimer();
    void performDelete();
    void createSaveTimer();
    void updateAndResumeSaveTimer();
    void destroySaveTimer();
    void createAndStartDeleteTimer();
    void updateDeleteTimer();
    void destroyDeleteTimer();

    // Logger queue only.
    uint64_t saveThreshold_ = 500;
    double saveInterval_ = 60.0;
    double maxAge_ = 7 * 24 * 60 * 60.0;
    double deleteInterval_ = 300.0;
    bool deleteOnEverySave_ = false;
    bool saveTimerSuspended_ = false;
    uint64_t unsavedCount_ = 0;
    std::optional<double> unsavedTime_;     // on dispatch::Clock
    std::shared_ptr<dispatch::TimerSource> saveTimer_;
    std::optional<double> lastDeleteTime_;  // on dispatch::Clock
    std::shared_ptr<dispatch::TimerSource> deleteTimer_;
};
