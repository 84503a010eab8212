#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "RecordingLogger.h"
#include "logging/LKASLLogCapture.h"
#include "logging/LKASLLogger.h"
#include "logging/LKLog.h"
#include "platform/dispatch/Semaphore.h"
#include "tests/support/FakeSystemJournal.h"

namespace {

using Priority = foundation::SystemLog::Priority;
using testsupport::FakeSystemJournal;

// What a logger received, and a way to wait for a text to arrive.
class Collector {
public:
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();

    Collector() {
        logger->onMessage = [this](const LKLogMessage& m) {
            std::lock_guard lock(mutex_);
            messages_.push_back(m.copy());
            arrived_.notify_all();
        };
    }
    std::vector<std::shared_ptr<LKLogMessage>> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    size_t count(const std::string& text) {
        std::lock_guard lock(mutex_);
        return size_t(std::count_if(messages_.begin(), messages_.end(), [&](auto& m) { return m->message() == text; }));
    }
    // Real clock: capture runs on other threads.
    bool waitFor(const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, timeout, [&] {
            return std::any_of(messages_.begin(), messages_.end(), [&](auto& m) { return m->message() == text; });
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::shared_ptr<LKLogMessage>> messages_;
};

size_t entriesWithMessage(const FakeSystemJournal& journal, const std::string& text) {
    size_t n = 0;
    for (const auto& e : journal.entries()) n += e.field("MESSAGE") == text ? 1 : 0;
    return n;
}

double now1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class LKASLTest : public ::testing::Test {
protected:
    void TearDown() override {
        LKASLLogCapture::stop();
        EXPECT_TRUE(journal_->waitForWatcherCount(0)) << "capture did not end";
        LKASLLogCapture::setCaptureLevel(31);
        LKLog::removeAllLoggers();
        LKLog::flushLog();
    }
    void startCapture() {
        LKASLLogCapture::start();
        ASSERT_TRUE(journal_->waitForWatcherCount(1));
    }
    // Something other than the facility writes to the system log.
    void writeElsewhere(const std::string& text, Priority priority = Priority::Warning) {
        foundation::SystemLog::current()->write(priority, text, {});
    }

    FakeSystemJournal::Scope journal_;
    Collector collector;  // outlives TearDown, which removes its logger
};

}  // namespace

TEST_F(LKASLTest, LoggerSendsEachFlagAtItsPriorityWithTheMarker) {
    auto logger = LKASLLogger::sharedInstance();
    LKLog::addLogger(logger);
    struct Row { uint64_t flag; Priority priority; };
    const Row rows[] = {{1, Priority::Critical}, {2, Priority::Error},  {4, Priority::Warning},
                        {8, Priority::Notice},   {16, Priority::Notice}, {3, Priority::Notice}};
    for (const Row& r : rows) LKLog::log(true, 31, r.flag, 0, __FILE__, "f", 1, nullptr, "flag %llu", r.flag);
    LKLog::flushLog();

    auto entries = journal_->entries();
    ASSERT_EQ(entries.size(), std::size(rows));
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(rows[i].flag);
        EXPECT_EQ(entries[i].field("MESSAGE"), "flag " + std::to_string(rows[i].flag));
        EXPECT_EQ(entries[i].field("PRIORITY"), std::to_string(int(rows[i].priority)));
        EXPECT_EQ(entries[i].field("LKLOG"), "1");
    }
}

TEST_F(LKASLTest, LoggerSendsTheFormattedLineAndNothingForADroppedMessage) {
    struct Prefix : LKLogFormatter {
        std::optional<std::string> formatLogMessage(const LKLogMessage& m) override {
            if (m.context() == 9) return std::nullopt;
            return "P " + m.message();
        }
    };
    auto logger = LKASLLogger::sharedInstance();
    logger->setLogFormatter(std::make_shared<Prefix>());
    LKLog::addLogger(logger);
    LKLog::log(true, 31, 4, 1, __FILE__, "f", 1, nullptr, "kept");
    LKLog::log(true, 31, 4, 9, __FILE__, "f", 1, nullptr, "dropped");
    LKLog::flushLog();
    logger->setLogFormatter(nullptr);
    EXPECT_EQ(journal_->entries().size(), 1u);
    EXPECT_EQ(entriesWithMessage(*journal_, "P kept"), 1u);
}

TEST_F(LKASLTest, SentLinesAreNotCapturedBackAndCapturedLinesAreNotSentAgain) {
    LKLog::addLogger(LKASLLogger::sharedInstance());
    LKLog::addLogger(collector.logger);
    startCapture();

    LKLog::log(true, 31, LKLogFlagInfo, 3, __FILE__, "f", 1, nullptr, "sent by the facility");
    LKLog::flushLog();
    writeElsewhere("written elsewhere");
    journal_->notify();
    ASSERT_TRUE(collector.waitFor("written elsewhere"));
    LKLog::flushLog();

    EXPECT_EQ(collector.count("sent by the facility"), 1u) << "not captured back";
    EXPECT_EQ(entriesWithMessage(*journal_, "written elsewhere"), 1u) << "not sent again";
    EXPECT_EQ(entriesWithMessage(*journal_, "sent by the facility"), 1u);

    auto captured = collector.messages().back();
    EXPECT_EQ(captured->message(), "written elsewhere");
    EXPECT_EQ(captured->fileName(), "LKASLLogCapture");
    EXPECT_EQ(captured->context(), 0);
    EXPECT_EQ(captured->flag(), LKLogFlagInfo);
    EXPECT_EQ(captured->level(), 31u);
}

TEST_F(LKASLTest, CaptureTakesOnlyThisProcessesLinesWrittenSinceItStartedOnce) {
    LKLog::addLogger(collector.logger);
    journal_->append({{"MESSAGE", "before the start"}, {"PRIORITY", "4"}}, now1970() - 5, ::getpid());
    startCapture();
    journal_->append({{"MESSAGE", "other process"}, {"PRIORITY", "4"}}, now1970(), ::getpid() + 1);
    writeElsewhere("first");
    journal_->notify();
    ASSERT_TRUE(collector.waitFor("first"));
    writeElsewhere("second");
    journal_->notify();
    journal_->notify();
    ASSERT_TRUE(collector.waitFor("second"));
    LKLog::flushLog();

    std::vector<std::string> texts;
    for (auto& m : collector.messages()) texts.push_back(m->message());
    EXPECT_EQ(texts, (std::vector<std::string>{"first", "second"}));
}

TEST_F(LKASLTest, ASecondStartDoesNothing) {
    LKLog::addLogger(collector.logger);
    startCapture();
    LKASLLogCapture::start();
    writeElsewhere("once");
    journal_->notify();
    ASSERT_TRUE(collector.waitFor("once"));
    LKLog::flushLog();
    EXPECT_EQ(journal_->watcherCount(), 1u);
    EXPECT_EQ(collector.count("once"), 1u);
}

TEST_F(LKASLTest, StopTakesInWhatCameBeforeAndEndsTheCapture) {
    LKLog::addLogger(collector.logger);
    startCapture();
    writeElsewhere("before the stop");  // no notification yet
    LKASLLogCapture::stop();
    ASSERT_TRUE(journal_->waitForWatcherCount(0));
    ASSERT_TRUE(collector.waitFor("before the stop"));

    writeElsewhere("after the stop");
    journal_->notify();
    LKLog::flushLog();
    EXPECT_EQ(collector.count("after the stop"), 0u);

    // Started again, it captures anew, and only once even after a quick stop and start.
    startCapture();
    LKASLLogCapture::stop();
    LKASLLogCapture::start();
    ASSERT_TRUE(journal_->waitForWatches(3, 1)) << "the stopped capture ended, the new one watches";
    writeElsewhere("restarted");
    journal_->notify();
    ASSERT_TRUE(collector.waitFor("restarted"));
    LKLog::flushLog();
    EXPECT_EQ(collector.count("restarted"), 1u);
}

TEST_F(LKASLTest, PriorityGivesTheFlagAndErrorsAreQueuedSynchronously) {
    struct Row { const char* name; std::optional<std::string> priority; uint64_t flag; bool synchronous; };
    const Row rows[] = {
        {"emergency", "0", LKLogFlagError, true}, {"alert", "1", LKLogFlagError, true},
        {"critical", "2", LKLogFlagError, true},  {"error", "3", LKLogFlagWarning, false},
        {"warning", "4", LKLogFlagInfo, false},   {"notice", "5", LKLogFlagDebug, false},
        {"info", "6", LKLogFlagVerbose, false},   {"debug", "7", LKLogFlagVerbose, false},
        {"out of range", "9", LKLogFlagVerbose, false},
        {"no priority counts as 0", std::nullopt, LKLogFlagError, true},
    };
    // The logger holds the row's message until released: a synchronous
    // hand-over cannot return before that.
    dispatch::Semaphore latch(0);
    std::atomic<const char*> holdFor{nullptr};
    auto inner = collector.logger->onMessage;
    collector.logger->onMessage = [&](const LKLogMessage& m) {
        if (holdFor.load() && m.message() == holdFor.load()) latch.wait();
        inner(m);
    };
    LKLog::addLogger(collector.logger);
    (void)LKLog::allLoggers();

    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        foundation::SystemLogReader::Entry entry;
        entry.fields["MESSAGE"] = r.name;
        if (r.priority) entry.fields["PRIORITY"] = *r.priority;
        entry.time = 1700000000.25;
        holdFor = r.name;
        dispatch::Semaphore returned(0);
        std::thread([&] {
            LKASLLogCapture::aslMessageReceived(entry);
            returned.signal();
        }).detach();
        const bool returnedWhileHeld = returned.wait(0.3);
        EXPECT_EQ(returnedWhileHeld, !r.synchronous);
        latch.signal();
        if (!returnedWhileHeld) {
            ASSERT_TRUE(returned.wait(10));
        }
        LKLog::flushLog();
        auto m = collector.messages().back();
        EXPECT_EQ(m->message(), r.name);
        EXPECT_EQ(m->flag(), r.flag);
        EXPECT_EQ(m->timestamp(), logging::Timestamp(std::chrono::milliseconds(1700000000250)));
    }
}

