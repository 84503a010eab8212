// The browser window of the running program as a new user meets it, under a
// window manager (openbox) on the test's private X server: the first launch's
// frame, a move remembered across launches, Escape, attached mode with and
// without a tray to hang under, and a list made and chosen from the title.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "kit/TLUserDefaultsKeys.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RequireDisplay.h"
#include "tests/support/TavloWindows.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::runCommand;

using testsupport::Place;

class WindowProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY"), "needs an X server");
        if (runCommand({"sh", "-c", "command -v openbox"}, 5s).status != 0) GTEST_SKIP() << "needs openbox";
        openbox_ = ChildProcess::start({"openbox", "--sm-disable"});
        ASSERT_TRUE(openbox_);
        ASSERT_TRUE(waitUntil([] { return runCommand({"sh", "-c", "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window"}, 5s).status == 0; }, 10s));
    }
    void TearDown() override {
        if (tavlo_) {
            tavlo_->signal(SIGTERM);
            tavlo_->wait(15s);
        }
    }

    static bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition()) return true;
            std::this_thread::sleep_for(100ms);
        }
        return condition();
    }

    // The browser window: the viewable top-level window named "Tavlo" that is
    // larger than a tray icon.
    static std::string browserWindow() {
        std::string ids = runCommand({"xdotool", "search", "--onlyvisible", "--name", "^Tavlo$"}, 5s).output;
        std::istringstream lines(ids);
        for (std::string id; std::getline(lines, id);)
            if (place(id).width > 100) return id;
        return {};
    }
    static Place place(const std::string& id) {
        std::string info = runCommand({"xwininfo", "-id", id}, 5s).output;
        auto number = [&](const char* label) {
            std::smatch m;
            std::regex pattern(std::string(label) + R"(:\s+(-?\d+))");
            return std::regex_search(info, m, pattern) ? std::stoi(m[1]) : -1;
        };
        return {number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"), number("Height")};
    }
    std::string settingsText() {
        std::ifstream in(home_.configHome() / "Tavlo" / "group.com.tavlo.Tavlo.plist");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // "true" or "false" as the settings file holds TLUserDefaultsWindowIsDetached.
    std::string storedDetached() {
        std::smatch m;
        std::string text = settingsText();
        static const std::regex pattern(R"(TLUserDefaultsWindowIsDetached</key>\s*<(true|false)/>)");
        return std::regex_search(text, m, pattern) ? std::string(m[1]) : std::string();
    }
    void startTavlo() {
        tavlo_ = ChildProcess::start({TAVLO_PROGRAM});
        ASSERT_TRUE(tavlo_);
    }
    static bool ready() {
        return runCommand({"gdbus", "introspect", "-e", "-d", "com.tavlo.Tavlo", "-o", "/com/tavlo/Tavlo"}, 5s)
                   .status == 0;
    }
    // Settings as an earlier run left them: set up, attached, icon on.
    static void storeAttached() {
        auto suite = foundation::UserDefaults::suite("group.com.tavlo.Tavlo");
        suite->setBool(true, TLUserDefaultsInitialized);
        suite->setBool(true, TLUserDefaultsShowsMenuBarIcon);
        suite->setBool(false, TLUserDefaultsWindowIsDetached);
        suite->setBool(false, TLUserDefaultsHideWindowOnLaunchKey);
        suite->setObject(foundation::PlistValue(std::string("{{20, 20}, {360, 600}}")), TLUserDefaultsWindowFrame);
        ASSERT_TRUE(suite->synchronize());
    }

    testsupport::TempHome home_;
    std::unique_ptr<ChildProcess> openbox_;
    std::unique_ptr<ChildProcess> tavlo_;
};

TEST_F(WindowProgramTest, TheFirstFrameAMoveRememberedAndEscape) {
    startTavlo();
    ASSERT_TRUE(waitUntil([] { return !browserWindow().empty(); }, 30s)) << "no window";
    std::string id = browserWindow();
    EXPECT_TRUE(waitUntil([&] { return place(id) == Place{20, 20, 360, 600}; }, 5s)) << place(id);

    runCommand({"xdotool", "windowmove", id, "300", "140"}, 5s);
    EXPECT_TRUE(waitUntil([&] { return settingsText().find("{{300, 140}, {360, 600}}") != std::string::npos; }, 5s))
        << settingsText();

    runCommand({"xdotool", "windowactivate", "--sync", id}, 5s);
    runCommand({"xdotool", "key", "Escape"}, 5s);
    EXPECT_TRUE(waitUntil([] { return browserWindow().empty(); }, 5s)) << "Escape closes";

    // Quit, launch again (a hidden launch once set up), then a second launch shows it.
    tavlo_->signal(SIGTERM);
    EXPECT_EQ(tavlo_->wait(15s), 0);
    startTavlo();
    ASSERT_TRUE(waitUntil(ready, 30s));
    auto again = ChildProcess::start({TAVLO_PROGRAM});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->wait(30s), 0);
    ASSERT_TRUE(waitUntil([] { return !browserWindow().empty(); }, 10s));
    EXPECT_TRUE(waitUntil([&] { return place(browserWindow()) == Place{300, 140, 360, 600}; }, 5s))
        << place(browserWindow());
}

