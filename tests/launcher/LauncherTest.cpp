// The launcher's delegate in-process, with the desktop's own workspace: from
// inside an application's login items it starts that application once; from
// anywhere else, or when the application cannot start, it says so in one line
// and starts nothing. It terminates in every case.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "launcher/AppDelegate.h"
#include "platform/foundation/Bundle.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class LauncherTest : public ::testing::Test {
protected:
    ~LauncherTest() override { foundation::Bundle::setMainBundlePath({}); }

    // An application bundle whose program appends its pid to marker; answers
    // the launcher bundle inside it.
    fs::path makeApplication(const fs::path& app, const fs::path& marker, bool executable = true) {
        fs::create_directories(app / "Contents/MacOS");
        std::ofstream(app / "Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << "<key>CFBundleIdentifier</key><string>com.tavlo.LauncherTest.p" << getpid() << "</string>"
            << "<key>CFBundleExecutable</key><string>Probe</string></dict></plist>\n";
        fs::path program = app / "Contents/MacOS/Probe";
        std::ofstream(program) << "#!/bin/sh\necho $$ >> \"$MARKER\"\n";
        chmod(program.c_str(), executable ? 0755 : 0644);
        ::setenv("MARKER", marker.c_str(), 1);
        fs::path launcher = app / "Contents/Library/LoginItems/TavloLauncher.app";
        fs::create_directories(launcher / "Contents/MacOS");
        return launcher;
    }

    // Runs the launch from launcherBundle; answers how often it terminated.
    int launchFrom(const fs::path& launcherBundle) {
        foundation::Bundle::setMainBundlePath(launcherBundle);
        int terminated = 0;
        launcher::AppDelegate delegate([&] { ++terminated; });
        delegate.applicationDidFinishLaunching();
        return terminated;
    }

    static size_t lines(const fs::path& marker, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::ifstream in(marker);
            size_t count = 0;
            for (std::string line; std::getline(in, line);) ++count;
            if (count > 0 || std::chrono::steady_clock::now() >= deadline) return count;
            std::this_thread::sleep_for(20ms);
        }
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
};

TEST_F(LauncherTest, StartsTheApplicationItLiesInOnce) {
    fs::path folder = home_.root() / "Odd \"name\" 'quoted' 100% $HOME `x` Übersicht";
    fs::path marker = home_.root() / "started.txt";
    fs::path launcher = makeApplication(folder / "Tavlo.app", marker);
    for (const fs::path& path : {launcher, fs::path(launcher.string() + "/")}) {
        SCOPED_TRACE(path);
        fs::remove(marker);
        EXPECT_EQ(launchFrom(path), 1);
        EXPECT_EQ(lines(marker, 5s), 1u);
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(lines(marker, 0ms), 1u) << "started once";
    }
    EXPECT_TRUE(log_->entries().empty());
}

TEST_F(LauncherTest, ALauncherOutsideAnApplicationsLoginItemsOrWithoutOneToStartLogsOnceAndStartsNothing) {
    struct Row {
        const char* name;
        fs::path launcher;
    };
    fs::path marker = home_.root() / "started.txt";
    fs::path good = makeApplication(home_.root() / "Tavlo.app", marker);
    fs::path unrunnable = makeApplication(home_.root() / "Unrunnable.app", marker, false);
    fs::path gone = makeApplication(home_.root() / "Gone.app", marker);
    fs::remove(home_.root() / "Gone.app/Contents/Info.plist");
    fs::path elsewhere = makeApplication(home_.root() / "Other.app", marker);
    fs::rename(elsewhere.parent_path(), home_.root() / "Other.app/Contents/Library/Helpers");
    const Row rows[] = {
        {"copied out of its bundle", home_.root() / "Elsewhere/TavloLauncher.app"},
        {"four or fewer components", "/a/b.app"},
        {"exactly four below the root", "/Contents/Library/LoginItems/TavloLauncher.app"},
        {"not in LoginItems", home_.root() / "Other.app/Contents/Library/Helpers/TavloLauncher.app"},
        {"an application without its Info.plist", gone},
        {"an application whose program cannot run", unrunnable},
        {"a launcher folder that is no bundle", good.parent_path() / "TavloLauncher"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        log_->clear();
        EXPECT_EQ(launchFrom(r.launcher), 1);
        EXPECT_EQ(log_->entries().size(), 1u);
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(lines(marker, 0ms), 0u) << "nothing was started";
}

}  // namespace
