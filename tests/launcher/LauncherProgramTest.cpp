// TavloLauncher as the session starts it at login: from the built bundle it
// starts Tavlo, brings a running Tavlo forward instead of starting another,
// and two launchers at once leave one Tavlo. A copy of the program in a bundle
// at an awkward path starts that bundle's application; a copy outside any
// bundle starts nothing. It always exits 0.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/RequireDisplay.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::runCommand;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LauncherProgramTest : public ::testing::Test {
protected:
    void TearDown() override {
        // Tavlo was started detached, so it is nobody's child here: it ends by its pid.
        for (pid_t pid : tavlos()) ::kill(pid, SIGTERM);
        EXPECT_TRUE(waitUntil([&] { return tavlos().empty(); }, 20s));
    }

    // Runs a launcher program the way the session does and answers its exit
    // status and what it wrote on standard error.
    testsupport::CommandResult runLauncher(const fs::path& program) {
        return runCommand({"sh", "-c", "exec \"$0\" 2>&1", program.string()}, 10s, {{"TAVLO_BUNDLE", ""}});
    }

    // The Tavlo processes of this test's home.
    std::vector<pid_t> tavlos() const {
        std::vector<pid_t> found;
        std::error_code ec;
        fs::path program = fs::canonical(TAVLO_PROGRAM, ec);
        std::string home = "XDG_CONFIG_HOME=" + home_.configHome().string();
        for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::error_code gone;
            if (fs::read_symlink(it->path() / "exe", gone) != program) continue;
            std::string environment = readFile(it->path() / "environ");
            std::istringstream variables(environment);
            for (std::string variable; std::getline(variables, variable, '\0');) {
                if (variable == home) found.push_back(static_cast<pid_t>(std::stol(name)));
            }
        }
        return found;
    }

    static bool ready() {
        return runCommand({"gdbus", "introspect", "-e", "-d", "com.tavlo.Tavlo", "-o", "/com/tavlo/Tavlo"}, 5s)
                   .status == 0;
    }

    static bool windowVisible() {
        return runCommand({"xdotool", "search", "--onlyvisible", "--name", "^Tavlo$"}, 5s).status == 0;
    }

    // Settings of an earlier launch that asked for a hidden launch, so only a
    // reopen shows the window.
    void seedHiddenLaunch() {
        fs::path file = home_.configHome() / "Tavlo/group.com.tavlo.Tavlo.plist";
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                               "<key>TLUserDefaultsInitialized</key><true/>"
                               "<key>TLUserDefaultsHideWindowOnLaunchKey</key><true/></dict></plist>\n";
    }

    testsupport::TempHome home_;
};

TEST_F(LauncherProgramTest, FromTheBuiltBundleItStartsTavloOnceAndThenBringsItsWindowForward) {
    TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY"), "needs an X server");
    seedHiddenLaunch();
    auto first = runLauncher(TAVLO_LAUNCHER);
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_EQ(first.output, "");
    // A generous time-out only: the time itself is launcher_bench's.
    ASSERT_TRUE(waitUntil(ready, 30s));
    auto running = tavlos();
    ASSERT_EQ(running.size(), 1u);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(windowVisible()) << "a hidden launch";

    auto again = runLauncher(TAVLO_LAUNCHER);
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_TRUE(waitUntil(windowVisible, 5s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(tavlos(), running) << "the running Tavlo came forward; no second one started";
}

TEST_F(LauncherProgramTest, TwoLaunchersAtOnceLeaveOneTavlo) {
    TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY"), "needs an X server");
    auto a = ChildProcess::start({TAVLO_LAUNCHER}, {{"TAVLO_BUNDLE", ""}});
    auto b = ChildProcess::start({TAVLO_LAUNCHER}, {{"TAVLO_BUNDLE", ""}});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->wait(10s), 0);
    EXPECT_EQ(b->wait(10s), 0);
    ASSERT_TRUE(waitUntil(ready, 30s));
    EXPECT_TRUE(waitUntil([&] { return tavlos().size() == 1; }, 20s)) << tavlos().size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(tavlos().size(), 1u);
}

TEST_F(LauncherProgramTest, ACopyInABundleAtAnAwkwardPathStartsThatBundlesApplicationAndACopyOutsideNothing) {
    fs::path marker = home_.root() / "started.txt";
    fs::path app = home_.root() / "Odd \"name\" 'q' 100% $HOME `x` Übersicht/Probe.app";
    fs::create_directories(app / "Contents/MacOS");
    std::ofstream(app / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>com.tavlo.LauncherProgramTest.p" << getpid() << "</string>"
        << "<key>CFBundleExecutable</key><string>Probe</string></dict></plist>\n";
    fs::path probe = app / "Contents/MacOS/Probe";
    std::ofstream(probe) << "#!/bin/sh\necho $$ >> '" << marker.string() << "'\n";
    chmod(probe.c_str(), 0755);
    fs::path launcher = app / "Contents/Library/LoginItems/TavloLauncher.app";
    fs::create_directories(launcher / "Contents/MacOS");
    fs::path built = fs::path(TAVLO_LAUNCHER).parent_path().parent_path();
    fs::copy_file(built / "Info.plist", launcher / "Contents/Info.plist");
    fs::copy_file(TAVLO_LAUNCHER, launcher / "Contents/MacOS/TavloLauncher");

    auto run = runLauncher(launcher / "Contents/MacOS/TavloLauncher");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(waitUntil([&] { return !readFile(marker).empty(); }, 5s));
    std::this_thread::sleep_for(200ms);
    std::string lines = readFile(marker);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;

    fs::remove(marker);
    fs::create_directories(home_.root() / "Elsewhere");
    fs::copy_file(TAVLO_LAUNCHER, home_.root() / "Elsewhere/TavloLauncher");
    auto outside = runLauncher(home_.root() / "Elsewhere/TavloLauncher");
    EXPECT_EQ(outside.status, 0);
    EXPECT_EQ(std::count(outside.output.begin(), outside.output.end(), '\n'), 1) << outside.output;
    EXPECT_NE(outside.output.find("does not lie in an application's Contents/Library/LoginItems"), std::string::npos);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
