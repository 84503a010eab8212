#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "platform/dispatch/FileWatchSource.h"
#include "tests/support/TempHome.h"

using namespace dispatch;
namespace fs = std::filesystem;

namespace {

// A watched file and the events its handler saw.
class FileWatchSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = home_.root() / "watched.log";
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd_, 0);
        source_ = FileWatchSource::create(fd_, FileWatchSource::Delete | FileWatchSource::Rename, queue_);
        ASSERT_TRUE(source_);
        source_->setHandler([this](unsigned events) {
            std::lock_guard lock(mutex_);
            seen_ |= events;
            ++calls_;
            changed_.notify_all();
        });
    }
    void TearDown() override {
        if (source_) source_->cancel();
        if (fd_ >= 0) ::close(fd_);
    }

    // Waits up to a second for the handler to have seen the events.
    bool waitFor(unsigned events) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(1), [&] { return (seen_ & events) == events; });
    }
    int calls() {
        queue_->sync([] {});
        std::lock_guard lock(mutex_);
        return calls_;
    }

    testsupport::TempHome home_;
    fs::path path_;
    int fd_ = -1;
    std::shared_ptr<Queue> queue_ = Queue::createSerial("test.filewatch");
    std::shared_ptr<FileWatchSource> source_;
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned seen_ = 0;
    int calls_ = 0;
};

}  // namespace

TEST_F(FileWatchSourceTest, ReportsUnlinkOfAnOpenFile) {
    source_->resume();
    ASSERT_EQ(::unlink(path_.c_str()), 0);
    EXPECT_TRUE(waitFor(FileWatchSource::Delete));
}

TEST_F(FileWatchSourceTest, ReportsRenameWithinAndOutOfTheFolder) {
    source_->resume();
    fs::create_directories(home_.root() / "elsewhere");
    fs::rename(path_, home_.root() / "elsewhere" / "moved.log");
    EXPECT_TRUE(waitFor(FileWatchSource::Rename));
}

TEST_F(FileWatchSourceTest, IgnoresWritesAndAttributeChanges) {
    source_->resume();
    ASSERT_EQ(::write(fd_, "x\n", 2), 2);
    ASSERT_EQ(::fchmod(fd_, 0644), 0);
    // A rename afterwards is the first and only event the handler sees.
    fs::rename(path_, home_.root() / "renamed.log");
    ASSERT_TRUE(waitFor(FileWatchSource::Rename));
    std::lock_guard lock(mutex_);
    EXPECT_EQ(seen_, unsigned(FileWatchSource::Rename));
}

TEST_F(FileWatchSourceTest, AnUnlinkBeforeResumeIsReportedAtResume) {
    ASSERT_EQ(::unlink(path_.c_str()), 0);
    source_->resume();
    EXPECT_TRUE(waitFor(FileWatchSource::Delete));
}

