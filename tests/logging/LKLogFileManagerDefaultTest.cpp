#include <gtest/gtest.h>

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "logging/LKLog.h"
#include "logging/LKLogFileDateFormatter.h"
#include "logging/LKLogFileInfo.h"
#include "logging/LKLogFileManagerDefault.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

const std::string& app() { return LKLogFileManagerDefault::applicationName(); }

void touch(const fs::path& path, const std::string& content = {}) { std::ofstream(path) << content; }

std::string slurp(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class LKLogFileManagerDefaultTest : public ::testing::Test {
protected:
    fs::path folder() const { return home_.root() / "logs"; }
    std::shared_ptr<LKLogFileManagerDefault> makeManager(uint64_t limit, uint64_t quota) {
        auto manager = std::make_shared<LKLogFileManagerDefault>(folder().string());
        manager->setMaximumNumberOfLogFiles(limit);
        manager->setLogFilesDiskQuota(quota);
        LKLog::flushLog();  // the deletion pass the change submitted has run
        return manager;
    }

    testsupport::TempHome home_;
};

// Sets TZ for one test so GMT names can be told from local ones.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (saved_.empty()) ::unsetenv("TZ");
        else ::setenv("TZ", saved_.c_str(), 1);
        ::tzset();
    }

private:
    std::string saved_;
};

}  // namespace

TEST(LKLogFileDateFormatterTest, ReadsAndWritesGmtMinutes) {
    ScopedTimeZone tokyo("Asia/Tokyo");
    auto date = sys_days(year(2026) / 12 / 9) + hours(8) + minutes(46) + seconds(59);
    EXPECT_EQ(LKLogFileDateFormatter::stringFromDate(time_point_cast<system_clock::duration>(date)), "2026-12-09 08-46");
    auto parsed = LKLogFileDateFormatter::dateFromString("2026-12-09 08-46");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, time_point_cast<system_clock::duration>(sys_days(year(2026) / 12 / 9) + hours(8) + minutes(46)));
    for (const char* bad : {"2026-13-45 99-99", "2026-02-30 10-00", "2026-12-09 24-00", "2026-12-9 08-46",
                            "2026-12-09 08:46", "2026-12-09 08-46 ", "x026-12-09 08-46"})
        EXPECT_FALSE(LKLogFileDateFormatter::dateFromString(bad)) << bad;
}

