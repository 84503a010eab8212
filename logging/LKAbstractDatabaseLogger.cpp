#include "LKAbstractDatabaseLogger.h"

#include "platform/dispatch/Clock.h"

namespace {

// Timer handlers reach the logger through a weak reference: a timer must not
// keep a logger alive that nobody else holds.
template <class Logger>
dispatch::Block weakly(Logger* logger, void (Logger::*member)()) {
    std::weak_ptr<LKAbstractLogger> weak = logger->weak_from_this();
    return [weak, logger, member] {
        if (auto self = weak.lock()) (logger->*member)();
    };
}

}  // namespace

LKAbstractDatabaseLogger::~LKAbstractDatabaseLogger() {
    destroySaveTimer();
    destroyDeleteTimer();
}

bool LKAbstractDatabaseLogger::db_log(const LKLogMessage& message) {
    (void)message;
    return false;
}

// MARK: settings

uint64_t LKAbstractDatabaseLogger::saveThreshold() { return valueOnLoggerQueue(saveThreshold_); }

void LKAbstractDatabaseLogger::setSaveThreshold(uint64_t threshold) {
    setOnLoggerQueue([this, threshold] {
        if (threshold == saveThreshold_) return;
        saveThreshold_ = threshold;
        if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) performSaveAndSuspendSaveTimer();
    });
}

double LKAbstractDatabaseLogger::saveInterval() { return valueOnLoggerQueue(saveInterval_); }

void LKAbstractDatabaseLogger::setSaveInterval(double interval) {
    setOnLoggerQueue([this, interval] {
        if (interval == saveInterval_) return;
        saveInterval_ = interval;
        if (saveInterval_ <= 0) {
            destroySaveTimer();
            return;
        }
        if (!saveTimer_) createSaveTimer();
        updateAndResumeSaveTimer();
    });
}

double LKAbstractDatabaseLogger::maxAge() { return valueOnLoggerQueue(maxAge_); }

void LKAbstractDatabaseLogger::setMaxAge(double maxAge) {
    setOnLoggerQueue([this, maxAge] {
        if (maxAge == maxAge_) return;
        const double oldMaxAge = maxAge_;
        maxAge_ = maxAge;
        if (oldMaxAge > 0 && maxAge <= 0) {
            destroyDeleteTimer();
            return;
        }
        const bool tighter = oldMaxAge > 0 && maxAge < oldMaxAge;
        const bool newlyOn = oldMaxAge <= 0 && maxAge > 0;
        if (!tighter && !newlyOn) return;  // a longer age deletes nothing more now
        performDelete();
        if (deleteTimer_) updateDeleteTimer();
        else createAndStartDeleteTimer();
    });
}

double LKAbstractDatabaseLogger::deleteInterval() { return valueOnLoggerQueue(deleteInterval_); }

void LKAbstractDatabaseLogger::setDeleteInterval(double interval) {
    setOnLoggerQueue([this, interval] {
        if (interval == deleteInterval_) return;
        deleteInterval_ = interval;
        if (deleteInterval_ <= 0) {
            destroyDeleteTimer();
            return;
        }
        if (deleteTimer_) updateDeleteTimer();
        else createAndStartDeleteTimer();
    });
}

bool LKAbstractDatabaseLogger::deleteOnEverySave() { return valueOnLoggerQueue(deleteOnEverySave_); }

void LKAbstractDatabaseLogger::setDeleteOnEverySave(bool deleteOnEverySave) {
    setOnLoggerQueue([this, deleteOnEverySave] { deleteOnEverySave_ = deleteOnEverySave; });
}

// MARK: public actions

void LKAbstractDatabaseLogger::savePendingLogEntries() {
    if (isOnInternalLoggerQueue()) {
        performSaveAndSuspendSaveTimer();
        return;
    }
    auto self = weak_from_this().lock();
    loggerQueue()->async([this, self] { performSaveAndSuspendSaveTimer(); });
}

void LKAbstractDatabaseLogger::deleteOldLogEntries() {
    if (isOnInternalLoggerQueue()) {
        performDelete();
        return;
    }
    auto self = weak_from_this().lock();
    loggerQueue()->async([this, self] { performDelete(); });
}

// MARK: logger

void LKAbstractDatabaseLogger::logMessage(const std::shared_ptr<const LKLogMessage>& message) {
    if (!db_log(*message)) return;
    ++unsavedCount_;
    if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
        performSaveAndSuspendSaveTimer();
    } else if (unsavedCount_ == 1) {
        unsavedTime_ = dispatch::Clock::now();
        updateAndResumeSaveTimer();
    }
}

void LKAbstractDatabaseLogger::didAddLogger() {
    // The dispatcher calls this on the logger's queue.
    createSaveTimer();
    createAndStartDeleteTimer();
}

void LKAbstractDatabaseLogger::willRemoveLogger() {
    performSaveAndSuspendSaveTimer();
    destroySaveTimer();
    destroyDeleteTimer();
}

void LKAbstractDatabaseLogger::flush() { performSaveAndSuspendSaveTimer(); }

// MARK: saving

void LKAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
    if (unsavedCount_ > 0) {
        if (deleteOnEverySave_) db_saveAndDelete();
        else db_save();
    }
    unsavedCount_ = 0;
    unsavedTime_.reset();
    if (saveTimer_ && !saveTimerSuspended_) {
        saveTimer_->suspend();
        saveTimerSuspended_ = true;
    }
}

void LKAbstractDatabaseLogger::createSaveTimer() {
    if (saveTimer_) return;
    saveTimer_ = dispatch::TimerSource::create(loggerQueue());
    saveTimer_->setHandler(weakly(this, &LKAbstractDatabaseLogger::performSaveAndSuspendSaveTimer));
    saveTimerSuspended_ = true;
}

void LKAbstractDatabaseLogger::updateAndResumeSaveTimer() {
    if (!saveTimer_ || saveInterval_ <= 0 || !unsavedTime_) return;
    // Due saveInterval after the first pending message, however late this runs.
    const double delay = *unsavedTime_ + saveInterval_ - dispatch::Clock::now();
    saveTimer_->setTimer(delay, saveInterval_);
    if (saveTimerSuspended_) {
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
}

void LKAbstractDatabaseLogger::destroySaveTimer() {
    if (!saveTimer_) return;
    saveTimer_->cancel();
    saveTimerSuspended_ = false;
    saveTimer_.reset();
}

// MARK: deleting

void LKAbstractDatabaseLogger::performDelete() {
    if (maxAge_ <= 0) return;
    db_delete();
    lastDeleteTime_ = dispatch::Clock::now();
}

void LKAbstractDatabaseLogger::createAndStartDeleteTimer() {
    if (deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
    deleteTimer_ = dispatch::TimerSource::create(loggerQueue());
    deleteTimer_->setHandler(weakly(this, &LKAbstractDatabaseLogger::performDelete));
    updateDeleteTimer();
    deleteTimer_->resume();
}

void LKAbstractDatabaseLogger::updateDeleteTimer() {
    if (!deleteTimer_) return;
    // Counted from the last deletion; with none yet, from now.
    const double now = dispatch::Clock::now();
    const double delay = lastDeleteTime_ ? *lastDeleteTime_ + deleteInterval_ - now : deleteInterval_;
    deleteTimer_->setTimer(delay, deleteInterval_);
}

void LKAbstractDatabaseLogger::destroyDeleteTimer() {
    if (!deleteTimer_) return;
    deleteTimer_->cancel();
    deleteTimer_.reset();
}
