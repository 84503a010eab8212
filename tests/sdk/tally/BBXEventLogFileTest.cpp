#include "sdk/tally/BBXEventLogFile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>

#include "platform/foundation/Data.h"
#include "sdk/tally/BBXEventLogEventFile.h"
#include "tests/support/TempHome.h"

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path) {
    auto data = foundation::Data::contentsOfFile(path);
    return data.ok() ? data.value().toString() : std::string("<unreadable>");
}

void writeFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The write seam: refuses with ENOSPC while full is set, after letting the
// first `partial` bytes of the refused write through, as a disk filling up
// in the middle of a line does.
std::atomic<bool> gFull{false};
std::atomic<size_t> gPartial{0};
ssize_t fullDiskWrite(int fd, const void* bytes, size_t count) {
    if (!gFull) return ::write(fd, bytes, count);
    if (size_t partial = gPartial.exchange(0); partial > 0) return ::write(fd, bytes, std::min(partial, count));
    errno = ENOSPC;
    return -1;
}

class BBXEventLogFileTest : public ::testing::Test {
protected:
    void TearDown() override {
        BBXEventLogFile::setWriteFunction(nullptr);
        gFull = false;
    }
    testsupport::TempHome home_;
    fs::path dir_ = home_.root();
};

}  // namespace

TEST_F(BBXEventLogFileTest, SizeIsTheOpenedSizePlusAppends) {
    writeFile(dir_ / "2.log", std::string(100, 'x'));
    auto file = BBXEventLogEventFile::initWithName("2.log", dir_);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->fileSize(), 100u);
    BBXEventLogEvent event(2, 1700000000000, "custom", foundation::Data::fromString(std::string(15, 'p')));
    ASSERT_EQ(event.eventData().length(), 40u);
    ASSERT_TRUE(file->appendEvent(event).ok());
    EXPECT_EQ(file->fileSize(), 140u);
    EXPECT_EQ(contents(dir_ / "2.log"), std::string(100, 'x') + event.eventData().toString());

    ASSERT_TRUE(file->resetFile().ok());
    EXPECT_EQ(file->fileSize(), 0u);
    ASSERT_TRUE(file->appendData("line\n").ok());
    auto read = file->readFromFile();
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value().toString(), "line\n");
    ASSERT_TRUE(file->appendData("more\n").ok());  // writing goes on after the read
    EXPECT_EQ(contents(dir_ / "2.log"), "line\nmore\n");
}

TEST_F(BBXEventLogFileTest, NewFilesArePrivate) {
    auto file = BBXEventLogFile::initWithURL(dir_ / "0.log");
    ASSERT_TRUE(file);
    struct stat info {};
    ASSERT_EQ(::stat((dir_ / "0.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(file->fileSize(), 0u);
    EXPECT_FALSE(file->openFileHandleForWriting().ok());  // one descriptor at a time
}

TEST_F(BBXEventLogFileTest, WhatStandsInTheWayIsReplaced) {
    // A folder with contents, and a link to a file outside that must survive.
    fs::create_directories(dir_ / "0.log" / "inner");
    writeFile(dir_ / "0.log" / "inner" / "f", "x");
    writeFile(dir_ / "outside", "keep");
    fs::create_symlink(dir_ / "outside", dir_ / "1.log");
    fs::create_symlink(dir_ / "nowhere", dir_ / "2.log");
    for (const char* name : {"0.log", "1.log", "2.log"}) {
        SCOPED_TRACE(name);
        auto file = BBXEventLogFile::initWithName(name, dir_);
        ASSERT_TRUE(file);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / name)));
        EXPECT_EQ(file->fileSize(), 0u);
        ASSERT_TRUE(file->appendData("a\n").ok());
        EXPECT_EQ(contents(dir_ / name), "a\n");
    }
    EXPECT_EQ(contents(dir_ / "outside"), "keep");
}

TEST_F(BBXEventLogFileTest, AFullDiskFailsTheAppendAndKeepsWholeLines) {
    auto file = BBXEventLogFile::initWithURL(dir_ / "1.log");
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->appendData("first\n").ok());
    BBXEventLogFile::setWriteFunction(&fullDiskWrite);
    for (size_t partial : {size_t{0}, size_t{3}}) {
        SCOPED_TRACE(partial);
        gFull = true;
        gPartial = partial;
        auto appended = file->appendData("second line\n");
        ASSERT_FALSE(appended.ok());
        EXPECT_EQ(appended.error().domain, BBXEventLogFile::kPOSIXErrorDomain);
        EXPECT_EQ(appended.error().code, ENOSPC);
        EXPECT_EQ(file->fileSize(), 6u);
        EXPECT_EQ(contents(dir_ / "1.log"), "first\n");
    }
    gFull = false;
    ASSERT_TRUE(file->appendData("third\n").ok());
    EXPECT_EQ(file->fileSize(), 12u);
    EXPECT_EQ(contents(dir_ / "1.log"), "first\nthird\n");
}

TEST_F(BBXEventLogFileTest, TheFileSizeLimitFailsTheAppendInsteadOfEndingTheProcess) {
    const fs::path path = dir_ / "1.log";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes name the check that failed.
        auto file = BBXEventLogFile::initWithURL(path);
        if (!file) ::_exit(2);
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        struct rlimit small = limit;
        small.rlim_cur = 100;
        if (::setrlimit(RLIMIT_FSIZE, &small) != 0) ::_exit(3);
        const std::string line(30, 'l');  // 29 bytes and LF: the fourth line crosses 100
        int appended = 0;
        while (file->appendData(line.substr(0, 29) + "\n").ok()) ++appended;
        if (appended != 3) ::_exit(4);
        if (file->fileSize() != 90) ::_exit(5);
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || info.st_size != 90) ::_exit(6);
        ::setrlimit(RLIMIT_FSIZE, &limit);  // space returns
        if (!file->appendData(line.substr(0, 29) + "\n").ok() || file->fileSize() != 120) ::_exit(7);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(contents(path), std::string(4 * 30, 'l').replace(29, 1, "\n").replace(59, 1, "\n").replace(89, 1, "\n").replace(119, 1, "\n"));
}
