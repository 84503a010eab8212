// The built program driven as a new user drives it, on the test's private X
// server under openbox, with a private session bus and a temporary home:
// texts copied with xclip, a terminal in front, the show hotkey, typing to
// search, Return pasting into the terminal, a numbered row copied, Escape;
// a row dragged onto another program's window while the window steps aside.
// The same on the test run's store of 100,000 clippings, and the inputs the
// panel must survive: a held, repeating Ctrl+1 and a huge clipboard offer
// under the application menu.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "kit/TLUserDefaultsKeys.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RequireDisplay.h"
#include "tests/support/TavloWindows.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::Place;
using testsupport::runCommand;

class EndToEndProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY"), "needs an X server");
        if (runCommand({"sh", "-c", "command -v openbox && command -v xterm && command -v xdotool && command -v xclip"},
                       5s)
                .status != 0)
            GTEST_SKIP() << "needs openbox, xterm, xdotool and xclip";
        openbox_ = ChildProcess::start({"openbox", "--sm-disable"});
        ASSERT_TRUE(openbox_);
        ASSERT_TRUE(waitUntil(
            [&] {
                // With other test programs' servers starting and ending
                // beside ours, openbox now and then fails to open the display
                // and exits at once; it is started again.
                if (!openbox_->running()) openbox_ = ChildProcess::start({"openbox", "--sm-disable"});
                return openbox_ && runCommand({"sh", "-c",
                                   "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window && "
                                   "xprop -root _NET_SUPPORTED | grep -q _NET_ACTIVE_WINDOW"},
                                  5s)
                           .status == 0;
            },
            10s));
    }
    void TearDown() override {
        if (tavlo_) {
            tavlo_->signal(SIGTERM);
            EXPECT_EQ(tavlo_->wait(15s), 0) << "the program ends cleanly";
        }
        if (xterm_) xterm_->signal(SIGTERM);
    }

    static bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition()) return true;
            std::this_thread::sleep_for(50ms);
        }
        return condition();
    }
    static void key(const std::string& keys) { runCommand({"sh", "-c", "xdotool key --delay 60 $0", keys}, 10s); }
    static void copy(const std::string& text) {
        runCommand({"sh", "-c", "printf '%s' \"$0\" | xclip -selection clipboard >/dev/null 2>&1", text}, 10s);
    }
    // The clipboard's text; a line ends it, as a last line without one would be lost.
    static std::string clipboard() {
        std::string text = runCommand({"sh", "-c", "xclip -o -selection clipboard; echo"}, 3s).output;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    std::string query(const std::string& sql) {
        return runCommand({"sqlite3", (home_.dataHome() / "Tavlo/datastore").string(), sql}, 10s).output;
    }
    std::string written() {
        std::ifstream in(out_);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // First-run settings are the program's own; these come first and stay.
    void seedSettings(int64_t historyLimit = 0) {
        auto suite = foundation::UserDefaults::suite("group.com.tavlo.Tavlo");
        suite->setInteger(3, TLUserDefaultsReturnActionKey);
        suite->setBool(false, TLUserDefaultsCopyPasteClosesWindow);
        if (historyLimit > 0) {
            // A first run would set the limit to 100 and trim the history to
            // it: these settings are those of a user who raised it.
            suite->setBool(true, TLUserDefaultsInitialized);
            suite->setInteger(historyLimit, TLUserDefaultsClipboardSize);
            suite->setBool(true, TLUserDefaultsCaptureClipboard);
            suite->setBool(true, TLUserDefaultsShowsMenuBarIcon);
            suite->setBool(true, TLUserDefaultsWindowIsDetached);
            suite->setBool(false, TLUserDefaultsHideWindowOnLaunchKey);
            suite->setObject(foundation::PlistValue(std::string("{{20, 20}, {360, 600}}")), TLUserDefaultsWindowFrame);
        }
        ASSERT_TRUE(suite->synchronize());
        // The paste script, as the General pane installs it from the bundle.
        const fs::path script = fs::path(TAVLO_PROGRAM).parent_path().parent_path() / "Resources/Paste.scpt";
        fs::create_directories(foundation::Paths::applicationScripts());
        fs::copy_file(script, foundation::Paths::applicationScripts() / "Paste.scpt");
        fs::permissions(foundation::Paths::applicationScripts() / "Paste.scpt", fs::perms(0700));
    }
    void startTavlo() {
        tavlo_ = ChildProcess::start({TAVLO_PROGRAM});
        ASSERT_TRUE(tavlo_);
        ASSERT_TRUE(waitUntil([] { return !browserWindow().empty(); }, 30s)) << "no window";
        // The hotkeys are bound once start-up is over.
        ASSERT_TRUE(waitUntil([&] { return generalLog().find("Application did finish launching") != std::string::npos; },
                              30s));
    }
    std::string generalLog() {
        return runCommand({"sh", "-c", "cat \"$0\"/Logs/Tavlo/General/*.log 2>/dev/null", home_.dataHome().string()},
                          5s)
            .output;
    }
    // A terminal whose Ctrl+V inserts the clipboard, reading without line
    // editing, made the active window.
    void startTerminal() {
        out_ = home_.root() / "out";
        xterm_ = ChildProcess::start({"xterm", "-geometry", "60x10+600+500", "-xrm",
                                      "XTerm*vt100.translations: #override Ctrl<Key>v: insert-selection(CLIPBOARD)",
                                      "-e", "sh", "-c", "stty -icanon; exec cat > \"$0\"", out_.string()});
        ASSERT_TRUE(xterm_);
        ASSERT_TRUE(waitUntil([&] { return !terminalWindow().empty(); }, 20s));
        runCommand({"xdotool", "windowactivate", "--sync", terminalWindow()}, 5s);
        ASSERT_TRUE(waitUntil([&] { return activeWindow() == terminalWindow(); }, 5s));
    }
    static std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }
    static std::string terminalWindow() {
        return firstLine(runCommand({"xdotool", "search", "--onlyvisible", "--class", "XTerm"}, 5s).output);
    }
    static std::string activeWindow() { return firstLine(runCommand({"xdotool", "getactivewindow"}, 5s).output); }
    // The browser window: the viewable top-level window named "Tavlo" larger than a tray icon.
    static std::string browserWindow() {
        std::istringstream ids(runCommand({"xdotool", "search", "--onlyvisible", "--name", "^Tavlo$"}, 5s).output);
        for (std::string id; std::getline(ids, id);) {
            std::string info = runCommand({"xwininfo", "-id", id}, 5s).output;
            std::smatch m;
            if (std::regex_search(info, m, std::regex(R"(Width:\s+(\d+))")) && std::stoi(m[1]) > 100) return id;
        }
        return {};
    }
    static bool browserHasFocus() {
        std::string browser = browserWindow();
        return !browser.empty() && activeWindow() == browser;
    }
    // The hotkey that shows the window, pressed over the terminal.
    void showWithHotkey(std::chrono::milliseconds limit = 10s) {
        key("super+shift+c");
        ASSERT_TRUE(waitUntil(browserHasFocus, limit)) << "the window shows with the keyboard";
    }
    // Return pastes the selected row into the terminal.
    void pasteSelectedRowExpecting(const std::string& text) {
        key("Return");
        EXPECT_TRUE(waitUntil([&] { return written() == text; }, 15s)) << "[" << written() << "]";
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(written(), text) << "exactly that, once";
    }

    testsupport::TempHome home_;
    std::unique_ptr<ChildProcess> openbox_;
    std::unique_ptr<ChildProcess> tavlo_;
    std::unique_ptr<ChildProcess> xterm_;
    fs::path out_;
};