TEST_F(LKLogFileManagerDefaultTest, SameMinuteFilesAreNamedInGmtWithANumberAndBothListed) {
    ScopedTimeZone tokyo("Asia/Tokyo");
    auto manager = makeManager(0, 0);
    std::string first, second, minuteBefore, minuteAfter;
    // Retried when the two creations straddle a minute.
    for (int attempt = 0; attempt < 3; ++attempt) {
        minuteBefore = LKLogFileDateFormatter::stringFromDate(system_clock::now());
        first = manager->createNewLogFile();
        second = manager->createNewLogFile();
        minuteAfter = LKLogFileDateFormatter::stringFromDate(system_clock::now());
        if (minuteBefore == minuteAfter) break;
        for (const auto& name : namesIn(folder())) fs::remove(folder() / name);
    }
    ASSERT_EQ(minuteBefore, minuteAfter);
    EXPECT_EQ(fs::path(first).filename(), app() + " " + minuteBefore + ".log");
    EXPECT_EQ(fs::path(second).filename(), app() + " " + minuteBefore + " 2.log");
    EXPECT_EQ(manager->sortedLogFileNames(),
              (std::vector<std::string>{app() + " " + minuteBefore + " 2.log", app() + " " + minuteBefore + ".log"}));
    EXPECT_EQ(fs::file_size(first), 0u);
    EXPECT_EQ(fs::status(first).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(LKLogFileManagerDefaultTest, RecognisesOnlyItsOwnNames) {
    LKLogFileManagerDefault manager(folder().string());
    struct Row { std::string name; bool ours; };
    const Row rows[] = {
        {app() + " 2026-12-09 08-46.log", true},
        {app() + " 2026-12-09 08-46 2.log", true},
        {app() + " 2026-12-09 08-46 17.log", true},
        {"notes.txt", false},
        {app() + " x.log", false},
        {app() + " 2026-13-45 99-99.log", false},
        {app() + "2 2026-12-09 08-46.log", false},
        {"other " + app() + " 2026-12-09 08-46.log", false},
        {app() + " 2026-12-09 08-46 backup.log", false},
        {app() + " 2026-12-09 08-46.log.bak", false},
        {app() + " 2026-12-09 08-46 2 3.log", false},
        {app() + " 2026-12-09.log", false},
    };
    for (const Row& row : rows) EXPECT_EQ(manager.isLogFile(row.name), row.ours) << row.name;
}

TEST_F(LKLogFileManagerDefaultTest, ForeignFilesAreNeverListedOrDeleted) {
    fs::create_directories(folder());
    const std::vector<std::string> foreign = {
        "notes.txt", app() + " x.log", app() + " 2026-13-45 99-99.log", app() + " 2026-12-09 08-46 backup.log",
        app() + "2 2026-01-01 00-00.log"};
    for (const auto& name : foreign) touch(folder() / name, "keep");
    // A folder with a log file's name is not a log file either.
    fs::create_directories(folder() / (app() + " 2020-01-01 00-00.log"));
    touch(folder() / (app() + " 2020-01-01 00-01.log"), "old");

    auto manager = makeManager(1, 0);
    EXPECT_EQ(manager->unsortedLogFileNames(), std::vector<std::string>{app() + " 2020-01-01 00-01.log"});
    std::string created = manager->createNewLogFile();
    manager->createNewLogFile();
    manager->deleteOldLogFiles();

    auto left = namesIn(folder());
    for (const auto& name : foreign) EXPECT_NE(std::find(left.begin(), left.end(), name), left.end()) << name;
    EXPECT_TRUE(fs::is_directory(folder() / (app() + " 2020-01-01 00-00.log")));
    EXPECT_FALSE(fs::exists(folder() / (app() + " 2020-01-01 00-01.log")));
    EXPECT_EQ(manager->sortedLogFilePaths().size(), 1u);
}

TEST_F(LKLogFileManagerDefaultTest, DeletesTheSurplusByCountAndQuota) {
    struct Row {
        const char* name;
        uint64_t limit, quota;
        uint64_t newestSize;
        bool archiveNewest;
        size_t filesLeft;
    };
    const Row rows[] = {
        {"limit 1 keeps the newest only", 1, 0, 10, false, 1},
        {"limit 3 keeps three", 3, 0, 10, false, 3},
        {"a 25 MiB newest file over the 20 MiB quota stays, older files go", 0, 20 * 1024 * 1024, 25 * 1024 * 1024,
         false, 1},
        {"the quota counts from the newest file on", 0, 25, 10, false, 2},
        {"an archived newest file over the quota goes too", 0, 20 * 1024 * 1024, 25 * 1024 * 1024, true, 0},
        {"no limit and no quota delete nothing", 0, 0, 10, false, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(folder());
        auto manager = makeManager(0, 0);
        std::vector<std::string> paths;
        for (int i = 0; i < 4; ++i) {
            paths.push_back(manager->createNewLogFile());
            fs::resize_file(paths.back(), 10);
        }
        fs::resize_file(paths.back(), row.newestSize);
        if (row.archiveNewest) LKLogFileInfo(paths.back()).setIsArchived(true);
        manager->setMaximumNumberOfLogFiles(row.limit);
        manager->setLogFilesDiskQuota(row.quota);
        manager->deleteOldLogFiles();
        auto left = manager->sortedLogFilePaths();
        EXPECT_EQ(left.size(), row.filesLeft);
        // Whatever stays is the newest files.
        for (size_t i = 0; i < left.size(); ++i) EXPECT_EQ(left[i], paths[paths.size() - 1 - i]);
    }
}

TEST_F(LKLogFileManagerDefaultTest, ChangingALimitDeletesOnTheLoggingQueue) {
    auto manager = makeManager(0, 0);
    for (int i = 0; i < 3; ++i) manager->createNewLogFile();
    manager->setMaximumNumberOfLogFiles(1);
    LKLog::flushLog();
    EXPECT_EQ(manager->sortedLogFilePaths().size(), 1u);
}

TEST(LKLogFileManagerSortTest, FilesBornAtTheSameInstantSortByNameNumberThenModification) {
    auto at = time_point_cast<system_clock::duration>(sys_days(year(2026) / 12 / 9) + hours(8) + minutes(46));
    auto info = [&](const std::string& suffix, seconds modified) {
        LKLogFileInfo::Attributes attributes;
        attributes.exists = true;
        attributes.creationDate = at;
        attributes.modificationDate = at + modified;
        return std::make_shared<LKLogFileInfo>("/logs/" + app() + " 2026-12-09 08-46" + suffix + ".log", attributes);
    };
    std::vector<std::shared_ptr<LKLogFileInfo>> infos = {info("", 5s), info(" 10", 0s), info(" 2", 1s),
                                                         info(" 9", 0s)};
    LKLogFileManagerDefault::sortNewestFirst(infos);
    std::vector<std::string> order;
    for (const auto& i : infos) order.push_back(i->fileName());
    EXPECT_EQ(order, (std::vector<std::string>{app() + " 2026-12-09 08-46 10.log", app() + " 2026-12-09 08-46 9.log",
                                               app() + " 2026-12-09 08-46 2.log", app() + " 2026-12-09 08-46.log"}));
}

TEST_F(LKLogFileManagerDefaultTest, TheArchivedMarkIsAUserExtendedAttribute) {
    auto manager = makeManager(0, 0);
    auto path = manager->createNewLogFile();
    LKLogFileInfo info(path);
    EXPECT_FALSE(info.isArchived());
    info.setIsArchived(true);
    EXPECT_TRUE(info.isArchived());
    EXPECT_GE(::getxattr(path.c_str(), "user.logcore.log.archived", nullptr, 0), 0);
    info.setIsArchived(false);
    EXPECT_FALSE(info.isArchived());
    EXPECT_LT(::getxattr(path.c_str(), "user.logcore.log.archived", nullptr, 0), 0);
}

TEST_F(LKLogFileManagerDefaultTest, RenamingOntoAnExistingNameReplacesThatFile) {
    fs::create_directories(folder());
    touch(folder() / "a.log", "mine");
    touch(folder() / "b.log", "theirs");
    testsupport::RecordingSystemLog::Scope systemLog;
    LKLogFileInfo info((folder() / "a.log").string());
    info.renameFile("b.log");
    EXPECT_EQ(info.filePath(), (folder() / "b.log").string());
    EXPECT_EQ(info.fileName(), "b.log");
    EXPECT_EQ(slurp(folder() / "b.log"), "mine");
    EXPECT_FALSE(fs::exists(folder() / "a.log"));
    EXPECT_TRUE(systemLog->messages().empty());
}

TEST_F(LKLogFileManagerDefaultTest, AFileInPlaceOfTheFolderIsReportedOnceAndListsNothing) {
    touch(folder(), "in the way");
    testsupport::RecordingSystemLog::Scope systemLog;
    LKLogFileManagerDefault manager(folder().string());
    EXPECT_EQ(manager.logsDirectory(), folder().string());
    EXPECT_TRUE(manager.sortedLogFileInfos().empty());
    manager.createNewLogFile();
    EXPECT_EQ(systemLog->count("LKFileLogManagerDefault: Error creating logsDirectory: Error Domain="), 1u);

    fs::remove(folder());
    EXPECT_TRUE(fs::path(manager.createNewLogFile()).has_filename());
    EXPECT_EQ(manager.sortedLogFilePaths().size(), 1u);
    EXPECT_EQ(fs::status(folder()).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(LKLogFileManagerDefaultTest, DescriptionNamesEveryField) {
    auto manager = makeManager(0, 0);
    LKLogFileInfo info(manager->createNewLogFile());
    std::string text = info.description();
    for (const char* key : {"filePath", "fileName", "fileAttributes", "creationDate", "modificationDate", "fileSize",
                            "age", "isArchived"})
        EXPECT_NE(text.find(std::string("    ") + key + " = "), std::string::npos) << key;
}
