// The report folder tree below a temporary Caches folder and the report
// objects made from folders.
#include "sdk/blackbox/BBXFileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXReport.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using foundation::PlistValue;

void touch(const fs::path& path, const std::string& contents = {}) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << contents;
}

std::vector<std::string> names(const std::vector<std::string>& paths) {
    std::vector<std::string> result;
    for (const auto& path : paths) result.push_back(fs::path(path).filename().string());
    return result;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> result;
    for (const auto& entry : fs::directory_iterator(folder)) result.push_back(entry.path().filename().string());
    std::sort(result.begin(), result.end());
    return result;
}

using blackboxtest::metadataRecord;

class BBXFileManagerTest : public ::testing::Test {
protected:
    std::shared_ptr<foundation::Bundle> bundle(const std::string& identifier) {
        touch(home_.root() / "App.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>" + identifier + "</string></dict></plist>\n");
        return foundation::Bundle::withPath(home_.root() / "App.app");
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
};

TEST_F(BBXFileManagerTest, TheTreeLiesBelowCachesInTheEscapedNamespace) {
    BBXFileManager manager(bundle("a/b"));
    EXPECT_EQ(BBXFileManager::pathNamespace(bundle("a/b")), "a_b");
    fs::path root = home_.cacheHome() / "com.blackbox.data" / "a_b";
    EXPECT_EQ(manager.rootPath(), root.string());
    EXPECT_EQ(manager.activePath(), (root / "v3" / "active").string());
    EXPECT_EQ(manager.preparedPath(), (root / "v3" / "prepared").string());
    EXPECT_FALSE(fs::exists(root));  // nothing is made before asked

    ASSERT_TRUE(manager.prepareForNewLaunch());
    EXPECT_EQ(namesIn(root / "v3"), (std::vector<std::string>{"active", "prepared", "processing"}));
    struct stat status {};
    ASSERT_EQ(::stat(manager.activePath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0755u);
    auto folder = manager.setupNewPathForExecutionIdentifier("0123abcd");
    ASSERT_TRUE(folder);
    EXPECT_EQ(*folder, manager.activePath() + "/0123abcd");
    EXPECT_TRUE(fs::is_directory(*folder));
}

TEST_F(BBXFileManagerTest, HiddenEntriesAreNeverListedMovedOrRemoved) {
    BBXFileManager manager(bundle("org.example"));
    ASSERT_TRUE(manager.prepareForNewLaunch());
    fs::path active = manager.activePath();
    touch(active / ".hidden");
    touch(active / "report-b" / "metadata.bbxrecord");
    touch(active / "report-a.multipartmime");
    std::vector<std::pair<std::string, std::string>> seen;
    manager.enumerateFilesInActiveDirectoryUsingBlock(
        [&](const std::string& path, const std::string& extension) { seen.emplace_back(path, extension); });
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                        {(active / "report-a.multipartmime").string(), "multipartmime"},
                        {(active / "report-b").string(), ""}}));

    EXPECT_TRUE(manager.moveItemsFromDirectory(manager.activePath(), manager.processingPath()));
    EXPECT_EQ(namesIn(active), std::vector<std::string>{".hidden"});
    touch(fs::path(manager.processingPath()) / ".keep");
    EXPECT_TRUE(manager.removeContentsOfAllPaths());
    EXPECT_EQ(namesIn(manager.processingPath()), std::vector<std::string>{".keep"});
    EXPECT_EQ(namesIn(active), std::vector<std::string>{".hidden"});
}

TEST_F(BBXFileManagerTest, AFailingSecondMoveLeavesTheThirdEntry) {
    BBXFileManager manager(bundle("org.example"));
    ASSERT_TRUE(manager.prepareForNewLaunch());
    fs::path active = manager.activePath(), processing = manager.processingPath();
    for (const char* name : {"1-first", "2-second", "3-third"}) touch(active / name / "metadata.bbxrecord");
    touch(processing / "2-second" / "already-there");
    EXPECT_FALSE(manager.moveItemsFromDirectory(active, processing));
    EXPECT_EQ(namesIn(active), (std::vector<std::string>{"2-second", "3-third"}));
    EXPECT_EQ(namesIn(processing), (std::vector<std::string>{"1-first", "2-second"}));
    EXPECT_TRUE(fs::exists(processing / "2-second" / "already-there"));
    EXPECT_TRUE(log_->contains("[FileManager] Failed to move file: "));

    EXPECT_FALSE(manager.moveItemAtPath("", processing));
    EXPECT_TRUE(log_->contains("[FileManager] Failed to move file, inputs invalid"));
    EXPECT_FALSE(manager.removeItemAtPath((active / "missing").string()));
    EXPECT_TRUE(log_->contains("[FileManager] Failed to remove file '" + (active / "missing").string() + "' : "));
    EXPECT_EQ(manager.fileSizeAtPath((active / "missing").string()), std::nullopt);
    EXPECT_TRUE(log_->contains("[Client] Unable to read file size: "));
    touch(active / "sized", "12345");
    EXPECT_EQ(manager.fileSizeAtPath((active / "sized").string()), 5u);
}