TEST_F(LKASLTest, CaptureLevelDecidesWhichPrioritiesAreTakenIn) {
    LKLog::addLogger(collector.logger);
    LKASLLogCapture::setCaptureLevel(LKLogFlagError);
    for (int priority = 0; priority <= 7; ++priority) {
        foundation::SystemLogReader::Entry entry;
        entry.fields = {{"MESSAGE", "p" + std::to_string(priority)}, {"PRIORITY", std::to_string(priority)}};
        LKASLLogCapture::aslMessageReceived(entry);
    }
    foundation::SystemLogReader::Entry noText;
    noText.fields = {{"PRIORITY", "0"}};
    LKASLLogCapture::aslMessageReceived(noText);
    LKLog::flushLog();

    std::vector<std::string> texts;
    for (auto& m : collector.messages()) {
        texts.push_back(m->message());
        EXPECT_EQ(m->level(), uint64_t(LKLogFlagError)) << "the capture level travels as the message level";
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"p0", "p1", "p2"}));
}

TEST(LKASLLoggerSharedTest, NoFurtherLoggerOnceTheSharedOneExists) {
    auto shared = LKASLLogger::sharedInstance();
    EXPECT_EQ(LKASLLogger::sharedInstance(), shared);
    EXPECT_EQ(shared->loggerName(), "logcore.aslLogger");
    EXPECT_EQ(LKASLLogger::create(), nullptr);
}

