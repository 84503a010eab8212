// The tray menu of the running program, used as a person uses it: a right
// press on the icon in trayer, then the keyboard. Notifications go to a
// recording service on the test's private bus.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/TempHome.h"
#include "tests/support/RequireDisplay.h"
#include "tests/support/TavloWindows.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::runCommand;

using testsupport::Place;
using testsupport::tavloWindows;
using testsupport::trayIcons;

class StatusMenuProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY"), "needs an X server");
        if (runCommand({"sh", "-c", "command -v trayer"}, 5s).status != 0) GTEST_SKIP() << "needs trayer";
        recorder_ = testsupport::NotificationRecorder::start();
        ASSERT_NE(recorder_, nullptr);
        trayer_ = ChildProcess::start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                       "--height", "24", "--SetDockType", "true", "--expand", "false"});
        ASSERT_TRUE(trayer_);
    }
    void TearDown() override {
        if (tavlo_) {
            tavlo_->signal(SIGTERM);
            tavlo_->wait(15s);
        }
    }

    // Waits while answering the notification service's calls.
    static bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents();
            if (condition()) return true;
            std::this_thread::sleep_for(50ms);
        }
        QCoreApplication::processEvents();
        return condition();
    }
    static void pause(std::chrono::milliseconds time) { waitUntil([] { return false; }, time); }

    // The menu is the viewable, unmanaged (override-redirect) Tavlo window
    // hanging below the tray; the browser window may stand near the top too.
    static bool menuShown() {
        for (const auto& [id, place] : tavloWindows()) {
            if (place.width <= 48 || place.y > 40) continue;
            if (runCommand({"sh", "-c",
                            "xwininfo -id " + id + " | grep IsViewable -A20 | grep -q 'Override Redirect State: yes'"},
                           5s)
                    .status == 0)
                return true;
        }
        return false;
    }
    bool openMenu(std::chrono::milliseconds limit = 5s) {
        auto icons = trayIcons();
        if (icons.size() != 1) {
            ADD_FAILURE() << icons.size() << " tray icons:\n" << runCommand({"xwininfo", "-root", "-tree"}, 5s).output;
            return false;
        }
        Place icon = icons[0];
        // The pointer comes onto the icon from elsewhere, as a hand brings it.
        runCommand({"xdotool", "mousemove", "10", "300"}, 5s);
        pause(100ms);
        runCommand({"xdotool", "mousemove", std::to_string(icon.x + icon.width / 2),
                    std::to_string(icon.y + icon.height / 2)},
                   5s);
        pause(100ms);
        runCommand({"xdotool", "click", "3"}, 5s);
        if (waitUntil(menuShown, limit)) return true;
        ADD_FAILURE() << "no menu:\n" << runCommand({"xwininfo", "-root", "-tree"}, 5s).output;
        return false;
    }
    // Chooses the menu's row at index (from the top) with the keyboard.
    bool chooseRow(int index) {
        if (!openMenu()) return false;
        std::vector<std::string> keys = {"xdotool", "key", "--delay", "50"};
        for (int i = 0; i <= index; ++i) keys.push_back("Down");
        keys.push_back("Return");
        runCommand(keys, 5s);
        return waitUntil([] { return !menuShown(); }, 5s);
    }

    static void copy(const std::string& text) {
        runCommand({"sh", "-c", "printf '%s' \"$0\" | xclip -selection clipboard >/dev/null 2>&1", text}, 10s);
    }
    static std::string clipboard() { return runCommand({"xclip", "-o", "-selection", "clipboard"}, 3s).output; }
    std::string query(const std::string& sql) {
        return runCommand({"sqlite3", (home_.dataHome() / "Tavlo/datastore").string(), sql}, 10s).output;
    }
    std::string generalLog() {
        return runCommand({"sh", "-c", "cat \"$0\"/Logs/Tavlo/General/*.log 2>/dev/null", home_.dataHome().string()},
                          5s)
            .output;
    }
    static int count(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }

    void startTavlo() {
        tavlo_ = ChildProcess::start({TAVLO_PROGRAM});
        ASSERT_TRUE(tavlo_);
        ASSERT_TRUE(waitUntil([] { return trayIcons().size() == 1; }, 30s)) << "the icon never reached the tray";
        pause(500ms);  // the tray settles the icon's place
    }

    testsupport::TempHome home_;
    std::unique_ptr<testsupport::NotificationRecorder> recorder_;
    std::unique_ptr<ChildProcess> trayer_;
    std::unique_ptr<ChildProcess> tavlo_;
};

TEST_F(StatusMenuProgramTest, ClearingPausingAndAStalledOwnerFromTheTrayMenu) {
    startTavlo();

    // A copy is captured, so the first row is "Clear Clipboard".
    copy("to be cleared");
    ASSERT_TRUE(waitUntil([&] { return query("SELECT count(*) FROM Clipping") == "1\n"; }, 10s));
    ASSERT_TRUE(chooseRow(0));
    EXPECT_TRUE(waitUntil([] { return clipboard().empty(); }, 5s));
    EXPECT_TRUE(waitUntil([&] { return !recorder_->lines().empty(); }, 5s));
    EXPECT_EQ(recorder_->lines(), std::vector<std::string>{"Notify Tavlo | Clipboard cleared"});

    // Empty now: the first row is "Save Clipboard Automatically"; off stops capture.
    ASSERT_TRUE(chooseRow(0));
    EXPECT_TRUE(waitUntil([&] { return recorder_->lines().size() >= 3; }, 5s));
    EXPECT_EQ(recorder_->lines().back(), "Notify Tavlo - Paused | Your clipboard will not be saved automatically");
    copy("while paused");
    pause(1500ms);
    EXPECT_EQ(query("SELECT count(*) FROM Clipping"), "1\n");
    // The uncaptured copy gives the menu its save row first; automatic saving is the third.
    ASSERT_TRUE(chooseRow(2));
    copy("after resuming");
    EXPECT_TRUE(waitUntil([&] { return query("SELECT count(*) FROM Clipping WHERE text = 'after resuming'") == "1\n"; },
                          10s));

    // An owner that never answers does not keep the menu from opening.
    auto owner = ChildProcess::start({TAVLO_CLIPBOARD_TEST_OWNER, "--stall", "--target", "UTF8_STRING=stalled"});
    ASSERT_TRUE(owner);
    pause(500ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(openMenu(5s));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(took, 5s) << took.count() << " ms";
    runCommand({"xdotool", "key", "Escape"}, 5s);
    waitUntil([] { return !menuShown(); }, 5s);
    owner.reset();
    copy("owner gone");
    ASSERT_TRUE(waitUntil([&] { return query("SELECT count(*) FROM Clipping WHERE text = 'owner gone'") == "1\n"; },
                          10s));

    // A notification service that never answers: the clear completes, one line
    // follows after the call's limit.
    recorder_->setAnswers(false);
    ASSERT_TRUE(chooseRow(0));
    EXPECT_TRUE(waitUntil([] { return clipboard().empty(); }, 5s));
    EXPECT_TRUE(waitUntil([&] { return count(generalLog(), "Clipboard cleared\" not shown") == 1; }, 8s))
        << generalLog();
    pause(500ms);
    EXPECT_EQ(count(generalLog(), "not shown"), 1);
    EXPECT_EQ(trayIcons().size(), 1u);
}

}  // namespace