TEST_F(BBXFileManagerTest, ALegacyMarkerRemovesTheRootBeforeThisLaunchsStagesExist) {
    BBXFileManager manager(bundle("org.example"));
    fs::path root = manager.rootPath();
    touch(root / "v3" / "active" / "old-report" / "signal.bbxrecord");
    touch(root / "analytics" / "events");
    manager.removeLegacyDirectories();  // no marker: nothing happens
    EXPECT_TRUE(fs::exists(root / "v3" / "active" / "old-report"));
    EXPECT_FALSE(log_->contains("[Blackbox:FileManager] Removed legacy structure at "));

    touch(root / "sendable");
    manager.removeLegacyDirectories();
    EXPECT_FALSE(fs::exists(root));
    EXPECT_TRUE(log_->contains("[Blackbox:FileManager] Removed legacy structure at " + root.string()));
    ASSERT_TRUE(manager.prepareForNewLaunch());
    ASSERT_TRUE(manager.setupNewPathForExecutionIdentifier("current"));
    EXPECT_TRUE(fs::is_directory(fs::path(manager.activePath()) / "current"));
    EXPECT_TRUE(manager.activePathContents() == std::vector<std::string>{manager.activePath() + "/current"});
}

TEST_F(BBXFileManagerTest, ReportObjectsReadTheirFolder) {
    BBXFileManager manager(bundle("org.example"));
    ASSERT_TRUE(manager.prepareForNewLaunch());
    fs::path processing = manager.processingPath();
    touch(processing / "empty" / "metadata.bbxrecord");
    touch(processing / "errors-only" / "metadata.bbxrecord", metadataRecord("s-errors"));
    touch(processing / "errors-only" / "errors_a.bbxrecord", "{\"error\":{}}\n");
    touch(processing / "signal" / "metadata.bbxrecord", metadataRecord("s-signal"));
    touch(processing / "signal" / "signal.bbxrecord", "{\"signal\":{}}\n");

    std::vector<std::pair<std::string, std::shared_ptr<BBXInternalReport>>> reports;
    manager.enumerateReportsInProcessingDirectoryUsingBlock(
        [&](const std::shared_ptr<BBXInternalReport>& report, const std::string& path) {
            reports.emplace_back(fs::path(path).filename().string(), report);
        });
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].first, "empty");
    EXPECT_EQ(reports[0].second, nullptr);
    EXPECT_TRUE(log_->contains("[Blackbox:Crash] Unable to read identifier at path " + (processing / "empty").string()));
    EXPECT_EQ(BBXInternalReport::readMetadataAtPath((processing / "empty" / "metadata.bbxrecord").string()),
              std::nullopt);
    auto empty = BBXInternalReport::reportWithPathExecutionIdentifier((processing / "empty").string(), "live");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->APIKey(), std::nullopt);
    EXPECT_EQ(empty->dateCreated(), std::nullopt);
    EXPECT_EQ(empty->bundleVersion(), std::nullopt);
    EXPECT_EQ(BBXInternalReport::reportWithPathExecutionIdentifier(std::nullopt, "live"), nullptr);

    auto errors = reports[1].second;
    ASSERT_TRUE(errors);
    EXPECT_EQ(errors->identifier(), "s-errors");
    EXPECT_FALSE(errors->isCrash());
    EXPECT_TRUE(errors->needsToBeSubmitted());
    EXPECT_EQ(errors->APIKey(), "key-1");
    EXPECT_EQ(errors->dateCreated(), foundation::Date(1700000000));
    EXPECT_EQ(errors->OSVersion(), "12.0.0");
    EXPECT_EQ(errors->OSBuildVersion(), "bookworm");
    EXPECT_EQ(errors->bundleVersion(), "421");
    EXPECT_EQ(errors->bundleShortVersionString(), "1.4.2");
    EXPECT_EQ(errors->directoryName(), "errors-only");
    EXPECT_EQ(errors->binaryImagePath(), (processing / "errors-only" / "binary_images.bbxrecord").string());

    auto signal = reports[2].second;
    ASSERT_TRUE(signal);
    EXPECT_TRUE(signal->isCrash());
    EXPECT_TRUE(signal->needsToBeSubmitted());
    std::vector<std::string> symbolicatable;
    signal->enumerateSymbolicatableFilesInContent([&](const std::string& path) { symbolicatable.push_back(path); });
    EXPECT_EQ(names(symbolicatable),
              (std::vector<std::string>{"exception.bbxrecord", "mach_exception.bbxrecord", "signal.bbxrecord"}));

    // The folder moves: the report follows its new path.
    ASSERT_TRUE(manager.moveProcessingContentsToPrepared());
    signal->setPath(manager.preparedPath() + "/signal");
    EXPECT_TRUE(signal->isCrash());

    BBXReport report(signal);
    EXPECT_EQ(report.identifier(), "s-signal");
    EXPECT_EQ(report.crashedOnDate(), foundation::Date(1700000000));
    EXPECT_EQ(report.bundleShortVersionString(), "1.4.2");
    EXPECT_TRUE(report.isCrash());
    EXPECT_EQ(report.userIdentifier(), std::nullopt);
    EXPECT_EQ(report.customKeys(), std::nullopt);
}

}  // namespace