TEST_F(EndToEndProgramTest, CopiedTextsAreFoundPastedIntoTheTerminalAndCopiedByNumber) {
    seedSettings();
    startTavlo();
    for (const char* text : {"alpha one", "beta two", "gamma three"}) {
        copy(text);
        ASSERT_TRUE(waitUntil([&] { return query("SELECT count(*) FROM Clipping WHERE text = '" + std::string(text) +
                                                 "'") == "1\n"; },
                              10s))
            << text << " captured";
    }
    startTerminal();
    showWithHotkey();

    runCommand({"xdotool", "type", "--delay", "80", "gam"}, 10s);
    key("Down");
    pasteSelectedRowExpecting("gamma three");

    EXPECT_EQ(query("SELECT count(*) FROM Clipping"), "3\n");
    EXPECT_EQ(query("SELECT text FROM Clipping ORDER BY tavloDate DESC LIMIT 1"), "gamma three\n");

    // The window came back after the paste; the search ends and Ctrl+2 copies row 1.
    ASSERT_TRUE(waitUntil(browserHasFocus, 10s));
    key("Escape");
    key("ctrl+2");
    EXPECT_TRUE(waitUntil([] { return clipboard() == "beta two"; }, 5s)) << clipboard();
    key("Escape");
    EXPECT_TRUE(waitUntil([] { return browserWindow().empty(); }, 5s)) << "Escape closes the window";
    EXPECT_EQ(query("SELECT count(*) FROM Clipping"), "3\n") << "our own writes are no new clippings";
}

