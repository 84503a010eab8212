#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "logging/LKFileLogger.h"
#include "logging/LKLog.h"
#include "logging/LKLogFileFormatterDefault.h"
#include "logging/LKLogFileManagerDefault.h"
#include "logging/TLLog.h"
#include "logging/TLLogFiles.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

std::string slurp(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::shared_ptr<const LKLogMessage> message(const std::string& text) {
    return std::make_shared<LKLogMessage>(text, 31, LKLogFlagInfo, 0, "file.cpp", "f", 1, nullptr, 0);
}

// A manager that tells the test when its logger rolled a file.
class ObservedManager : public LKLogFileManagerDefault {
public:
    using LKLogFileManagerDefault::LKLogFileManagerDefault;
    bool implementsDidRollAndArchiveLogFile() const override { return true; }
    void didRollAndArchiveLogFile(const std::string& path) override {
        std::lock_guard lock(mutex_);
        rolled_.push_back(path);
        changed_.notify_all();
    }
    bool waitForRolls(size_t count, milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return rolled_.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> rolled_;
};

// A formatter that hands back a fixed answer, to test what the logger adds.
class FixedFormatter : public LKLogFormatter {
public:
    explicit FixedFormatter(std::optional<std::string> line) : line_(std::move(line)) {}
    std::optional<std::string> formatLogMessage(const LKLogMessage&) override { return line_; }

private:
    std::optional<std::string> line_;
};

class LKFileLoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        LKLog::removeAllLoggers();
        LKLog::flushLog();
        LKLogFileInfo::setCurrentDateProvider(nullptr);
        if (dispatch::Clock::isVirtual()) dispatch::Clock::useRealTime();
    }

    fs::path folder() const { return home_.root() / "logs"; }

    std::shared_ptr<ObservedManager> makeManager(uint64_t limit) {
        auto manager = std::make_shared<ObservedManager>(folder().string());
        manager->setMaximumNumberOfLogFiles(limit);
        return manager;
    }
    // A logger writing the bare texts.
    std::shared_ptr<LKFileLogger> makeLogger(std::shared_ptr<LKLogFileManager> manager) {
        auto logger = std::make_shared<LKFileLogger>(std::move(manager));
        logger->setLogFormatter(nullptr);
        return logger;
    }
    // Hands the logger one message on its queue, as the dispatcher does.
    static void write(const std::shared_ptr<LKFileLogger>& logger, const std::string& text) {
        LKLog::flushLog();  // settings submitted before are in force
        logger->loggerQueue()->sync([&] { logger->logMessage(message(text)); });
    }

    // The log files of the folder, newest first, with their contents.
    std::vector<std::pair<std::string, std::string>> files() {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& path : LKLogFileManagerDefault(folder().string()).sortedLogFilePaths())
            out.push_back({fs::path(path).filename().string(), slurp(path)});
        return out;
    }
    std::vector<std::string> contents() {
        std::vector<std::string> out;
        for (const auto& [name, content] : files()) out.push_back(content);
        return out;
    }

    testsupport::TempHome home_;
};

}  // namespace

TEST_F(LKFileLoggerTest, ContinuesAFreshNewestFileAtStart) {
    auto manager = makeManager(1);
    write(makeLogger(manager), "one");
    write(makeLogger(makeManager(1)), "two");
    EXPECT_EQ(contents(), std::vector<std::string>{"one\ntwo\n"});
}

TEST_F(LKFileLoggerTest, NeverContinuesAnArchivedFileOrWhenToldNotTo) {
    write(makeLogger(makeManager(0)), "one");
    auto logger = makeLogger(makeManager(0));
    logger->setDoNotReuseLogFiles(true);
    write(logger, "two");
    EXPECT_EQ(contents(), (std::vector<std::string>{"two\n", "one\n"}));
    logger->rollLogFile();
    LKLog::flushLog();
    logger->loggerQueue()->sync([] {});  // the roll went through the logging queue to here
    write(makeLogger(makeManager(0)), "three");
    EXPECT_EQ(contents(), (std::vector<std::string>{"three\n", "two\n", "one\n"}));
}

