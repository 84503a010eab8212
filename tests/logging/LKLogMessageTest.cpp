#include <gtest/gtest.h>

#include <thread>

#include "RecordingLogger.h"
#include "logging/LKLog.h"
#include "logging/LKLogMessage.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/ThreadIdentity.h"

TEST(LKLogMessageTest, FileNameDropsTheDirectoryAndTheLastExtension) {
    struct Row { const char* path; const char* name; };
    const Row rows[] = {
        {"/src/kit/TLPasteboardManager.mm", "TLPasteboardManager"},
        {"/src/archive.tar.gz", "archive.tar"},
        {"/src/Makefile", "Makefile"},
        {"/src.d/x.y/plain", "plain"},
        {"nodir.cpp", "nodir"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        LKLogMessage m("t", 31, 4, 0, r.path, "f", 1, nullptr, 0);
        EXPECT_EQ(m.fileName(), r.name);
        EXPECT_EQ(LKFileNameFromPath(r.path, true), r.name);
    }
    EXPECT_EQ(LKFileNameFromPath(nullptr, true), std::nullopt);
}

TEST(LKLogMessageTest, RecordsTheCallersTimeThreadAndQueue) {
    auto before = std::chrono::system_clock::now();
    std::shared_ptr<LKLogMessage> m;
    auto q = dispatch::Queue::createSerial("test.queue");
    std::string tid;
    q->sync([&] {
        foundation::setCurrentThreadName("named");
        tid = foundation::currentThreadID();
        m = std::make_shared<LKLogMessage>("t", 31, 4, 102, "/a/b.cpp", "f", 7, nullptr, 0);
    });
    EXPECT_GE(m->timestamp(), before);
    EXPECT_LE(m->timestamp(), std::chrono::system_clock::now());
    EXPECT_EQ(m->queueLabel(), "test.queue");
    EXPECT_EQ(m->threadID(), tid);
    EXPECT_EQ(m->threadName(), "named");

    std::optional<std::string> unnamed = "x";
    std::thread([&] { unnamed = LKLogMessage("t", 0, 4, 0, "", "", 0, nullptr, 0).threadName(); }).join();
    EXPECT_EQ(unnamed, std::nullopt) << "threads we did not name have no name";

    auto copy = m->copy();
    EXPECT_EQ(copy->storage(), m->storage()) << "a copy shares the fields";
    EXPECT_EQ(copy->message(), "t");
    EXPECT_EQ(copy->line(), 7u);
}

TEST(LKLogMessageTest, TimestampIsTakenAtTheCallNotAtDispatch) {
    auto logger = std::make_shared<RecordingLogger>();
    std::vector<std::chrono::system_clock::time_point> stamps;
    logger->onMessage = [&](const LKLogMessage& m) { stamps.push_back(m.timestamp()); };
    LKLog::addLogger(logger);
    auto callTime = std::chrono::system_clock::now();
    LKLog::loggingQueue()->async([] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    LKLog::log(true, 31, 4, 0, __FILE__, "f", 1, nullptr, "late");
    LKLog::flushLog();
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_LT(stamps[0] - callTime, std::chrono::milliseconds(90));
    LKLog::removeAllLoggers();
    LKLog::flushLog();
}

namespace {
struct CountingFormatter : LKLogFormatter {
    int added = 0, removed = 0;
    std::optional<std::string> formatLogMessage(const LKLogMessage& m) override { return "[" + m.message() + "]"; }
    void didAddToLogger(LKLogger&) override { ++added; }
    void willRemoveFromLogger(LKLogger&) override { ++removed; }
};
}  // namespace

TEST(LKAbstractLoggerTest, FormatterChangesCallTheHooksOnlyWhenItChanges) {
    auto logger = std::make_shared<RecordingLogger>();
    auto f = std::make_shared<CountingFormatter>();
    logger->setLogFormatter(f);
    EXPECT_EQ(logger->logFormatter(), f);
    logger->setLogFormatter(f);
    EXPECT_EQ(logger->logFormatter(), f);
    EXPECT_EQ(f->added, 1);
    EXPECT_EQ(f->removed, 0);
    logger->setLogFormatter(nullptr);
    EXPECT_EQ(logger->logFormatter(), nullptr);
    EXPECT_EQ(f->removed, 1);
}

TEST(LKAbstractLoggerTest, FormatterSetBeforeAddingIsInPlaceForTheFirstMessage) {
    for (int round = 0; round < 50; ++round) {
        auto logger = std::make_shared<RecordingLogger>();
        logger->setLogFormatter(std::make_shared<CountingFormatter>());
        LKLog::addLogger(logger);
        LKLog::log(true, 31, 4, 0, __FILE__, "f", 1, nullptr, "first");
        LKLog::flushLog();
        ASSERT_EQ(logger->lines(), std::vector<std::string>{"[first]"});
        LKLog::removeLogger(logger);
    }
    LKLog::flushLog();
}

TEST(LKAbstractLoggerTest, KnowsWhichQueueItRunsOn) {
    auto logger = std::make_shared<RecordingLogger>();
    EXPECT_EQ(logger->loggerQueue()->label(), "test.recording");
    EXPECT_FALSE(logger->isOnInternalLoggerQueue());
    bool onOwn = false, onGlobal = true;
    logger->loggerQueue()->sync([&] {
        onOwn = logger->isOnInternalLoggerQueue();
        onGlobal = logger->isOnGlobalLoggingQueue();
    });
    EXPECT_TRUE(onOwn);
    EXPECT_FALSE(onGlobal);
    LKLog::loggingQueue()->sync([&] { onGlobal = logger->isOnGlobalLoggingQueue(); });
    EXPECT_TRUE(onGlobal);
}