// A row dragged with the pointer onto another program's window, with the
// drag option that hides the window and shows it again: the window steps
// aside once the pointer leaves it, the other program receives the text, and
// the window returns after the drop.
TEST_F(EndToEndProgramTest, ARowDraggedOutHidesTheWindowDeliversItsTextAndTheWindowReturns) {
    seedSettings(100);
    auto suite = foundation::UserDefaults::suite("group.com.tavlo.Tavlo");
    suite->setInteger(2, TLUserDefaultsDragAction);
    ASSERT_TRUE(suite->synchronize());
    startTavlo();
    copy("dragged text");
    ASSERT_TRUE(waitUntil([&] { return query("SELECT count(*) FROM Clipping WHERE text = 'dragged text'") == "1\n"; },
                          10s));
    auto target = ChildProcess::start({TAVLO_DROP_WINDOW, "600", "100", "300", "300"});
    ASSERT_TRUE(target);
    ASSERT_TRUE(target->waitForLine("ready", 15s));
    ASSERT_FALSE(browserWindow().empty());
    // The window stands at (20, 20): its first row lies under the header.
    // Pressed, moved past the drag distance, carried out of the window and
    // held over the other program before it is let go.
    auto hand = ChildProcess::start({"sh", "-c",
                                     "xdotool mousemove 120 95 mousedown 1 sleep 0.3 mousemove 140 115 sleep 0.3 "
                                     "mousemove 700 200 sleep 0.3 mousemove 750 250 sleep 1.5 mouseup 1"});
    ASSERT_TRUE(hand);
    EXPECT_TRUE(waitUntil([] { return browserWindow().empty(); }, 5s)) << "the window steps aside during the drag";
    EXPECT_TRUE(target->waitForLine("text dragged text", 15s));
    EXPECT_EQ(hand->wait(10s), 0);
    EXPECT_TRUE(waitUntil([] { return !browserWindow().empty(); }, 5s)) << "the window returns after the drop";
}

TEST_F(EndToEndProgramTest, TheLongHistoryShowsItsFirstRowsAndPastes) {
    const fs::path container = home_.dataHome() / "Tavlo";
    fs::create_directories(container);
    for (const auto& file : fs::directory_iterator(TAVLO_HISTORY_STORE))
        fs::copy_file(file.path(), container / file.path().filename());
    seedSettings(100000);
    startTavlo();
    // The user turns to the terminal a moment after the launch: a hotkey
    // within about a second of it can find the window still counting itself
    // key, and hide it instead.
    std::this_thread::sleep_for(3s);
    startTerminal();
    // A sanitized build reads the long history for a while: a generous limit.
    showWithHotkey(30s);
    key("Down Up");  // the first row selected, whichever row was current
    pasteSelectedRowExpecting("History clipping 99999 of the generated store");
    ASSERT_TRUE(waitUntil(browserHasFocus, 10s));
    key("ctrl+2");
    EXPECT_TRUE(waitUntil([] { return clipboard() == "History clipping 99998 of the generated store"; }, 5s))
        << clipboard();
    EXPECT_EQ(query("SELECT count(*) FROM Clipping"), "100000\n");
}

TEST_F(EndToEndProgramTest, AHeldRepeatingCtrl1AndAHugeOfferUnderTheApplicationMenu) {
    seedSettings();
    startTavlo();
    for (const char* text : {"first", "second"}) {
        copy(text);
        ASSERT_TRUE(waitUntil([&] { return query("SELECT count(*) FROM Clipping WHERE text = '" + std::string(text) +
                                                 "'") == "1\n"; },
                              10s));
    }
    runCommand({"xdotool", "windowactivate", "--sync", browserWindow()}, 5s);
    ASSERT_TRUE(waitUntil(browserHasFocus, 5s));

    // Ctrl+1 held for 5 s, repeating at 50 Hz.
    runCommand({"xset", "r", "rate", "200", "50"}, 5s);
    runCommand({"sh", "-c", "xdotool keydown ctrl+1; sleep 5; xdotool keyup 1 keyup ctrl"}, 20s);
    EXPECT_TRUE(waitUntil([] { return clipboard() == "second"; }, 5s)) << clipboard();
    EXPECT_EQ(query("SELECT count(*) FROM Clipping"), "2\n");
    ASSERT_TRUE(waitUntil(browserHasFocus, 5s)) << "the window is still there";

    // Another client offers 200 MB: the settings button's menu opens at once.
    auto owner = ChildProcess::start({TAVLO_CLIPBOARD_TEST_OWNER, "--huge", "UTF8_STRING=209715200"});
    ASSERT_TRUE(owner);
    ASSERT_TRUE(owner->waitForLine("ready", 10s));
    std::string info = runCommand({"xwininfo", "-id", browserWindow()}, 5s).output;
    auto number = [&](const char* label) {
        std::smatch m;
        return std::regex_search(info, m, std::regex(std::string(label) + R"(:\s+(-?\d+))")) ? std::stoi(m[1]) : 0;
    };
    const int x = number("Absolute upper-left X") + number("Width") - 22;
    const int y = number("Absolute upper-left Y") + 22;
    auto menuShown = [] {
        for (const auto& [id, place] : testsupport::tavloWindows())
            if (place.width > 48 && runCommand({"sh", "-c",
                                                "xwininfo -id " + id +
                                                    " | grep IsViewable -A20 | grep -q 'Override Redirect State: yes'"},
                                               5s)
                                            .status == 0)
                return true;
        return false;
    };
    runCommand({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"}, 5s);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitUntil(menuShown, 5s)) << runCommand({"xwininfo", "-root", "-tree"}, 5s).output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    key("Escape");
    owner.reset();
}

}  // namespace