namespace {
// Runs the child program under the test program's own name, so both use the
// same application name in their file names.
int runChild(const std::vector<std::string>& args) {
    std::string exe = TAVLO_FILE_LOGGER_CHILD;
    std::vector<std::string> all = {program_invocation_short_name};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST_F(LKFileLoggerTest, ANewProcessAppendsToTheFreshNewestFile) {
    ASSERT_EQ(runChild({"append", folder().string(), "from the first run"}), 0);
    ASSERT_EQ(runChild({"append", folder().string(), "from the second run"}), 0);
    write(makeLogger(makeManager(1)), "from the test");
    EXPECT_EQ(contents(), std::vector<std::string>{"from the first run\nfrom the second run\nfrom the test\n"});
}

TEST_F(LKFileLoggerTest, AStaleNewestFileIsArchivedAndANewOneMade) {
    write(makeLogger(makeManager(0)), "yesterday");
    auto old = LKLogFileManagerDefault(folder().string()).sortedLogFilePaths().at(0);
    // One day and a second later.
    LKLogFileInfo::setCurrentDateProvider([] { return system_clock::now() + hours(24) + seconds(1); });
    write(makeLogger(makeManager(2)), "today");
    auto now = files();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[0].second, "today\n");
    EXPECT_EQ(slurp(old), "yesterday\n");
    EXPECT_GE(::getxattr(old.c_str(), "user.logcore.log.archived", nullptr, 0), 0);

    // With the application's limit of one file the stale file goes.
    fs::remove_all(folder());
    LKLogFileInfo::setCurrentDateProvider(nullptr);
    write(makeLogger(makeManager(1)), "yesterday");
    LKLogFileInfo::setCurrentDateProvider([] { return system_clock::now() + hours(24) + seconds(1); });
    write(makeLogger(makeManager(1)), "today");
    EXPECT_EQ(contents(), std::vector<std::string>{"today\n"});
}

TEST_F(LKFileLoggerTest, ARollAtTheSizeLimitKeepsEveryLineWhole) {
    auto logger = makeLogger(makeManager(0));
    logger->setMaximumFileSize(100);
    const std::string line(29, 'x');  // 30 bytes with its line end
    for (int i = 0; i < 4; ++i) write(logger, line + char('a' + i));
    write(logger, "next");
    auto now = files();
    ASSERT_EQ(now.size(), 2u);
    // The fourth line took the first file past the limit and is whole in it.
    EXPECT_EQ(now[1].second, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxa\nxxxxxxxxxxxxxxxxxxxxxxxxxxxxxb\n"
                             "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxc\nxxxxxxxxxxxxxxxxxxxxxxxxxxxxxd\n");
    EXPECT_EQ(now[0].second, "next\n");
    EXPECT_EQ(logger->maximumFileSize(), 100u);
}

TEST_F(LKFileLoggerTest, TheAgeRollRunsOnTheDispatchClock) {
    dispatch::Clock::useVirtualTime(1000);
    auto logger = makeLogger(makeManager(0));
    logger->setRollingFrequency(60);
    write(logger, "a");
    dispatch::Clock::advance(59);
    write(logger, "b");
    EXPECT_EQ(contents(), std::vector<std::string>{"a\nb\n"});
    dispatch::Clock::advance(2);
    write(logger, "c");
    EXPECT_EQ(contents(), (std::vector<std::string>{"c\n", "a\nb\n"}));
    EXPECT_EQ(logger->rollingFrequency(), 60);

    // A shorter frequency set later applies to the current file at once.
    dispatch::Clock::advance(10);
    logger->setRollingFrequency(5);
    write(logger, "d");
    EXPECT_EQ(contents(), (std::vector<std::string>{"d\n", "c\n", "a\nb\n"}));
}

TEST_F(LKFileLoggerTest, AfterARollWithAFileLimitOfOneExactlyOneFileRemains) {
    auto manager = makeManager(1);
    auto logger = makeLogger(manager);
    write(logger, "first");
    bool completed = false;
    logger->rollLogFileWithCompletionBlock([&] { completed = true; });
    LKLog::flushLog();
    logger->loggerQueue()->sync([] {});
    ASSERT_TRUE(manager->waitForRolls(1, seconds(1)));
    write(logger, "second");
    EXPECT_EQ(contents(), std::vector<std::string>{"second\n"});
    dispatch::MainQueue::runUntilIdle();
    EXPECT_TRUE(completed);
}

TEST_F(LKFileLoggerTest, DeletingOrMovingTheCurrentFileStartsANewFileWithinASecond) {
    struct Row {
        const char* name;
        // Acts on the file and answers where it went (empty: gone).
        std::function<fs::path(const fs::path& file)> act;
    };
    const fs::path away = home_.root() / "moved.log";
    const Row rows[] = {
        {"deleted", [](const fs::path& file) { fs::remove(file); return fs::path(); }},
        {"renamed in the folder",
         [](const fs::path& file) {
             fs::rename(file, file.parent_path() / "kept.txt");
             return file.parent_path() / "kept.txt";
         }},
        {"moved away",
         [&](const fs::path& file) {
             fs::rename(file, away);
             return away;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(folder());
        auto manager = makeManager(1);
        auto logger = makeLogger(manager);
        write(logger, "before");
        auto file = LKLogFileManagerDefault(folder().string()).sortedLogFilePaths().at(0);
        fs::path moved = row.act(file);
        ASSERT_TRUE(manager->waitForRolls(1, seconds(1)));
        write(logger, "after");
        EXPECT_EQ(contents(), std::vector<std::string>{"after\n"});
        if (!moved.empty()) {
            EXPECT_EQ(slurp(moved), "before\n");
        }
    }
}

TEST_F(LKFileLoggerTest, LineEndsFollowTheFormatter) {
    struct Row {
        const char* name;
        std::optional<std::string> formatted;
        bool appendNewline;
        std::string written;
    };
    const Row rows[] = {
        {"nil writes nothing, not even a line end", std::nullopt, true, ""},
        {"a line end is added", "line", true, "line\n"},
        {"a line that ends with one gets no second", "line\n", true, "line\n"},
        {"custom lines kept as they are when asked", "line", false, "line"},
        {"the message text itself still gets one", "text", false, "text\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(folder());
        auto logger = std::make_shared<LKFileLogger>(makeManager(0));
        logger->setLogFormatter(std::make_shared<FixedFormatter>(row.formatted));
        logger->setAutomaticallyAppendNewlineForCustomFormatters(row.appendNewline);
        write(logger, "text");
        write(logger, "text");
        auto now = contents();
        EXPECT_EQ(now.empty() ? std::string() : now[0], row.written + row.written);
    }
}

TEST(LKLogFileFormatterDefaultTest, WritesTheLocalTimeWithMillisecondsThenTheText) {
    auto when = time_point_cast<system_clock::duration>(sys_days(year(2026) / 12 / 9) + hours(8) + minutes(46) +
                                                        seconds(5) + milliseconds(42));
    LKLogMessage m("hello", 31, LKLogFlagInfo, 0, "f.cpp", "f", 1, nullptr, 0, when);
    // The tests run with TZ=UTC.
    EXPECT_EQ(LKLogFileFormatterDefault().formatLogMessage(m), "2026/12/09 08:46:05:042  hello");
    LKLogFileFormatterDefault custom([](logging::Timestamp) { return std::string("when"); });
    EXPECT_EQ(custom.formatLogMessage(m), "when  hello");
}

TEST_F(LKFileLoggerTest, NewLoggersStartWithTheDefaultFormatter) {
    auto logger = std::make_shared<LKFileLogger>(makeManager(0));
    write(logger, "plain");
    auto now = contents();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_TRUE(std::regex_match(now[0], std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3}  plain\n)"))) << now[0];
}

TEST_F(LKFileLoggerTest, AFileWhereTheFolderShouldBeDropsLinesUntilItIsGone) {
    testsupport::RecordingSystemLog::Scope systemLog;
    std::ofstream(folder()) << "in the way";
    auto logger = makeLogger(makeManager(1));
    for (int i = 0; i < 3; ++i) write(logger, "lost");
    EXPECT_EQ(systemLog->count("LKFileLogManagerDefault: Error creating logsDirectory: "), 1u);
    EXPECT_EQ(slurp(folder()), "in the way");

    fs::remove(folder());
    write(logger, "back");
    EXPECT_EQ(contents(), std::vector<std::string>{"back\n"});
}

TEST_F(LKFileLoggerTest, AnUnwritableFolderDropsLinesUntilItIsWritable) {
    // The child drops its privileges when it has any, so the folder's mode binds it.
    fs::path root = home_.root() / "shared";
    fs::create_directories(root / "logs");
    for (const auto& p : {home_.root(), root}) fs::permissions(p, fs::perms(0755));
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((root / "logs").c_str(), 65534, 65534), 0);
    }
    fs::permissions(root / "logs", fs::perms(0500));
    ASSERT_EQ(runChild({"unwritable", (root / "logs").string()}), 0);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root / "logs")) names.push_back(entry.path().filename().string());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(slurp(root / "logs" / names[0]), "kept\n");
}

