// The embedded store's folder and file: what it refuses, and that it leaves
// what it refuses as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/cloud/SQLiteSession.h"
#include "platform/cloud/ZoneServer.h"
#include "tests/support/TempHome.h"

namespace {

using cloud::Error;
using cloud::SQLiteSession;

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(SQLiteSessionTest, MakesAPrivateStore) {
    testsupport::TempHome home;
    const auto folder = home.dataHome() / "Tavlo" / "Cloud";
    ASSERT_TRUE(SQLiteSession::open(folder).ok());
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((folder / SQLiteSession::kFileName).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(SQLiteSessionTest, AFileThatIsNotAStoreIsNamedAndKept) {
    testsupport::TempHome home;
    const auto folder = home.root() / "cloud";
    std::filesystem::create_directories(folder);
    const std::string text(5000, 'x');
    std::ofstream(folder / SQLiteSession::kFileName) << text;
    auto session = SQLiteSession::open(folder);
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(session.error().code, Error::kNetworkUnavailable);
    EXPECT_NE(session.error().description.find((folder / SQLiteSession::kFileName).string()), std::string::npos);
    EXPECT_EQ(contents(folder / SQLiteSession::kFileName), text);
}

TEST(SQLiteSessionTest, AStoreOfANewerFormatAnswers18) {
    testsupport::TempHome home;
    const auto folder = home.root() / "cloud";
    {
        auto session = SQLiteSession::open(folder);
        ASSERT_TRUE(session.ok());
        ASSERT_TRUE(session.value()->query("UPDATE meta SET value = '99' WHERE key = 'format'", {}).ok());
    }
    const std::string before = contents(folder / SQLiteSession::kFileName);
    auto session = SQLiteSession::open(folder);
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(session.error().code, Error::kIncompatibleVersion);
    EXPECT_EQ(contents(folder / SQLiteSession::kFileName), before);
}

TEST(SQLiteSessionTest, AnUnreadableFolderIsNamed) {
    if (::geteuid() == 0) GTEST_SKIP() << "the superuser reads every folder";
    testsupport::TempHome home;
    const auto folder = home.root() / "locked";
    std::filesystem::create_directories(folder);
    ::chmod(folder.c_str(), 0);
    auto session = SQLiteSession::open(folder);
    ::chmod(folder.c_str(), 0700);
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(session.error().code, Error::kNetworkUnavailable);
    EXPECT_NE(session.error().description.find(folder.string()), std::string::npos);
}

TEST(SQLiteSessionTest, AWriterWaitingPastTheTimeoutAnswersBusy) {
    testsupport::TempHome home;
    const auto folder = home.root() / "cloud";
    auto holder = SQLiteSession::open(folder);
    auto waiter = SQLiteSession::open(folder);
    ASSERT_TRUE(holder.ok() && waiter.ok());
    ASSERT_TRUE(holder.value()->begin(true).ok());
    sqlite3_busy_timeout(waiter.value()->handle(), 50);
    auto reply = waiter.value()->begin(true);
    holder.value()->rollback();
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().code, Error::kZoneBusy);
    EXPECT_EQ(reply.error().retryAfter, 1.0);
}

}  // namespace
