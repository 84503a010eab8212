// Starting another application bundle: detached when nobody runs it, a Reopen
// call to the running one otherwise.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/desktop/ApplicationBus.h"
#include "platform/desktop/Workspace.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;

class WorkspaceTest : public ::testing::Test {
protected:
    // A bundle whose program writes one line about itself: its pid, its
    // session and parent, and where its standard input goes.
    std::filesystem::path makeBundle(const std::string& identifier, bool withExecutable = true) {
        auto bundle = home_.root() / "Probe.app";
        std::filesystem::create_directories(bundle / "Contents/MacOS");
        std::ofstream(bundle / "Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << "<key>CFBundleIdentifier</key><string>" << identifier << "</string>"
            << (withExecutable ? "<key>CFBundleExecutable</key><string>probe</string>" : "") << "</dict></plist>\n";
        auto program = bundle / "Contents/MacOS/probe";
        std::ofstream(program) << "#!/bin/sh\n"
                               << "echo \"$$ $(cut -d' ' -f4,6 /proc/$$/stat) $(readlink /proc/$$/fd/0)\" >> "
                               << report_.string() << "\n";
        chmod(program.c_str(), 0755);
        return bundle;
    }

    std::vector<std::string> reportLines(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<std::string> lines;
        for (;;) {
            std::ifstream in(report_);
            lines.clear();
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            if (!lines.empty() || std::chrono::steady_clock::now() >= deadline) return lines;
            std::this_thread::sleep_for(20ms);
        }
    }

    testsupport::TempHome home_;
    std::filesystem::path report_ = home_.root() / "started.txt";
    std::shared_ptr<desktop::Workspace> workspace_ = desktop::Workspace::makeDefault();
};

TEST_F(WorkspaceTest, StartsTheBundleProgramOnceDetached) {
    auto bundle = makeBundle("com.tavlo.WorkspaceTest.p" + std::to_string(getpid()));
    ASSERT_TRUE(workspace_->launchApplicationAtPath(bundle).ok());
    auto lines = reportLines(5s);
    ASSERT_EQ(lines.size(), 1u);
    std::istringstream fields(lines[0]);
    long pid = 0, parent = 0, session = 0;
    std::string input;
    fields >> pid >> parent >> session >> input;
    EXPECT_NE(session, static_cast<long>(getsid(0))) << "a session of its own";
    EXPECT_NE(parent, static_cast<long>(getpid())) << "nobody here waits for it";
    EXPECT_EQ(input, "/dev/null");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(reportLines(0ms).size(), 1u) << "started once";
}

TEST_F(WorkspaceTest, AsksARunningOwnerToReopenInstead) {
    std::string identifier = "com.tavlo.WorkspaceTest.p" + std::to_string(getpid());
    auto bundle = makeBundle(identifier);
    auto owner = testsupport::ChildProcess::start({TAVLO_BUS_OWNER_PROBE, identifier, home_.cacheHome().string()});
    ASSERT_TRUE(owner && owner->waitForLine("published", 10s));
    ASSERT_TRUE(workspace_->launchApplicationAtPath(bundle).ok());
    EXPECT_TRUE(owner->waitForLine("reopen", 5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(std::filesystem::exists(report_)) << "nothing was started";
}

TEST_F(WorkspaceTest, ABundleWithoutItsProgramIsAnError) {
    auto noExecutableKey = makeBundle("com.tavlo.WorkspaceTest.none", false);
    auto result = workspace_->launchApplicationAtPath(noExecutableKey);
    ASSERT_FALSE(result.ok());
    EXPECT_FALSE(workspace_->launchApplicationAtPath(home_.root() / "Missing.app").ok());
}

TEST_F(WorkspaceTest, AProgramThatCannotBeExecutedIsAnError) {
    // Executable by its mode, yet no format the system runs: only the exec
    // itself finds out, and its failure comes back.
    auto bundle = makeBundle("com.tavlo.WorkspaceTest.noexec" + std::to_string(getpid()));
    std::ofstream(bundle / "Contents/MacOS/probe", std::ios::trunc) << std::string(64, '\x7f');
    auto result = workspace_->launchApplicationAtPath(bundle);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, ENOEXEC) << result.error().localizedDescription();
}

}  // namespace
