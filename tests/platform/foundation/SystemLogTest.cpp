#include <gtest/gtest.h>

#include "platform/foundation/SystemLog.h"
#include "tests/support/RecordingSystemLog.h"

using foundation::SystemLog;

TEST(SystemLogTest, AReplacementReceivesTheLinesUntilTheOldOneIsBack) {
    auto before = SystemLog::current();
    {
        testsupport::RecordingSystemLog::Scope recording;
        foundation::systemLog("first");
        SystemLog::current()->write(SystemLog::Priority::Error, "second", {{"LKLOG", "1"}});
        auto entries = recording->entries();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0].message, "first");
        EXPECT_EQ(entries[0].priority, SystemLog::Priority::Warning);
        EXPECT_EQ(entries[1].priority, SystemLog::Priority::Error);
        ASSERT_EQ(entries[1].fields.size(), 1u);
        EXPECT_EQ(entries[1].fields[0].name, "LKLOG");
    }
    EXPECT_EQ(SystemLog::current(), before);
}

TEST(SystemLogTest, TheRealLogTakesLinesWithOrWithoutAJournal) {
    // Without journald (CI containers) the line goes to syslog(3), which drops
    // it quietly when nothing listens; either way the caller goes on.
    auto real = SystemLog::makeDefault();
    real->write(SystemLog::Priority::Notice, "tavlo system log test\nsecond line", {{"TAVLO_TEST", "1"}});
    SUCCEED();
}

TEST(SystemLogTest, SettingNullRestoresTheRealLog) {
    auto recording = std::make_shared<testsupport::RecordingSystemLog>();
    auto previous = SystemLog::setCurrent(recording);
    EXPECT_EQ(SystemLog::setCurrent(nullptr), recording);
    EXPECT_NE(SystemLog::current(), recording);
    SystemLog::setCurrent(previous);
}
