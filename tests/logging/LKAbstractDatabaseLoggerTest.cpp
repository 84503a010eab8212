#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "logging/LKAbstractDatabaseLogger.h"
#include "logging/LKLog.h"
#include "platform/dispatch/Clock.h"

namespace {

// Counts what the base asks of its storage, and when (on the virtual clock).
class CountingDatabaseLogger : public LKAbstractDatabaseLogger {
public:
    std::atomic<bool> keep{true};
    std::atomic<int> stored{0}, saves{0}, deletes{0}, savesAndDeletes{0};

    std::vector<double> saveTimes() {
        std::lock_guard lock(mutex_);
        return saveTimes_;
    }

protected:
    bool db_log(const LKLogMessage&) override {
        if (!keep) return false;
        ++stored;
        return true;
    }
    void db_save() override {
        ++saves;
        std::lock_guard lock(mutex_);
        saveTimes_.push_back(dispatch::Clock::now());
    }
    void db_delete() override { ++deletes; }
    void db_saveAndDelete() override { ++savesAndDeletes; }

private:
    std::mutex mutex_;
    std::vector<double> saveTimes_;
};

class LKAbstractDatabaseLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { dispatch::Clock::useVirtualTime(0); }
    void TearDown() override {
        LKLog::removeAllLoggers();
        settle();
        dispatch::Clock::useRealTime();
    }

    // Registers the logger once the settings made so far are in place.
    void add() {
        LKLog::addLogger(logger_);
        settle();
    }
    void log(int count) {
        for (int i = 0; i < count; ++i) LKLog::log(true, 31, LKLogFlagInfo, 0, __FILE__, "f", 1, nullptr, "m %d", i);
        settle();
    }
    // Every message and setting sent so far has reached the logger, and every
    // timer handler submitted so far has run.
    void settle() {
        (void)LKLog::allLoggers();  // a step on the logging queue behind every dispatch
        logger_->loggerQueue()->sync([] {});
    }
    void advance(double seconds) {
        dispatch::Clock::advance(seconds);
        settle();
    }

    std::shared_ptr<CountingDatabaseLogger> logger_ = std::make_shared<CountingDatabaseLogger>();
};

}  // namespace

TEST_F(LKAbstractDatabaseLoggerTest, SavesAtOnceWhenThePendingCountReachesTheThresholdThenItsTimerRests) {
    add();
    log(499);
    EXPECT_EQ(logger_->saves, 0);
    log(1);
    EXPECT_EQ(logger_->saves, 1) << "the 500th message saves without waiting";
    advance(60);
    EXPECT_EQ(logger_->saves, 1) << "the save timer was suspended by the save";
    log(1);
    advance(60);
    EXPECT_EQ(logger_->saves, 2) << "the next pending message starts the timer again";
}

TEST_F(LKAbstractDatabaseLoggerTest, WithoutAThresholdTheTimerSavesTheIntervalAfterTheFirstPendingMessage) {
    logger_->setSaveThreshold(0);
    add();
    advance(10);
    log(3);
    advance(59.5);
    EXPECT_EQ(logger_->saves, 0);
    advance(0.5);
    ASSERT_EQ(logger_->saves, 1);
    EXPECT_DOUBLE_EQ(logger_->saveTimes()[0], 70.0);

    advance(100);
    EXPECT_EQ(logger_->saves, 1) << "nothing pending: the timer rests";
    log(1);  // at 170
    advance(60);
    ASSERT_EQ(logger_->saves, 2);
    EXPECT_DOUBLE_EQ(logger_->saveTimes()[1], 230.0);
}

TEST_F(LKAbstractDatabaseLoggerTest, MessagesTheStorageDoesNotKeepNeverCauseASave) {
    logger_->keep = false;
    logger_->setSaveThreshold(1);
    add();
    log(10);
    advance(600);
    LKLog::flushLog();
    EXPECT_EQ(logger_->saves, 0);
    EXPECT_EQ(logger_->savesAndDeletes, 0);
}