// The whole road through the machine's own journal, where one runs.
TEST(LKASLJournalTest, RealJournalCapturesForeignLinesButNotTheFacilitysOwn) {
    auto reader = foundation::SystemLogReader::openJournal();
    if (!reader || !std::filesystem::exists("/run/systemd/journal/socket"))
        GTEST_SKIP() << "no readable journal with a running journald here";
    auto previousReader = foundation::SystemLogReader::setCurrent(reader.value());
    auto previousLog = foundation::SystemLog::setCurrent(foundation::SystemLog::makeDefault());

    Collector collector;
    LKLog::addLogger(LKASLLogger::sharedInstance());
    LKLog::addLogger(collector.logger);
    LKASLLogCapture::start();
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(now1970());
    LKLog::log(true, 31, LKLogFlagInfo, 0, __FILE__, "f", 1, nullptr, "%@", "facility " + tag);
    LKLog::flushLog();
    foundation::systemLog("foreign " + tag);
    const bool captured = collector.waitFor("foreign " + tag, std::chrono::seconds(20));
    LKASLLogCapture::stop();
    LKLog::flushLog();
    EXPECT_TRUE(captured);
    EXPECT_EQ(collector.count("facility " + tag), 1u);
    bool facilityLineMarked = false;
    for (const auto& e : reader.value()->entriesSince(now1970() - 60, ::getpid()))
        if (e.field("MESSAGE") == "facility " + tag) facilityLineMarked = e.field("LKLOG") == "1";
    EXPECT_TRUE(facilityLineMarked) << "the facility's line reached the journal with its marker";

    LKLog::removeAllLoggers();
    LKLog::flushLog();
    foundation::SystemLog::setCurrent(previousLog);
    foundation::SystemLogReader::setCurrent(previousReader);
}