TEST_F(FileWatchSourceTest, NothingRunsAfterCancel) {
    source_->resume();
    bool cancelHandlerRan = false;
    source_->setCancelHandler([&] { cancelHandlerRan = true; });
    // Cancel on the target queue right behind a pending event: the event's
    // delivery, already submitted or not, must find the source cancelled.
    queue_->sync([&] {
        ASSERT_EQ(::unlink(path_.c_str()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        source_->cancel();
    });
    queue_->sync([] {});
    EXPECT_EQ(calls(), 0);
    EXPECT_TRUE(cancelHandlerRan);
    EXPECT_TRUE(source_->isCancelled());
}

TEST(FileWatchSourceCreateTest, RefusesABadDescriptor) {
    EXPECT_FALSE(FileWatchSource::create(-1, FileWatchSource::Delete, Queue::createSerial()));
}

TEST_F(FileWatchSourceTest, TwoSourcesOnOneFileAreIndependent) {
    source_->resume();
    auto second = FileWatchSource::create(fd_, FileWatchSource::Rename, queue_);
    ASSERT_TRUE(second);
    second->resume();
    second->cancel();  // leaves the first source's watch in place
    fs::rename(path_, home_.root() / "renamed.log");
    EXPECT_TRUE(waitFor(FileWatchSource::Rename));
}

namespace {

// A watched folder and the names its handler was told of.
class FolderWatchTest : public ::testing::Test {
public:
    void SetUp() override {
        folder_ = home_.root() / "settings";
        fs::create_directories(folder_);
        fd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd_, 0);
        source_ = FileWatchSource::createForFolder(fd_, FileWatchSource::Entries | FileWatchSource::Rename, queue_);
        ASSERT_TRUE(source_);
        source_->setHandler([this](unsigned events, const std::set<std::string>& names) {
            std::lock_guard lock(mutex_);
            seen_ |= events;
            names_.insert(names.begin(), names.end());
            changed_.notify_all();
        });
        source_->resume();
    }
    void TearDown() override {
        source_->cancel();
        ::close(fd_);
    }

    // Waits up to a second for the handler to have been told of the name.
    bool waitForName(const std::string& name) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(1), [&] { return names_.count(name) != 0; });
    }
    void write(const fs::path& path, const char* text) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text, std::strlen(text)), ssize_t(std::strlen(text)));
        ::close(fd);
    }

    testsupport::TempHome home_;
    fs::path folder_;
    int fd_ = -1;
    std::shared_ptr<Queue> queue_ = Queue::createSerial("test.folderwatch");
    std::shared_ptr<FileWatchSource> source_;
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned seen_ = 0;
    std::set<std::string> names_;
};

}  // namespace

TEST_F(FolderWatchTest, ReportsNamesWrittenReplacedAndRemoved) {
    struct Case {
        const char* name;
        std::function<void(FolderWatchTest&, const fs::path&)> change;
    };
    std::vector<Case> cases = {
        {"written", [](FolderWatchTest& t, const fs::path& path) { t.write(path, "a"); }},
        {"replaced", [](FolderWatchTest& t, const fs::path& path) {
             t.write(t.home_.root() / "temporary", "b");  // outside the folder: only the rename shows
             fs::rename(t.home_.root() / "temporary", path);
         }},
        {"removed", [](FolderWatchTest& t, const fs::path& path) {
             t.write(t.home_.root() / "outside", "c");
             fs::rename(t.home_.root() / "outside", path);
             ASSERT_TRUE(t.waitForName(path.filename()));
             {
                 std::lock_guard lock(t.mutex_);
                 t.names_.clear();
             }
             fs::remove(path);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.change(*this, folder_ / c.name);
        EXPECT_TRUE(waitForName(c.name));
    }
    std::lock_guard lock(mutex_);
    EXPECT_EQ(seen_, unsigned(FileWatchSource::Entries));
}

TEST_F(FolderWatchTest, AFileWatchOnAFileInTheFolderStillSeesOnlyItsOwnEvents) {
    write(folder_ / "own.log", "x");
    ASSERT_TRUE(waitForName("own.log"));
    int fd = ::open((folder_ / "own.log").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    unsigned fileSeen = 0;
    std::mutex fileMutex;
    std::condition_variable fileChanged;
    auto file = FileWatchSource::create(fd, FileWatchSource::Delete | FileWatchSource::Rename, queue_);
    ASSERT_TRUE(file);
    file->setHandler([&](unsigned events) {
        std::lock_guard lock(fileMutex);
        fileSeen |= events;
        fileChanged.notify_all();
    });
    file->resume();
    ASSERT_EQ(::write(fd, "more", 4), 4);
    fs::remove(folder_ / "own.log");
    std::unique_lock lock(fileMutex);
    EXPECT_TRUE(fileChanged.wait_for(lock, std::chrono::seconds(1), [&] { return fileSeen != 0; }));
    EXPECT_EQ(fileSeen, unsigned(FileWatchSource::Delete));
    lock.unlock();
    file->cancel();
    ::close(fd);
}

TEST_F(FolderWatchTest, MovingTheFolderIsReported) {
    fs::rename(folder_, home_.root() / "moved");
    std::unique_lock lock(mutex_);
    EXPECT_TRUE(changed_.wait_for(lock, std::chrono::seconds(1), [&] { return (seen_ & FileWatchSource::Rename) != 0; }));
}
