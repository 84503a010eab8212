// The panel's copy and paste: the paste into the window before ours through
// the paste script, on the virtual clock with a scripted front application
// and keyboard (real scripts, run as the program runs them).
#include <QCoreApplication>
#include <QMimeData>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteScript.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/LKLog.h"
#include "logging/TLLog.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/desktop/Menu.h"
#include "tests/ViewController/ClippingsPanelFixture.h"
#include "tests/logging/RecordingLogger.h"
#include "tests/support/FakeFrontApplication.h"
#include "tests/support/RecordingWorkspace.h"

namespace {

using namespace panelTest;

class ClippingsPanelPasteTest : public ClippingsPanelTest {
protected:
    void SetUp() override {
        ClippingsPanelTest::SetUp();
        TLSettings()->setInteger(100, TLUserDefaultsClipboardSize);
        desktop::Animator::setInstant(true);
        useMemoryClipboard(front_);
        front_->setLastForeign(desktop::AppIdentity{"org.example.Editor", "Editor", 42});
        front_->setOnActivate([this] {
            events_.push_back("activate");
            activatedAt_ = dispatch::Clock::now();
        });
        panelConfiguration_.keyboardModifiers = [this] { return modifiers_; };
        auto& center = foundation::NotificationCenter::defaultCenter();
        tokens_.push_back(center.addObserver(TLPanelTemporarilyResignKey, nullptr,
                                             [this](const foundation::Notification&) { events_.push_back("resign"); }));
        tokens_.push_back(center.addObserver(TLPanelRegainKeyWindow, nullptr,
                                             [this](const foundation::Notification&) { events_.push_back("regain"); }));
        logger_ = std::make_shared<RecordingLogger>();
        logger_->onMessage = [this](const LKLogMessage& message) {
            std::lock_guard lock(errorsMutex_);
            if (message.flag() == LKLogFlagError) errors_.emplace_back(message.context(), message.message());
        };
        LKLog::addLogger(logger_);
    }
    void TearDown() override {
        while (desktop::Alert::answerShown(1)) dispatch::MainQueue::runUntilIdle();
        for (auto token : tokens_) foundation::NotificationCenter::defaultCenter().removeObserver(token);
        LKLog::flushLog();
        LKLog::removeLogger(logger_);
        if (panel_) drain();
        panel_.reset();
        panelConfiguration_ = {};
        manager_.reset();
        ClippingsPanelTest::TearDown();
        desktop::Animator::setInstant(false);
    }

