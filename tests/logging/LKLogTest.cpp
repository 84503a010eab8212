#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <fstream>
#include <sstream>

#include "RecordingLogger.h"
#include "logging/LKLog.h"
#include "platform/dispatch/Semaphore.h"
#include "tests/support/TempHome.h"

extern char** environ;

namespace {

class LKLogTest : public ::testing::Test {
protected:
    void TearDown() override {
        LKLog::removeAllLoggers();
        LKLog::flushLog();  // a sync step on the logging queue: the removal is done
    }
    static void drain() { LKLog::flushLog(); }
};

TEST_F(LKLogTest, LevelAdmitsOnlyItsFlags) {
    struct Row { const char* name; uint64_t level; std::vector<uint64_t> admitted; };
    const Row rows[] = {
        {"errors only", LKLogFlagError, {1}},
        {"warnings and info", LKLogFlagWarning | LKLogFlagInfo, {2, 4}},
        {"application level 31", 31, {1, 2, 4, 8, 16}},
        {"every bit", LKLogLevelAll, {1, 2, 4, 8, 16}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto logger = std::make_shared<RecordingLogger>();
        LKLog::addLogger(logger, r.level);
        for (uint64_t flag : {1, 2, 4, 8, 16})
            LKLog::log(true, 0, flag, 0, __FILE__, "f", 1, nullptr, "%llu", flag);
        drain();
        std::vector<std::string> expected;
        for (uint64_t flag : r.admitted) expected.push_back(std::to_string(flag));
        EXPECT_EQ(logger->lines(), expected);
        LKLog::removeLogger(logger);
    }
}

TEST_F(LKLogTest, AddingTwiceDeliversTwiceAndOneRemovalRemovesOneRegistration) {
    auto logger = std::make_shared<RecordingLogger>();
    LKLog::addLogger(logger);
    EXPECT_EQ(LKLog::allLoggers().size(), 1u) << "allLoggers sees an add made just before";
    LKLog::addLogger(logger);
    LKLog::log(true, 31, 4, 0, __FILE__, "f", 1, nullptr, "twice");
    drain();
    EXPECT_EQ(logger->lines().size(), 2u);
    LKLog::removeLogger(logger);
    ASSERT_EQ(LKLog::allLoggers().size(), 1u);
    LKLog::log(true, 31, 4, 0, __FILE__, "f", 1, nullptr, "once");
    drain();
    EXPECT_EQ(logger->lines().size(), 3u);
    LKLog::removeLogger(logger);
    LKLog::removeLogger(logger);  // not registered any more: nothing happens
    LKLog::removeLogger(nullptr);
    EXPECT_TRUE(LKLog::allLoggers().empty());
    LKLog::addLogger(logger);
    EXPECT_EQ(LKLog::allLoggers().size(), 1u) << "a removed logger can be added again";
}

TEST_F(LKLogTest, NullFormatLogsNothing) {
    auto logger = std::make_shared<RecordingLogger>();
    LKLog::addLogger(logger);
    LKLog::log(true, 31, 4, 0, __FILE__, "f", 1, nullptr, nullptr);
    drain();
    EXPECT_TRUE(logger->lines().empty());
}

TEST_F(LKLogTest, SynchronousCallReturnsAfterTheLoggerHandledIt) {
    auto logger = std::make_shared<RecordingLogger>();
    std::atomic<bool> handled{false};
    logger->onMessage = [&](const LKLogMessage&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        handled = true;
    };
    LKLog::addLogger(logger);
    LKLog::log(false, 31, LKLogFlagError, 0, __FILE__, "f", 1, nullptr, "error");
    EXPECT_TRUE(handled);
}

TEST_F(LKLogTest, SynchronousCallFromInsideALoggerCompletesWithoutDeadlock) {
    auto logger = std::make_shared<RecordingLogger>();
    logger->onMessage = [](const LKLogMessage& m) {
        if (m.message() == "outer") LKLog::log(false, 31, LKLogFlagError, 0, __FILE__, "f", 1, nullptr, "inner");
    };
    LKLog::addLogger(logger);
    dispatch::Semaphore done(0);
    std::thread caller([&] {
        LKLog::log(false, 31, LKLogFlagError, 0, __FILE__, "f", 1, nullptr, "outer");
        done.signal();
    });
    if (!done.wait(10)) {
        caller.detach();  // stuck for good: nothing it refers to is touched again
        FAIL() << "deadlocked";
    }
    caller.join();
    drain();
    EXPECT_EQ(logger->lines(), (std::vector<std::string>{"outer", "inner"}));
}

TEST_F(LKLogTest, TheThousandAndFirstWaitingMessageBlocksUntilASlotFrees) {
    auto logger = std::make_shared<RecordingLogger>();
    dispatch::Semaphore latch(0);
    std::atomic<bool> first{true};
    logger->onMessage = [&](const LKLogMessage&) {
        if (first.exchange(false)) latch.wait();
    };
    LKLog::addLogger(logger);
    // The first message is held inside the logger; it and the 999 behind it take
    // every slot, since a slot frees only when a dispatch finishes.
    for (int i = 0; i < 1000; ++i) LKLog::log(true, 31, 4, 0, __FILE__, "f", 1, nullptr, "%d", i);
    dispatch::Semaphore returned(0);
    std::thread caller([&] {
        LKLog::log(true, 31, 4, 0, __FILE__, "f", 1, nullptr, "1000");
        returned.signal();
    });
    EXPECT_FALSE(returned.wait(0.2)) << "the 1001st call did not wait";
    latch.signal();
    caller.join();
    drain();
    auto lines = logger->lines();
    ASSERT_EQ(lines.size(), 1001u) << "no message is lost";
    for (int i = 0; i <= 1000; ++i) EXPECT_EQ(lines[size_t(i)], std::to_string(i));
}

TEST_F(LKLogTest, AnErrorOnTheMainThreadBehindAThousandQueuedLinesReturnsAtOnce) {
    auto logger = std::make_shared<RecordingLogger>();
    dispatch::Semaphore latch(0);
    std::atomic<bool> first{true};
    logger->onMessage = [&](const LKLogMessage&) {
        if (first.exchange(false)) latch.wait();
    };
    LKLog::addLogger(logger);
    for (int i = 0; i < 1000; ++i) LKLog::log(true, 31, 4, 0, __FILE__, "f", 1, nullptr, "%d", i);
    // Should the error wait after all, the held logger lets go after a while
    // and the test fails instead of hanging.
    std::atomic<bool> returned{false}, released{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 500 && !returned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        released = true;
        latch.signal();
    });
    LKLog::log(false, 31, LKLogFlagError, 0, __FILE__, "f", 1, nullptr, "error");
    bool heldMeanwhile = !released;
    returned = true;
    watchdog.join();
    EXPECT_TRUE(heldMeanwhile) << "the error waited for the queued lines";
    drain();
    auto lines = logger->lines();
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines.back(), "error");
}

