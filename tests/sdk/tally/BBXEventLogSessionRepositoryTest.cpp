#include "sdk/tally/BBXEventLogSessionRepository.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/TempHome.h"

namespace fs = std::filesystem;
using Repository = BBXEventLogSessionRepository;

namespace {

void touch(const fs::path& path, const std::string& bytes = "x") {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << bytes;
}

}  // namespace

TEST(BBXEventLogSessionRepositoryTest, Names) {
    const struct {
        const char* name;
        uint64_t priority;
    } cases[] = {{"0.log", 0},  {"1.log", 1}, {"2.log", 2}, {"2.log.zip", 2}, {"1.log.zip", 1},
                 {"3.log", Repository::kNoPriority}, {"2.txt", Repository::kNoPriority}, {"log", Repository::kNoPriority}};
    for (const auto& c : cases) EXPECT_EQ(Repository::priorityForEventLogFileWithName(c.name), c.priority) << c.name;
    EXPECT_EQ(Repository::activeEventLogFileNameForPriority(2), "2.log");
    EXPECT_FALSE(Repository::activeEventLogFileNameForPriority(3));
    EXPECT_EQ(Repository::sessionDirectoryNameWithIdentifier("abc", 1700000000000), "1700000000000_abc");
    EXPECT_TRUE(Repository::isPrepDirectoryURL(Repository::prepDirectoryForDirectoryURL("/a/b/1_F")));
    EXPECT_EQ(Repository::prepDirectoryForDirectoryURL("/a/b/1_F"), fs::path("/a/b/1_F.prep"));
}

class BBXEventLogSessionRepositoryFilesTest : public ::testing::Test {
protected:
    testsupport::TempHome home_;
    fs::path root_ = home_.root() / "analytics";
    Repository repository_{root_};
};

TEST_F(BBXEventLogSessionRepositoryFilesTest, FragmentsPrepAndRemoval) {
    auto file = repository_.eventLogFileURLForStateName("ACTIVE", "s", 1, "F", 2, 2);
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(file.value(), root_ / "v1/ACTIVE/1_s/2_F/2.log");
    EXPECT_TRUE(fs::is_directory(root_ / "v1/ACTIVE/1_s/2_F"));
    EXPECT_FALSE(fs::exists(file.value()));

    // A prep twin replaces its plain twin when it leaves prep.
    auto fragment = file.value().parent_path();
    touch(root_ / "v1/PACKAGED/1_s/2_F/old.log.zip");
    auto prep = repository_.prepSessionFragmentDirectoryURLForStateName("PACKAGED", fragment);
    ASSERT_TRUE(prep.ok());
    EXPECT_EQ(prep.value(), root_ / "v1/PACKAGED/1_s/2_F.prep");
    touch(prep.value() / "2.log.zip");
    auto plain = repository_.removePrepStatusFromSessionFragmentDirectoryURL(prep.value());
    ASSERT_TRUE(plain.ok());
    EXPECT_TRUE(fs::exists(plain.value() / "2.log.zip"));
    EXPECT_FALSE(fs::exists(plain.value() / "old.log.zip"));
    EXPECT_FALSE(repository_.prepSessionFragmentDirectoryURLForStateName("PACKAGED", "a/b").ok());

    // Removing the last fragment takes the session and state folders with it.
    ASSERT_TRUE(repository_.removeSessionFragmentDirectory(plain.value()).ok());
    EXPECT_FALSE(fs::exists(root_ / "v1/PACKAGED"));
    EXPECT_TRUE(repository_.stateDirectoryURLForStateName("PACKAGED").ok());
    EXPECT_TRUE(fs::is_directory(root_ / "v1/PACKAGED"));

    touch(fragment / "2.log");
    touch(fragment / ".hidden");
    auto files = repository_.logFileURLsForAllStates();
    ASSERT_TRUE(files.ok());
    EXPECT_EQ(files.value(), std::vector<fs::path>{fragment / "2.log"});
    ASSERT_TRUE(repository_.removeLogFile(fragment / "2.log").ok());
    EXPECT_FALSE(fs::exists(root_ / "v1/ACTIVE"));
}

TEST_F(BBXEventLogSessionRepositoryFilesTest, SweepKeepsLogsAndTheCurrentFragmentAndNeverFollowsLinks) {
    const fs::path active = root_ / "v1/ACTIVE";
    touch(root_ / "v1/notes.txt");
    fs::create_directories(root_ / "v1/stray/inner");
    fs::create_directories(active / "1_s/2_empty");
    touch(active / "1_s/3_other/notes.txt");
    touch(active / "1_s/4_packaged/0.log.zip");
    fs::create_directories(active / "1_s/5_current");
    touch(root_ / "v1/PACKAGED");  // a file where a state folder belongs
    // A link inside the tree to a folder outside it: the link goes, the folder stays.
    touch(home_.root() / "outside/keep.txt");
    fs::create_symlink(home_.root() / "outside", active / "x");
    fs::create_symlink(home_.root() / "outside", active / "1_s/6_link");

    ASSERT_TRUE(repository_.cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(active / "1_s/5_current").ok());
    EXPECT_FALSE(fs::exists(root_ / "v1/notes.txt"));
    EXPECT_FALSE(fs::exists(root_ / "v1/stray"));
    EXPECT_FALSE(fs::exists(root_ / "v1/PACKAGED"));
    EXPECT_FALSE(fs::exists(active / "1_s/2_empty"));
    EXPECT_FALSE(fs::exists(active / "1_s/3_other"));
    EXPECT_TRUE(fs::exists(active / "1_s/4_packaged/0.log.zip"));
    EXPECT_TRUE(fs::is_directory(active / "1_s/5_current"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(active / "x")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(active / "1_s/6_link")));
    EXPECT_TRUE(fs::exists(home_.root() / "outside/keep.txt"));
    EXPECT_TRUE(fs::is_directory(root_ / "v1"));
}