// Quitting while the preferences are open: a termination signal, as at
// logout, ends the program though its windows only hide when closed.
TEST_F(WindowProgramTest, ATerminationSignalEndsTheProgramWithThePreferencesOpen) {
    startTavlo();
    ASSERT_TRUE(waitUntil([] { return !browserWindow().empty(); }, 30s)) << "no window";
    runCommand({"xdotool", "windowactivate", "--sync", browserWindow()}, 5s);
    auto preferences = [] {
        return !runCommand({"xdotool", "search", "--onlyvisible", "--name", "^Preferences$"}, 5s).output.empty();
    };
    runCommand({"xdotool", "key", "ctrl+comma"}, 5s);
    ASSERT_TRUE(waitUntil(preferences, 10s)) << "Ctrl+, shows the preferences";
    tavlo_->signal(SIGTERM);
    EXPECT_EQ(tavlo_->wait(15s), 0);
    tavlo_.reset();
}

TEST_F(WindowProgramTest, AttachedWithoutATrayComesUpDetachedAndWithATrayUnderTheIcon) {
    storeAttached();
    startTavlo();
    ASSERT_TRUE(waitUntil([] { return !browserWindow().empty(); }, 30s)) << "no window";
    Place shown = place(browserWindow());
    EXPECT_GE(shown.x, 0);
    EXPECT_GE(shown.y, 0);
    EXPECT_LE(shown.x + shown.width, 1024);
    EXPECT_LE(shown.y + shown.height, 768);
    EXPECT_TRUE(waitUntil([&] { return storedDetached() == "true"; }, 5s)) << settingsText();
    tavlo_->signal(SIGTERM);
    EXPECT_EQ(tavlo_->wait(15s), 0);

    if (runCommand({"sh", "-c", "command -v trayer"}, 5s).status != 0) GTEST_SKIP() << "needs trayer";
    auto trayer = ChildProcess::start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                       "--height", "24", "--SetDockType", "true", "--expand", "false"});
    ASSERT_TRUE(trayer);
    std::this_thread::sleep_for(500ms);
    storeAttached();
    startTavlo();
    ASSERT_TRUE(waitUntil([] { return !browserWindow().empty(); }, 30s)) << "no window";
    // The icon: the small Tavlo window in the tray.
    Place icon;
    ASSERT_TRUE(waitUntil(
        [&] {
            auto icons = testsupport::trayIcons();
            if (!icons.empty()) icon = icons.back();
            return icon.width > 0;
        },
        10s));
    EXPECT_TRUE(waitUntil(
        [&] {
            Place window = place(browserWindow());
            return window.y == icon.y + icon.height + 1 &&
                   (std::abs(window.x + window.width / 2 - (icon.x + icon.width / 2)) <= 1 ||
                    window.x + window.width == 1024);
        },
        5s))
        << place(browserWindow()) << " icon " << icon;
    EXPECT_EQ(storedDetached(), "false");
}

TEST_F(WindowProgramTest, AListMadeFromTheTitleTakesTheNextCopy) {
    startTavlo();
    ASSERT_TRUE(waitUntil([] { return !browserWindow().empty(); }, 30s)) << "no window";
    const std::string id = browserWindow();
    ASSERT_TRUE(waitUntil([&] { return place(id) == Place{20, 20, 360, 600}; }, 5s)) << place(id);
    runCommand({"xdotool", "windowactivate", "--sync", id}, 5s);
    auto query = [this](const std::string& sql) {
        return runCommand({"sqlite3", (home_.dataHome() / "Tavlo/datastore").string(), sql}, 10s).output;
    };
    // The title sits in the header's middle; its menu's last row makes a list.
    auto openTitleMenu = [] {
        runCommand({"xdotool", "mousemove", "200", "42", "click", "1"}, 5s);
        std::this_thread::sleep_for(700ms);
    };
    openTitleMenu();
    runCommand({"xdotool", "key", "Up", "Return"}, 5s);
    std::this_thread::sleep_for(700ms);
    runCommand({"xdotool", "type", "--delay", "50", "Work"}, 10s);
    runCommand({"xdotool", "key", "Return"}, 5s);
    ASSERT_TRUE(waitUntil([&] { return query("SELECT name, sync FROM List") == "Work|1\n"; }, 10s))
        << query("SELECT name, sync FROM List");

    // Chosen from the title's menu (the row above "New List..."), the list
    // takes the next copy.
    openTitleMenu();
    runCommand({"xdotool", "key", "Up", "Up", "Return"}, 5s);
    ASSERT_TRUE(waitUntil([&] { return settingsText().find("<string>L-") != std::string::npos; }, 5s))
        << settingsText();
    ASSERT_EQ(runCommand({"sh", "-c", "printf 'for the list' | xclip -selection clipboard >/dev/null 2>&1"}, 10s).status,
              0);
    EXPECT_TRUE(waitUntil(
        [&] {
            return query("SELECT List.name FROM Clipping JOIN List ON Clipping.list = List.pk WHERE "
                         "Clipping.text = 'for the list'") == "Work\n";
        },
        10s))
        << query("SELECT text, list FROM Clipping");
}

}  // namespace