TEST_F(LKLogTest, FlushReachesLoggersThatImplementIt) {
    struct Flushing : RecordingLogger {
        std::atomic<int> flushes{0};
        void flush() override { ++flushes; }
        bool implementsFlush() const override { return true; }
    };
    auto logger = std::make_shared<Flushing>();
    LKLog::addLogger(logger);
    LKLog::flushLog();
    EXPECT_EQ(logger->flushes, 1);
}

TEST(LKLogClassTest, LevelsOfRegisteredClassesOnly) {
    uint64_t level = 7;
    LKLog::registerClass({"TLWithLevel", [&] { return level; }, [&](uint64_t l) { level = l; }});
    LKLog::registerClass({"TLWithoutSetter", [] { return uint64_t(1); }, nullptr});
    EXPECT_EQ(LKLog::registeredClassNames(), std::vector<std::string>{"TLWithLevel"});
    EXPECT_EQ(LKLog::levelForClassWithName("TLWithLevel"), 7u);
    LKLog::setLevelForClassWithName(3, "TLWithLevel");
    EXPECT_EQ(level, 3u);
    EXPECT_EQ(LKLog::levelForClassWithName("TLWithoutSetter"), LKLogLevelAll);
    EXPECT_EQ(LKLog::levelForClassWithName("NoSuchClass"), LKLogLevelAll);
    LKLog::setLevelForClassWithName(1, "NoSuchClass");  // nothing happens
}

// The termination flush happens once, in a process of its own that logs and exits.
int runChild(const std::string& mode, const std::string& file) {
    std::string self = "/proc/self/exe";
    std::string exe = std::string(TAVLO_FLUSH_CHILD);
    char* argv[] = {exe.data(), const_cast<char*>(mode.c_str()), const_cast<char*>(file.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LKLogTerminationTest, FlushesExactlyOnceAtExit) {
    testsupport::TempHome home;
    for (const char* mode : {"plain", "qt"}) {
        SCOPED_TRACE(mode);
        auto file = (home.root() / (std::string(mode) + ".txt")).string();
        ASSERT_EQ(runChild(mode, file), 0);
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(text.str(), "logged\nflush\n");
    }
}

}  // namespace