    // A script in the scripts folder, as the user's installer would leave it.
    void installScript(const std::string& body, fs::perms mode = fs::perms(0700)) {
        fs::create_directories(foundation::Paths::applicationScripts());
        std::ofstream(TLPasteScript::scriptPath()) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(TLPasteScript::scriptPath(), mode);
    }
    // Runs the main thread's events until the condition holds (real time: a
    // script is a real process).
    bool waitFor(const std::function<bool()>& condition, std::chrono::seconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    bool regained() const { return std::count(events_.begin(), events_.end(), "regain") > 0; }
    std::vector<std::string> errorsIn(int64_t context) {
        LKLog::flushLog();
        std::lock_guard lock(errorsMutex_);
        std::vector<std::string> out;
        for (auto& [c, text] : errors_)
            if (c == context) out.push_back(text);
        return out;
    }

    std::shared_ptr<testsupport::FakeFrontApplication> front_ = std::make_shared<testsupport::FakeFrontApplication>();
    Qt::KeyboardModifiers modifiers_ = Qt::NoModifier;
    std::vector<std::string> events_;
    double activatedAt_ = -1;
    std::vector<foundation::NotificationCenter::Token> tokens_;
    std::shared_ptr<RecordingLogger> logger_;
    std::mutex errorsMutex_;
    std::vector<std::pair<int64_t, std::string>> errors_;
};

TEST_F(ClippingsPanelPasteTest, KeysHeldHoldThePasteUntilTheFirstCheckAfterTheirRelease) {
    installScript("exit 0");
    Panel& panel = makePanel();
    const double start = dispatch::Clock::now();
    modifiers_ = Qt::ControlModifier;
    panel.pasteInActiveApp(true);
    // Each block runs at its own time, the later ones it schedules too.
    auto runUntil = [&](double t) {
        while (auto next = dispatch::Clock::nextDeadline()) {
            if (*next > start + t) break;
            advance(std::max(0.0, *next - dispatch::Clock::now()));
        }
        advance(std::max(0.0, start + t - dispatch::Clock::now()));
    };
    runUntil(0.6);
    modifiers_ = Qt::NoModifier;  // released 0.6 s after the paste was asked for
    runUntil(1.2);
    // Checks at 0, 0.25, 0.5 (held) and 0.75 (released), then 0.05 s.
    EXPECT_NEAR(activatedAt_ - start, 0.8, 1e-6);
    ASSERT_TRUE(waitFor([this] { return regained(); }));
    EXPECT_EQ(events_, (std::vector<std::string>{"resign", "activate", "regain"}));
    EXPECT_TRUE(errorsIn(TLLogContextGeneral).empty());
}

TEST_F(ClippingsPanelPasteTest, OnlyShiftCtrlAltAndSuperHoldThePaste) {
    installScript("exit 0");
    Panel& panel = makePanel();
    const struct {
        const char* name;
        Qt::KeyboardModifiers held;
        bool delays;
    } rows[] = {
        {"nothing", Qt::NoModifier, false},
        {"the keypad (Num Lock)", Qt::KeypadModifier, false},
        {"the group switch", Qt::GroupSwitchModifier, false},
        {"Shift", Qt::ShiftModifier, true},
        {"Ctrl", Qt::ControlModifier, true},
        {"Alt", Qt::AltModifier, true},
        {"Super", Qt::MetaModifier, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        modifiers_ = row.held;
        int before = front_->activations();
        panel.pasteInActiveApp(false);
        advance(TLClippingsViewController::kPasteDelay);
        EXPECT_EQ(front_->activations() - before, row.delays ? 0 : 1);
        modifiers_ = Qt::NoModifier;
        advance(0.3);
        EXPECT_EQ(front_->activations() - before, 1);
    }
    EXPECT_EQ(std::count(events_.begin(), events_.end(), "resign"), 0) << "the window was not to step back";
}

TEST_F(ClippingsPanelPasteTest, AFailingScriptIsLoggedAndTheWindowStillReturns) {
    installScript("echo 'no keyboard' >&2; exit 1");
    Panel& panel = makePanel();
    panel.pasteInActiveApp(true);
    advance(TLClippingsViewController::kPasteDelay);
    ASSERT_TRUE(waitFor([this] { return regained(); }));
    EXPECT_EQ(events_, (std::vector<std::string>{"resign", "activate", "regain"}));
    auto errors = errorsIn(TLLogContextGeneral);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::string(TLClippingsViewController::kPasteCompletionName) +
                             " AppleScript task error = Error Domain=NSCocoaErrorDomain Code=4 "
                             "\"The paste script exited with status 1. no keyboard\"");
}

TEST_F(ClippingsPanelPasteTest, AScriptThatNeverEndsIsStoppedAfterTenSecondsAndTheWindowReturns) {
    installScript("exec sleep 60");
    Panel& panel = makePanel();
    panel.pasteInActiveApp(true);
    advance(TLClippingsViewController::kPasteDelay);
    EXPECT_EQ(events_, (std::vector<std::string>{"resign", "activate"}));
    advance(TLPasteScript::kTimeoutSeconds - 0.1);
    waitFor([] { return false; }, std::chrono::seconds(0));
    EXPECT_FALSE(regained());
    advance(0.1);
    ASSERT_TRUE(waitFor([this] { return regained(); }));
    auto errors = errorsIn(TLLogContextGeneral);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("still ran after 10 seconds; stopped"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("AppleScript task error"), std::string::npos) << errors[1];
}

TEST_F(ClippingsPanelPasteTest, AScriptOthersCouldChangeIsNeverRun) {
    const struct {
        const char* name;
        std::function<void()> make;
        bool logged;
    } rows[] = {
        {"none", [] {}, false},
        {"writable by others", [this] { installScript("exit 0", fs::perms(0702)); }, true},
        {"not executable", [this] { installScript("exit 0", fs::perms(0600)); }, true},
    };
    Panel& panel = makePanel();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.make();
        size_t errorsBefore = errorsIn(TLLogContextGeneral).size();
        panel.pasteInActiveApp(true);
        advance(1);
        EXPECT_TRUE(events_.empty());
        EXPECT_EQ(front_->activations(), 0);
        EXPECT_EQ(errorsIn(TLLogContextGeneral).size() - errorsBefore, row.logged ? 1u : 0u);
        fs::remove(TLPasteScript::scriptPath());
    }
}


// --- Copy, paste, links, lists and deletion

class ClippingsPanelActionsTest : public ClippingsPanelPasteTest {
protected:
    // Clippings t0 (newest, row 0) to t{n-1}.
    std::vector<std::shared_ptr<Clipping>> history(int n) {
        std::vector<std::shared_ptr<Clipping>> out;
        for (int i = 0; i < n; ++i) out.push_back(add("t" + std::to_string(i), 10 * (i + 1)));
        return out;
    }
    // Selects the rows one after another, as clicks with Ctrl do.
    void select(const std::vector<int>& rows) {
        auto* selection = panel_->tableView()->selectionModel();
        auto* model = panel_->tableView()->model();
        selection->clearSelection();
        for (int row : rows)
            selection->setCurrentIndex(model->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    std::vector<int> selectedRows() const {
        std::vector<int> rows;
        for (const auto& index : panel_->tableView()->selectionModel()->selectedRows()) rows.push_back(index.row());
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    std::string clipboardText() { return general_->stringForDataType(foundation::kUTTypeUTF8PlainText).value_or(""); }
    static std::string id(const std::shared_ptr<Clipping>& c) { return c->clippingID().value_or(""); }
};

TEST_F(ClippingsPanelActionsTest, CopyingMovesTheRowsToTheTopInTheOrderTheyWereSelected) {
    auto c = history(6);
    Panel& panel = makePanel();
    select({3, 1});
    panel.copyClipping();
    // At once, before the store reports anything.
    auto now = shown();
    EXPECT_EQ(std::vector<std::string>(now.begin(), now.begin() + 4),
              (std::vector<std::string>{id(c[3]), id(c[1]), id(c[0]), id(c[2])}));
    EXPECT_EQ(selectedRows(), (std::vector<int>{0, 1}));
    drain();
    EXPECT_EQ(clipboardText(), "t3\nt1");
    EXPECT_EQ(TLSettings()->objectForKey(TLUserDefaultsPasteboardClippingIDs).asStringArray(),
              (std::vector<std::string>{id(c[3]), id(c[1])}));
    EXPECT_EQ(shown(), expected());
    EXPECT_EQ(shown()[0], id(c[3]));
    EXPECT_EQ(selectedRows(), (std::vector<int>{0, 1}));
}

TEST_F(ClippingsPanelActionsTest, WithTheHistorySortedByTheAddDateNothingMoves) {
    TLSettings()->setBool(true, TLUserDefaultsSortByAddDate);
    auto c = history(5);
    Panel& panel = makePanel();
    auto before = shown();
    select({3, 1});
    panel.copyClipping();
    EXPECT_EQ(shown(), before);
    drain();
    EXPECT_EQ(shown(), before);
    EXPECT_EQ(clipboardText(), "t3\nt1");
    TLSettings()->removeObjectForKey(TLUserDefaultsSortByAddDate);
}

TEST_F(ClippingsPanelActionsTest, ALargeClippingReachesTheClipboardWhole) {
    std::string large(10 << 20, 'x');
    large.back() = 'y';
    add(large, 5);
    Panel& panel = makePanel();
    select({0});
    panel.copyClipping();
    drain();
    EXPECT_EQ(clipboardText(), large);
}

TEST_F(ClippingsPanelActionsTest, ClippingsWhoseImageFilesAreGoneStillCopyTheirText) {
    TLSettings()->setBool(true, TLUserDefaultsSortByAddDate);  // rows stay where they are
    auto noFolder = add("no folder", 10, nullptr, false);
    auto emptyFolder = add("empty folder", 20, nullptr, false);
    for (const auto& clipping : {noFolder, emptyFolder}) {
        clipping->setImage(foundation::kUTTypePNG);
        clipping->setItems(2);
    }
    ASSERT_TRUE(context_->save().ok());
    assetFolder(*emptyFolder);
    Panel& panel = makePanel();
    const struct {
        std::vector<int> rows;
        const char* text;
    } rows[] = {{{0}, "no folder"}, {{1}, "empty folder"}, {{1, 0}, "empty folder\nno folder"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        select(row.rows);
        panel.copyClipping();
        drain();
        EXPECT_EQ(clipboardText(), row.text);
    }
    TLSettings()->removeObjectForKey(TLUserDefaultsSortByAddDate);
}

TEST_F(ClippingsPanelActionsTest, APasteWithoutAScriptOffersItAndRunsNothing) {
    history(2);
    Panel& panel = makePanel();
    select({1});
    const int64_t count = memory_->changeCount();
    panel.pasteItems();
    ASSERT_TRUE(panel.missingScriptAlert());
    EXPECT_EQ(panel.missingScriptAlert()->messageText(), "Paste Helper required");
    EXPECT_EQ(panel.missingScriptAlert()->informativeText(),
              "Download and install the Paste Helper to paste items directly into the foreground application.");
    EXPECT_EQ(panel.missingScriptAlert()->buttonTitles(),
              (std::vector<std::string>{"Download Paste Helper", "Cancel"}));
    advance(1);
    drain();
    EXPECT_EQ(memory_->changeCount(), count);
    EXPECT_EQ(front_->activations(), 0);
    EXPECT_TRUE(events_.empty());
}

TEST_F(ClippingsPanelActionsTest, TheMissingScriptAlertsButtonInstallsTheBundlesScript) {
    foundation::Bundle::setMainBundlePath(TAVLO_BUNDLE_DIR);
    auto bundled = TLPasteScript::bundledScript();
    ASSERT_TRUE(bundled);
    const fs::path script = TLPasteScript::scriptPath();
    const struct {
        const char* name;
        std::function<void()> make;
        bool installs;
    } rows[] = {
        {"nothing there", [] {}, true},
        // Not a script, so the alert comes; the copy never replaces it.
        {"a folder of that name", [&] { fs::create_directories(script); }, false},
    };
    history(2);
    Panel& panel = makePanel();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(foundation::Paths::applicationScripts());
        row.make();
        select({1});
        const int beeps = Panel::beepCount();
        const size_t errors = errorsIn(TLLogContextGeneral).size();
        panel.pasteItems();
        ASSERT_TRUE(panel.missingScriptAlert());
        ASSERT_TRUE(desktop::Alert::answerShown(0));  // "Download Paste Helper"
        drain();
        EXPECT_FALSE(panel.missingScriptAlert());
        if (row.installs) {
            ASSERT_EQ(TLPasteScript::installedScript(), script);
            EXPECT_EQ(fs::status(script).permissions() & fs::perms::all, fs::perms::owner_all);
            std::ifstream installed(script, std::ios::binary), original(*bundled, std::ios::binary);
            EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(installed), std::istreambuf_iterator<char>(),
                                   std::istreambuf_iterator<char>(original), std::istreambuf_iterator<char>()));
            EXPECT_EQ(Panel::beepCount(), beeps);
        } else {
            EXPECT_TRUE(fs::is_directory(script));
            EXPECT_EQ(Panel::beepCount(), beeps + 1);
            // The folder in the script's place is logged, and so is the copy refused over it.
            auto logged = errorsIn(TLLogContextGeneral);
            ASSERT_GT(logged.size(), errors);
            EXPECT_NE(logged.back().find("Code=516"), std::string::npos) << logged.back();
        }
        EXPECT_EQ(front_->activations(), 0) << "the paste that found no script runs nothing";
    }
    foundation::Bundle::setMainBundlePath({});
}

TEST_F(ClippingsPanelActionsTest, WithNoWindowBeforeOursAPasteBeepsAndLeavesTheClipboard) {
    installScript("exit 0");
    history(2);
    front_->setLastForeign(std::nullopt);
    Panel& panel = makePanel();
    select({1});
    const int64_t count = memory_->changeCount();
    const int beeps = Panel::beepCount();
    panel.pasteItems();
    advance(1);
    drain();
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(memory_->changeCount(), count);
    EXPECT_EQ(front_->activations(), 0);
}

TEST_F(ClippingsPanelActionsTest, APasteCopiesThenRunsTheScriptWithTheClipboardWritten) {
    installScript("exit 0");
    auto c = history(3);
    Panel& panel = makePanel();
    std::string atActivation;
    front_->setOnActivate([&] {
        events_.push_back("activate");
        atActivation = clipboardText();
    });
    select({2});
    panel.pasteItems();
    advance(TLClippingsViewController::kPasteDelay);
    drain();
    ASSERT_TRUE(waitFor([this] { return regained(); }));
    EXPECT_EQ(atActivation, "t2");
    EXPECT_EQ(events_, (std::vector<std::string>{"resign", "activate", "regain"}));
    EXPECT_EQ(shown()[0], id(c[2]));
}

TEST_F(ClippingsPanelActionsTest, OnlyLinksWithASchemeAndAHostAreOpened) {
    testsupport::RecordingWorkspace::Scope workspace;
    auto plain = add("just text", 10);
    auto link = add("", 20);
    link->setUrl("https://example.org/a");
    auto source = add("quoted", 30);
    source->setUrlSource("https://example.com/page");
    auto script = add("", 40);
    script->setUrl("javascript:alert(1)");
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    int beeps = Panel::beepCount();
    select({0});  // the plain text
    panel.openURL();
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    select({1, 2, 3});
    panel.openURL();
    EXPECT_EQ(workspace->urls, (std::vector<std::string>{"https://example.org/a", "https://example.com/page"}));
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    select({3});
    panel.openURL();
    EXPECT_EQ(Panel::beepCount(), beeps + 2);
}

TEST_F(ClippingsPanelActionsTest, TemplatesAreOfferedWhenTheClippingHasWhatTheyUse) {
    foundation::PlistValue::Array templates;
    for (auto [name, format] : std::vector<std::pair<std::string, std::string>>{
             {"Title", "{title}"}, {"Text", "<{text}>"}, {"Link", "{url}"}, {"Both", "{text} at {url}"}, {"Fixed", "x"}})
        templates.push_back(foundation::PlistValue(foundation::PlistValue::Dictionary{
            {TLUserDefaultsTemplateName, foundation::PlistValue(name)},
            {TLUserDefaultsTemplateFormat, foundation::PlistValue(format)}}));
    templates.push_back(foundation::PlistValue(foundation::PlistValue::Dictionary{}));  // damaged: no format
    TLSettings()->setObject(foundation::PlistValue(templates), TLUserDefaultsCopyTemplates);
    auto text = add("plain", 10);
    auto link = add("", 20);
    link->setUrl("https://example.org");
    auto titled = add("", 30);
    titled->setUrl("https://example.org/t");
    titled->setUrlName("Page");
    auto quoted = add("words", 40);
    quoted->setUrlSource("https://example.org/q");
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    auto titles = [](const std::shared_ptr<desktop::Menu>& menu) {
        std::vector<std::string> out;
        if (menu)
            for (const auto& item : menu->items()) out.push_back(item->title());
        return out;
    };
    const struct {
        int row;
        std::vector<std::string> offered;
    } rows[] = {
        {0, {"Text", "Fixed"}},
        {1, {"Link", "Fixed"}},
        {2, {"Title", "Link", "Fixed"}},
        {3, {"Text", "Link", "Both", "Fixed"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.row);
        select({row.row});
        EXPECT_EQ(titles(panel.copyAsMenu()), row.offered);
        EXPECT_EQ(titles(panel.pasteAsMenu(true)), row.offered);
    }
    select({0, 1});
    EXPECT_FALSE(panel.copyAsMenu());
    EXPECT_FALSE(panel.pasteAsMenu());

    select({0});
    auto closing = panel.copyAsMenu(true);
    EXPECT_EQ(closing->itemAtIndex(0)->tag(), 1);
    EXPECT_EQ(panel.copyAsMenu()->itemAtIndex(0)->tag(), 0);
    int closed = 0;
    panel.setCloseWindowAction([&] { ++closed; });
    closing->itemAtIndex(0)->performAction();
    drain();
    EXPECT_EQ(clipboardText(), "<plain>");
    EXPECT_EQ(closed, 1);
    TLSettings()->removeObjectForKey(TLUserDefaultsCopyTemplates);
}

TEST_F(ClippingsPanelActionsTest, TheListsMenuShowsWhereTheSelectionIs) {
    auto a = makeList("A");
    auto b = makeList("B");
    auto a1 = add("a1", 10, a), a2 = add("a2", 20, a), b1 = add("b1", 30, b), u = add("u", 40);
    Panel& panel = makePanel();
    using State = desktop::MenuItem::State;
    auto states = [&] {
        std::vector<State> out;
        auto menu = panel.listsMenu();
        for (const auto& item : menu->items()) out.push_back(item->state());
        return out;
    };
    EXPECT_EQ(panel.listsMenu()->minimumWidth(), 120);
    const struct {
        const char* name;
        std::vector<int> rows;
        std::vector<State> states;
    } rows[] = {
        {"nothing", {}, {State::Off, State::Off}},
        {"wholly in A", {0, 1}, {State::On, State::Off}},
        {"in A and B", {0, 2}, {State::Mixed, State::Mixed}},
        {"in A and none", {1, 3}, {State::Mixed, State::Off}},
        {"in none", {3}, {State::Off, State::Off}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        select(row.rows);
        EXPECT_EQ(states(), row.states);
    }
    // Choosing the list that is on takes the selection out of it.
    select({0, 1});
    panel.listsMenu()->itemAtIndex(0)->performAction();
    EXPECT_FALSE(a1->list());
    EXPECT_FALSE(a2->list());
    EXPECT_EQ(a1->sync(), true);
    EXPECT_FALSE(context_->hasChanges());
    (void)b1;
    (void)u;
}

TEST_F(ClippingsPanelActionsTest, AddingToAListAppendsAfterItsClippingsNumberedAgain) {
    auto list = makeList("L");
    auto first = add("first", 50, list), second = add("second", 60, list);
    first->setIndex(0);
    second->setIndex(7);
    auto u1 = add("u1", 10), u2 = add("u2", 20);
    Panel& panel = makePanel();
    select({1, 0});  // u2, then u1
    auto menu = panel.listsMenu();
    menu->itemAtIndex(0)->performAction();
    EXPECT_EQ(second->index(), 1);
    EXPECT_EQ(u2->index(), 2);
    EXPECT_EQ(u1->index(), 3);
    EXPECT_EQ(u1->list(), list);
    EXPECT_FALSE(context_->hasChanges());
}

TEST_F(ClippingsPanelActionsTest, AListChangeThatCannotBeSavedIsLogged) {
    auto list = makeList("L");
    add("u", 10);
    saveContext_ = [](store::Context&) -> foundation::Result<void> {
        return foundation::Error("NSCocoaErrorDomain", 640, "The disk is full.");
    };
    Panel& panel = makePanel();
    select({0});
    panel.listsMenu()->itemAtIndex(0)->performAction();
    EXPECT_EQ(errorsIn(TLLogContextGeneral),
              std::vector<std::string>{"Error Domain=NSCocoaErrorDomain Code=640 \"The disk is full.\""});
    saveContext_ = nullptr;
}

TEST_F(ClippingsPanelActionsTest, DeletingSelectsTheRowThatTookThePlace) {
    auto c = history(4);
    Panel& panel = makePanel();
    select({1});
    panel.deleteClipping();
    advance(TLClippingsViewController::kReselectAfterDeleteDelay);
    drain();
    EXPECT_EQ(shown(), (std::vector<std::string>{id(c[0]), id(c[2]), id(c[3])}));
    EXPECT_EQ(selectedRows(), std::vector<int>{1});
    select({2});
    panel.deleteClipping();
    advance(TLClippingsViewController::kReselectAfterDeleteDelay);
    drain();
    EXPECT_EQ(shown().size(), 2u);
    EXPECT_TRUE(selectedRows().empty());
}


TEST_F(ClippingsPanelActionsTest, AFailedDeletionShowsItsErrorAndLosesNothing) {
    auto c = history(3);
    manager_.reset();
    TLPasteboardManager::Configuration configuration;
    configuration.generalPasteboard = general_;
    configuration.managedObjectContext = context_;
    configuration.frontApplication = front_;
    configuration.writerQueue = dispatch::Queue::main();
    configuration.saveContext = [](store::Context&) -> foundation::Result<void> {
        return foundation::Error("NSCocoaErrorDomain", 640, "The disk is full.");
    };
    manager_ = std::make_shared<TLPasteboardManager>(std::move(configuration));
    panelConfiguration_.pasteboardManager = manager_;
    Panel& panel = makePanel();
    select({1});
    const int beeps = Panel::beepCount();
    panel.deleteClipping();
    advance(1);
    drain();
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    ASSERT_TRUE(panel.deleteErrorAlert());
    EXPECT_EQ(panel.deleteErrorAlert()->messageText(), "The disk is full.");
    EXPECT_EQ(shown(), (std::vector<std::string>{id(c[0]), id(c[1]), id(c[2])}));
    EXPECT_FALSE(c[1]->isDeleted());
}

// --- Drag and drop

TEST_F(ClippingsPanelActionsTest, ADragCarriesUpToTwentyFiveClippings) {
    auto c = history(30);
    Panel& panel = makePanel(360, 4000);
    int begun = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        TLClippingTableViewBeginDraggingNotification, nullptr, [&](const foundation::Notification&) { ++begun; });
    std::vector<int> rows;
    std::string joined;
    for (int row = 0; row < 25; ++row) {
        rows.push_back(row);
        joined += (row ? "\n" : "") + std::string("t") + std::to_string(row);
    }
    select(rows);
    const int64_t clipboardCount = memory_->changeCount();
    auto data = panel.writeRowsForDrag(rows);
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->hasFormat(QStringLiteral("application/x-tavlo-clipping-metadata")));
    EXPECT_EQ(data->text().toStdString(), joined);
    EXPECT_EQ(begun, 1);
    EXPECT_EQ(memory_->changeCount(), clipboardCount) << "a drag leaves the clipboard alone";

    rows.push_back(25);
    select(rows);
    const int beeps = Panel::beepCount();
    EXPECT_FALSE(panel.writeRowsForDrag(rows));
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(begun, 1);

    // A row outside the selection is dragged alone.
    select({1, 2});
    data = panel.writeRowsForDrag({7});
    ASSERT_TRUE(data);
    EXPECT_EQ(data->text().toStdString(), "t7");
    EXPECT_EQ(selectedRows(), std::vector<int>{7});
    foundation::NotificationCenter::defaultCenter().removeObserver(token);
}

class ClippingsPanelDropTest : public ClippingsPanelActionsTest {
protected:
    // A list of n clippings c0 ... c{n-1} at indexes 0 ... n-1, none marked to sync.
    void makeOrderedList(int n) {
        list_ = makeList("L");
        for (int i = 0; i < n; ++i) {
            auto clipping = add("c" + std::to_string(i), 10 * (i + 1), list_, false);
            clipping->setIndex(i);
            clipping->setSync(false);
            c_.push_back(clipping);
        }
        ASSERT_TRUE(context_->save().ok());
    }
    std::vector<std::string> order() const {
        std::vector<std::string> out;
        for (int row = 0; row < panel_->tableView()->model()->rowCount(); ++row)
            out.push_back(panel_->clippingAtRow(row)->text().value_or(""));
        return out;
    }
    std::shared_ptr<List> list_;
    std::vector<std::shared_ptr<Clipping>> c_;
};

TEST_F(ClippingsPanelDropTest, TheSelectionDroppedAboveARowGoesBeforeItInSelectionOrder) {
    makeOrderedList(6);
    Panel& panel = makePanel();
    panel.selectList(list_);
    drain();
    select({1, 4});
    ASSERT_TRUE(panel.validateDrop(panel.tableView(), 3));
    ASSERT_TRUE(panel.acceptDrop(3));
    const std::vector<std::string> expectedOrder{"c0", "c2", "c1", "c4", "c3", "c5"};
    EXPECT_EQ(order(), expectedOrder);
    for (int i = 0; i < 6; ++i) {
        auto& clipping = *c_[size_t(std::stoi(expectedOrder[size_t(i)].substr(1)))];
        SCOPED_TRACE(expectedOrder[size_t(i)]);
        EXPECT_EQ(clipping.index(), i);
        EXPECT_EQ(clipping.sync(), expectedOrder[size_t(i)] != "c0" && expectedOrder[size_t(i)] != "c5");
    }
    EXPECT_FALSE(context_->hasChanges());
    drain();
    EXPECT_EQ(order(), expectedOrder);

    // Past the last row: to the end.
    select({0});
    EXPECT_EQ(panel.dropRowAt(QPoint(10, panel.tableView()->viewport()->height() - 2)), 6);
    ASSERT_TRUE(panel.acceptDrop(6));
    EXPECT_EQ(order(), (std::vector<std::string>{"c2", "c1", "c4", "c3", "c5", "c0"}));
    drain();
    EXPECT_EQ(order(), (std::vector<std::string>{"c2", "c1", "c4", "c3", "c5", "c0"}));
}

TEST_F(ClippingsPanelDropTest, DropsAreTakenOnlyBetweenTheRowsOfAWholeListFromThisTable) {
    makeOrderedList(4);
    Panel& panel = makePanel();
    QObject stranger;
    EXPECT_FALSE(panel.validateDrop(panel.tableView(), 1)) << "the main history";
    panel.selectList(list_);
    drain();
    EXPECT_TRUE(panel.validateDrop(panel.tableView(), 1));
    EXPECT_TRUE(panel.validateDrop(panel.tableView(), 4));
    EXPECT_FALSE(panel.validateDrop(panel.tableView(), -1)) << "onto a row";
    EXPECT_FALSE(panel.validateDrop(&stranger, 1)) << "another source";
    EXPECT_FALSE(panel.validateDrop(nullptr, 1)) << "another program";
    QRect second = panel.tableView()->visualRect(panel.tableView()->model()->index(1, 0));
    EXPECT_EQ(panel.dropRowAt(QPoint(10, second.top() + 1)), 1);
    EXPECT_EQ(panel.dropRowAt(QPoint(10, second.bottom() - 1)), 2);
    EXPECT_EQ(panel.dropRowAt(second.center()), -1);
    panel.toggleSearchWithAnimation(false);
    EXPECT_FALSE(panel.validateDrop(panel.tableView(), 1)) << "while searching";
    select({0});
    EXPECT_FALSE(panel.acceptDrop(2));
    EXPECT_EQ(c_[0]->index(), 0);
}

TEST_F(ClippingsPanelDropTest, AReorderThatCannotBeSavedBeepsAndIsLogged) {
    makeOrderedList(3);
    saveContext_ = [](store::Context&) -> foundation::Result<void> {
        return foundation::Error("NSCocoaErrorDomain", 640, "The disk is full.");
    };
    Panel& panel = makePanel();
    panel.selectList(list_);
    drain();
    select({2});
    const int beeps = Panel::beepCount();
    ASSERT_TRUE(panel.acceptDrop(0));
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(order(), (std::vector<std::string>{"c2", "c0", "c1"}));
    EXPECT_EQ(errorsIn(TLLogContextGeneral),
              std::vector<std::string>{"Error Domain=NSCocoaErrorDomain Code=640 \"The disk is full.\""});
    saveContext_ = nullptr;
}

}  // namespace