TEST_F(LKAbstractDatabaseLoggerTest, FlushAndRemovalSavePendingEntries) {
    add();
    log(3);
    LKLog::flushLog();
    EXPECT_EQ(logger_->saves, 1);
    LKLog::flushLog();
    EXPECT_EQ(logger_->saves, 1) << "nothing pending, nothing saved";
    log(2);
    LKLog::removeLogger(logger_);
    settle();
    EXPECT_EQ(logger_->saves, 2);
    advance(600);
    EXPECT_EQ(logger_->deletes, 0) << "removal destroyed the delete timer";
}

TEST_F(LKAbstractDatabaseLoggerTest, LoweringTheThresholdBelowThePendingCountSavesNow) {
    add();
    log(20);
    logger_->setSaveThreshold(30);
    settle();
    EXPECT_EQ(logger_->saves, 0);
    logger_->setSaveThreshold(20);
    settle();
    EXPECT_EQ(logger_->saves, 1);
}

TEST_F(LKAbstractDatabaseLoggerTest, SavingAlsoDeletesWhenAskedTo) {
    logger_->setDeleteOnEverySave(true);
    logger_->setSaveThreshold(2);
    add();
    log(2);
    EXPECT_EQ(logger_->savesAndDeletes, 1);
    EXPECT_EQ(logger_->saves, 0);
}

TEST_F(LKAbstractDatabaseLoggerTest, DeletesOldEntriesOnItsTimerAndWhenTheAgeIsLowered) {
    add();
    advance(299);
    EXPECT_EQ(logger_->deletes, 0);
    advance(1);
    EXPECT_EQ(logger_->deletes, 1);
    advance(300);
    EXPECT_EQ(logger_->deletes, 2);

    logger_->setMaxAge(24 * 60 * 60.0);
    settle();
    EXPECT_EQ(logger_->deletes, 3) << "a shorter age deletes at once";
    logger_->setMaxAge(2 * 24 * 60 * 60.0);
    settle();
    EXPECT_EQ(logger_->deletes, 3) << "a longer one does not";

    advance(300);
    EXPECT_EQ(logger_->deletes, 4) << "the timer counts from the last deletion";

    logger_->setMaxAge(0);
    settle();
    advance(900);
    EXPECT_EQ(logger_->deletes, 4) << "no age: no deletion";
    logger_->setMaxAge(60);
    settle();
    EXPECT_EQ(logger_->deletes, 5) << "an age again deletes at once";
    advance(300);
    EXPECT_EQ(logger_->deletes, 6) << "and restarts the timer";
}

TEST_F(LKAbstractDatabaseLoggerTest, DeleteIntervalChangesTheTimerAndZeroStopsIt) {
    add();
    logger_->setDeleteInterval(100);
    settle();
    advance(100);
    EXPECT_EQ(logger_->deletes, 1);
    logger_->setDeleteInterval(0);
    settle();
    advance(1000);
    EXPECT_EQ(logger_->deletes, 1);
    logger_->deleteOldLogEntries();
    settle();
    EXPECT_EQ(logger_->deletes, 2) << "asked for, it still deletes";
}

TEST_F(LKAbstractDatabaseLoggerTest, SettingsReadBackAndSaveIntervalZeroStopsTimedSaves) {
    logger_->setSaveThreshold(0);
    logger_->setSaveInterval(0);
    add();
    EXPECT_EQ(logger_->saveThreshold(), 0u);
    EXPECT_EQ(logger_->saveInterval(), 0.0);
    EXPECT_EQ(logger_->maxAge(), 604800.0);
    EXPECT_EQ(logger_->deleteInterval(), 300.0);
    EXPECT_FALSE(logger_->deleteOnEverySave());
    log(5);
    advance(1000);
    EXPECT_EQ(logger_->saves, 0);
    logger_->setSaveInterval(30);  // pending since 0: due at once
    settle();
    advance(0);
    EXPECT_EQ(logger_->saves, 1);
    logger_->savePendingLogEntries();
    settle();
    EXPECT_EQ(logger_->saves, 1);
}