TEST_F(LKFileLoggerTest, FailingWritesAreReportedTenTimesAndWritingResumes) {
    testsupport::RecordingSystemLog::Scope systemLog;
    auto logger = makeLogger(makeManager(1));
    write(logger, "a");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    // Each line would cross the limit part-way: the part that got in is taken back.
    for (int i = 0; i < 12; ++i) write(logger, std::string(100, 'x'));
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    write(logger, "b");

    EXPECT_EQ(contents(), std::vector<std::string>{"a\nb\n"});
    auto lines = systemLog->messages();
    ASSERT_EQ(lines.size(), 11u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(lines[i].rfind("LKFileLogger.logMessage: Error Domain=NSPOSIXErrorDomain Code=27 ", 0), 0u) << lines[i];
    EXPECT_EQ(lines[10], "LKFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
}

TEST_F(LKFileLoggerTest, TheApplicationKeepsOneFilePerContext) {
    auto loggers = TLLogFiles::addFileLoggers();
    ASSERT_EQ(loggers.size(), 3u);
    TLLogInfo(TLLogContextSync, "synced %d", 3);
    TLLogError(TLLogContextGeneral, "general trouble");
    LKLog::flushLog();
    for (const auto& logger : loggers) logger->loggerQueue()->sync([] {});
    const fs::path root = home_.dataHome() / "Logs" / "Tavlo";
    auto only = [&](const char* context) {
        std::vector<std::string> out;
        for (const auto& path : LKLogFileManagerDefault((root / context).string()).sortedLogFilePaths())
            out.push_back(slurp(path));
        return out;
    };
    auto sync = only("Sync");
    ASSERT_EQ(sync.size(), 1u);
    EXPECT_TRUE(std::regex_match(sync[0], std::regex(R"(>> .+ \| \[INFO\] \| .+ \| Line \d+ \| synced 3\n)"))) << sync[0];
    EXPECT_TRUE(only("Pasteboard").empty());
    auto general = only("General");
    ASSERT_EQ(general.size(), 1u);
    EXPECT_NE(general[0].find("| [ERROR] |"), std::string::npos);
    EXPECT_EQ(loggers[0]->rollingFrequency(), 86400);
    EXPECT_EQ(loggers[0]->logFileManager()->maximumNumberOfLogFiles(), 1u);
}
