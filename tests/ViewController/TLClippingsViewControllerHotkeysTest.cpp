// The panel's hotkey actions as the global hotkeys reach them: notifications
// posted, the real pasteboard manager on a private X server (what another
// program reads with xclip), and a notification service recording on a
// private session bus.
#include "tests/kit/CaptureX11Fixture.h"

#include <QApplication>
#include <QDBusConnection>
#include <QProcess>
#include <QScrollBar>

#include <atomic>
#include <fstream>
#include <thread>

#include "ViewController/TLClippingsViewController.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLPasteScript.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/LogSink.h"
#include "platform/desktop/SessionNotificationCenter.h"
#include "platform/desktop/SoundPlayer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "views/TLCellHeightCache.h"
#include "views/TLTitleView.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Panel = TLClippingsViewController;

class HotkeyActionsTest : public capturetest::CaptureX11Fixture {
protected:
    void SetUp() override {
        CaptureX11Fixture::SetUp();
        if (setUpFailed()) return;
        TLCellHeightCache::sharedCache().setCachedHeights(foundation::PlistValue::Dictionary{});
        TLSettings()->setBool(true, TLUserDefaultsPlaySounds);
        desktop::SoundPlayer::setCurrent(sounds_);
        desktop::setLogSink([lines = logNotes_](const desktop::LogNote& note) {
            std::lock_guard lock(lines->mutex);
            lines->texts.push_back(note.text);
        });
        recorder_ = testsupport::NotificationRecorder::start();
        ASSERT_NE(recorder_, nullptr) << "no private session bus";
    }
    void TearDown() override {
        panel_.reset();
        desktop::setLogSink(nullptr);
        desktop::SoundPlayer::setCurrent(nullptr);
        foundation::Bundle::setMainBundlePath({});
        CaptureX11Fixture::TearDown();
    }

    // The manager on the X clipboard and the panel beside it, not shown (so
    // not the active window) unless asked.
    void start(std::function<foundation::Result<void>(store::Context&)> saveContext = {}) {
        startOnSystemClipboard("test.hotkeys.assets", std::move(saveContext));
        if (HasFatalFailure()) return;
        Panel::Configuration configuration;
        configuration.context = context_;
        std::weak_ptr<TLPasteboardManager> manager = manager_;
        configuration.pasteboardClippingIDs = [manager]() -> std::optional<std::vector<std::string>> {
            auto strong = manager.lock();
            return strong ? strong->pasteboardClippingIDs() : std::nullopt;
        };
        configuration.pasteboardManager = manager_;
        configuration.frontApplication = manager_->frontApplication();
        panel_ = std::make_unique<Panel>(configuration);
        panel_->resize(360, 600);
        center_ = std::make_shared<desktop::SessionNotificationCenter>();
        panel_->setUserNotificationCenter([center = center_] { return center; });
        runEventsFor(50ms);
    }
    // Clippings "<prefix> 0" (the newest) to "<prefix> n-1".
    std::vector<std::shared_ptr<Clipping>> seed(int n, const std::shared_ptr<List>& list = nullptr,
                                                const std::string& prefix = "clip") {
        std::vector<std::shared_ptr<Clipping>> made;
        for (int i = 0; i < n; ++i) {
            auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
            clipping->setClippingID(Clipping::makeClippingID());
            clipping->setText(prefix + " " + std::to_string(i));
            auto date = foundation::Date::now().addingTimeInterval(-1000 - i - (list ? 0 : 5000));
            clipping->setTavloDate(date);
            clipping->setAddDate(date);
            if (list) {
                clipping->setList(list);
                clipping->setIndex(i);
            }
            made.push_back(clipping);
        }
        EXPECT_TRUE(context_->save().ok());
        return made;
    }
    // A clipping newer than every other, saved.
    std::shared_ptr<Clipping> addNewest(std::function<void(Clipping&)> fill) {
        auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        auto date = foundation::Date::now().addingTimeInterval(++newer_);
        clipping->setTavloDate(date);
        clipping->setAddDate(date);
        fill(*clipping);
        EXPECT_TRUE(context_->save().ok());
        return clipping;
    }

    // Posts as a hotkey does; on the main thread, what it queued there runs
    // before this returns.
    static void post(const char* name, std::optional<int64_t> position = std::nullopt) {
        foundation::Notification notification{name, nullptr, {}, {}};
        if (position) notification.value = *position;
        foundation::NotificationCenter::defaultCenter().post(notification);
        dispatch::MainQueue::runUntilIdle();
    }
    // What another program reads off the clipboard (this process serves it
    // from its event loop meanwhile).
    std::string readClipboard() {
        QProcess xclip;
        xclip.start(QStringLiteral("xclip"), {"-selection", "clipboard", "-o"});
        runEventsUntil([&] { return xclip.state() == QProcess::NotRunning; }, 10s);
        return xclip.readAllStandardOutput().toStdString();
    }
    bool clipboardBecomes(const std::string& text) {
        std::string got;
        bool reached = runEventsUntil([&] { return (got = readClipboard()) == text; }, 5s);
        if (!reached) ADD_FAILURE() << "the clipboard holds \"" << got.substr(0, 80) << "\", not \"" << text << "\"";
        return reached;
    }
    std::string textAt(int row) const {
        auto clipping = panel_->clippingAtRow(row);
        return clipping ? clipping->text().value_or("") : "";
    }
    int rows() const { return panel_->tableView()->model()->rowCount(); }
    std::vector<testsupport::NotificationRecorder::Call> notifies() const {
        std::vector<testsupport::NotificationRecorder::Call> out;
        for (const auto& call : recorder_->calls())
            if (call.method == "Notify") out.push_back(call);
        return out;
    }
    Lines logNotes() {
        std::lock_guard lock(logNotes_->mutex);
        return logNotes_->texts;
    }
    // The alert the panel shows, as "message | informative | buttons...".
    std::string shownAlert() const {
        desktop::Alert* alert = panel_->pasteHelperAlert();
        if (!alert || !alert->isShowing()) return "none";
        std::string text = alert->messageText() + " | " + alert->informativeText();
        for (const auto& title : alert->buttonTitles()) text += " | " + title;
        return text;
    }
    void installScript(const std::string& body) {
        const auto source = home_.root() / "helper.sh";
        std::ofstream(source) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(source, std::filesystem::perms::owner_all);
        std::filesystem::create_directories(foundation::Paths::applicationScripts());
        ASSERT_TRUE(TLPasteScript::installPasteScript(foundation::Paths::applicationScripts(), source).ok());
    }

    struct Notes {
        std::mutex mutex;
        Lines texts;
    };
    std::shared_ptr<Notes> logNotes_ = std::make_shared<Notes>();
    std::shared_ptr<testsupport::RecordingSoundPlayer> sounds_ = std::make_shared<testsupport::RecordingSoundPlayer>();
    std::unique_ptr<testsupport::NotificationRecorder> recorder_;
    std::shared_ptr<desktop::SessionNotificationCenter> center_;
    std::unique_ptr<Panel> panel_;
    double newer_ = 0;
    int saves_ = 0;
};

TEST_F(HotkeyActionsTest, NumberedPositionsTakeTheirRowsSilentlyAndTheTenthBeepsWithNine) {
    seed(9);
    start();
    ASSERT_EQ(rows(), 9);
    const int beeps = Panel::beepCount();
    post(TLCopyClippingAtIndexNotification, 0);
    runEventsFor(100ms);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_TRUE(panel_->selectedClippings().empty());

    addNewest([](Clipping& c) { c.setText("tenth"); });
    TLSettings()->setInteger(100, TLUserDefaultsClipboardSize);
    post(TLUserDefaultsClipboardSize);
    ASSERT_EQ(rows(), 10);
    const std::string tenth = textAt(9);
    post(TLCopyClippingAtIndexNotification, 0);
    EXPECT_TRUE(clipboardBecomes(tenth));
    // 1 to 9 take rows 0 to 8 (a copy moves its row to the top, so the row's
    // text is read before each post).
    for (int64_t position = 1; position <= 9; ++position) {
        SCOPED_TRACE(position);
        const std::string expected = textAt(int(position - 1));
        post(TLCopyClippingAtIndexNotification, position);
        EXPECT_TRUE(clipboardBecomes(expected));
        EXPECT_EQ(textAt(0), expected) << "moved to the top";
    }
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_TRUE(notifies().empty()) << "numbered positions are never told";
}

TEST_F(HotkeyActionsTest, CopyNextNeverGoesPastTheRowsShownOfTheCappedHistory) {
    TLSettings()->setInteger(5, TLUserDefaultsClipboardSize);
    // Listed clippings outlive the trim: the history fetches all 150 and shows 5.
    seed(150, makeList("L-kept", "Kept"));
    start();
    ASSERT_EQ(rows(), 5);
    ASSERT_GT(panel_->clippingsController().count(), 5u);
    // The numbered positions past the rows shown beep, though the fetch holds
    // clippings there; the fifth still takes the last row shown.
    const int beeps = Panel::beepCount();
    for (int64_t position : {6, 9, 0}) {
        SCOPED_TRACE(position);
        post(TLCopyClippingAtIndexNotification, position);
        runEventsFor(50ms);
        EXPECT_TRUE(panel_->selectedClippings().empty());
    }
    EXPECT_EQ(Panel::beepCount(), beeps + 3);
    const std::string fifth = textAt(4);
    post(TLCopyClippingAtIndexNotification, 5);
    EXPECT_TRUE(clipboardBecomes(fifth));
    EXPECT_EQ(Panel::beepCount(), beeps + 3);
    post(TLUserDefaultsClipboardSize);  // a new fetch: copy-next starts at the top
    // Each take is the row after the one before; past the last shown row the
    // last one again, never row 5 or beyond.
    const std::vector<int> taken = {0, 1, 2, 3, 4, 4, 4};
    for (size_t i = 0; i < taken.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string expected = textAt(taken[i]);
        post(TLHotkeyCopyNextClipping);
        EXPECT_EQ(panel_->tableView()->selectedRow(), 0) << "the taken row moved to the top, selected";
        EXPECT_EQ(panel_->nextClippingIndex(), taken[i] + 1);
        EXPECT_TRUE(clipboardBecomes(expected));
        EXPECT_EQ(rows(), 5);
    }
    // A new fetch starts again at the top.
    post(TLUserDefaultsClipboardSize);
    const std::string top = textAt(0);
    post(TLHotkeyCopyNextClipping);
    EXPECT_TRUE(clipboardBecomes(top));
    EXPECT_EQ(panel_->nextClippingIndex(), 1);
}

TEST_F(HotkeyActionsTest, CopyNextInAListBeepsAtItsEnd) {
    auto list = makeList("L-work", "Work");
    seed(2, list, "work");
    seed(3);
    start();
    panel_->selectList(list);
    ASSERT_EQ(rows(), 2);
    const int beeps = Panel::beepCount();
    post(TLHotkeyCopyNextClipping);
    EXPECT_TRUE(clipboardBecomes("work 0"));
    post(TLHotkeyCopyNextClipping);
    EXPECT_TRUE(clipboardBecomes("work 1"));
    EXPECT_EQ(Panel::beepCount(), beeps);
    post(TLHotkeyCopyNextClipping);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(panel_->tableView()->selectedRow(), 1) << "the selection stays";
    EXPECT_EQ(readClipboard(), "work 1");
}

TEST_F(HotkeyActionsTest, CopyNextPastTheEndOfASearchTakesItsLastRowInTheHistoryAndInAList) {
    auto list = makeList("L-work", "Work");
    seed(12, list, "listed");
    seed(12);
    start();
    for (bool inList : {false, true}) {
        SCOPED_TRACE(inList ? "a list" : "the history");
        if (inList) panel_->selectList(list);
        panel_->toggleSearchWithAnimation(false);
        panel_->searchField()->setText(QString::fromStdString(inList ? "listed 1" : "clip 1"));
        panel_->fetchResults();
        ASSERT_TRUE(panel_->isSearching());
        ASSERT_EQ(rows(), 3);  // "... 1", "... 10" and "... 11"
        panel_->setNextClippingIndex(3);  // the last row taken already
        const std::string last = textAt(2);
        const int beeps = Panel::beepCount();
        post(TLHotkeyCopyNextClipping);
        EXPECT_TRUE(clipboardBecomes(last));
        EXPECT_EQ(Panel::beepCount(), beeps);
        EXPECT_TRUE(panel_->isSearching());
        panel_->cancelSearchWithAnimation(false);
    }
}

// Key events that arrive together: every press counts and runs in its order,
// each in a turn of the event loop of its own, so a flood never holds it.
TEST_F(HotkeyActionsTest, PressesArrivingTogetherRunInOrderOnePerTurn) {
    seed(6);
    start();
    const std::string fifth = textAt(4);
    auto& center = foundation::NotificationCenter::defaultCenter();
    for (int i = 0; i < 5; ++i) center.post(TLHotkeyCopyNextClipping);
    EXPECT_EQ(panel_->waitingPresses(), 5u);
    EXPECT_EQ(panel_->nextClippingIndex(), -1) << "none runs inside the post";
    QCoreApplication::sendPostedEvents();  // one turn
    EXPECT_EQ(panel_->waitingPresses(), 4u);
    ASSERT_TRUE(runEventsUntil([&] { return panel_->waitingPresses() == 0; }, 5s));
    runEventsFor(50ms);
    EXPECT_EQ(panel_->nextClippingIndex(), 5);
    EXPECT_TRUE(clipboardBecomes(fifth));
}

TEST_F(HotkeyActionsTest, NextListStepsByNameBackToTavloAndCaptureKeepsTheMenuChoice) {
    auto work = makeList("L-work", "Work");
    makeList("L-archive", "Archive");
    makeList("L-home", "Home");
    seed(2, work, "work");
    seed(3);
    start();
    panel_->selectList(work);  // chosen from the title's menu: copies go there
    ASSERT_EQ(TLSettings()->stringForKey(TLUserDefaultsSelectedListID), "L-work");
    panel_->tableView()->verticalScrollBar()->setValue(panel_->tableView()->verticalScrollBar()->maximum());

    const Lines titles = {"Tavlo", "Archive", "Home", "Work", "Tavlo"};
    for (const std::string& title : titles) {
        post(TLHotkeyNextList);
        EXPECT_EQ(panel_->titleView()->title().toStdString(), title);
        EXPECT_EQ(panel_->tableView()->verticalScrollBar()->value(), 0);
        EXPECT_EQ(panel_->nextClippingIndex(), -1);
        EXPECT_EQ(TLSettings()->stringForKey(TLUserDefaultsSelectedListID), "L-work");
    }
    EXPECT_EQ(sounds_->plays(), Lines(titles.size(), "Beep"));
    EXPECT_EQ(rows(), 5);

    // Told while the window is not the active one, each replacing the one before.
    ASSERT_TRUE(runEventsUntil([&] { return notifies().size() == titles.size(); }, 5s));
    runEventsFor(200ms);
    std::vector<std::string> bodies;
    for (const auto& call : notifies()) {
        EXPECT_EQ(call.title, "List Selected");
        bodies.push_back(call.body);
    }
    EXPECT_EQ(bodies, (Lines{"Tavlo (5 clippings)", "Archive (0 clipping)", "Home (0 clipping)", "Work (2 clippings)",
                             "Tavlo (5 clippings)"}));
    size_t closes = 0;
    for (const auto& call : recorder_->calls()) closes += call.method == "CloseNotification";
    EXPECT_EQ(closes, titles.size() - 1);

    // Another program's copy still lands in the list chosen from the menu.
    ASSERT_EQ(pasteboardtest::shell("printf 'copied elsewhere' | xclip -selection clipboard -i"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return textAt(0) == "copied elsewhere"; }, 5s));
    auto copied = panel_->clippingAtRow(0);
    ASSERT_TRUE(copied->list());
    EXPECT_EQ(copied->list()->listID(), "L-work");
}

TEST_F(HotkeyActionsTest, NextListWithNoListsBeepsAndStaysAndEndsARunningSearch) {
    seed(3);
    start();
    const int beeps = Panel::beepCount();
    post(TLHotkeyNextList);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(panel_->titleView()->title(), QStringLiteral("Tavlo"));
    EXPECT_TRUE(sounds_->plays().empty());
    runEventsFor(100ms);
    EXPECT_TRUE(notifies().empty());

    makeList("L-work", "Work");
    panel_->toggleSearchWithAnimation(false);
    panel_->searchField()->setText(QStringLiteral("clip 1"));
    panel_->fetchResults();
    ASSERT_TRUE(panel_->isSearching());
    ASSERT_EQ(rows(), 1);
    post(TLHotkeyNextList);
    EXPECT_FALSE(panel_->isSearching());
    EXPECT_EQ(panel_->titleView()->title(), QStringLiteral("Work"));
    EXPECT_EQ(rows(), 0);
}

TEST_F(HotkeyActionsTest, CopyNextTellsWhatItTookSafelyAndOnlyWhileTheWindowIsNotActive) {
    start();
    const std::string big(10 << 20, 'x');
    std::string euros;  // 300 characters of three bytes each
    for (int i = 0; i < 300; ++i) euros += "\xE2\x82\xAC";
    struct Case {
        const char* name;
        std::function<void(Clipping&)> fill;
        std::string body;
        bool image;
    };
    // An image clipping whose file is there, and one whose file went.
    auto withImage = [](bool file) {
        return [file](Clipping& c) {
            c.setImage("public.png");
            if (!file) return;
            auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(c.clippingID())->filePath();
            std::filesystem::create_directories(folder);
            QImage picture(8, 8, QImage::Format_RGB32);
            picture.fill(Qt::red);
            picture.save(QString::fromStdString((folder / "0.public.png").string()));
        };
    };
    const std::vector<Case> cases = {
        {"text", [](Clipping& c) { c.setText("plain words"); }, "plain words", false},
        {"a link without text", [](Clipping& c) { c.setUrl("https://example.com/a?b=1"); }, "🔗 https://example.com/a?b=1",
         false},
        {"markup", [](Clipping& c) { c.setText("<b>x</b> & y"); }, "&lt;b&gt;x&lt;/b&gt; &amp; y", false},
        {"10 MB", [&](Clipping& c) { c.setText(big); }, std::string(256, 'x'), false},
        {"cut between characters", [&](Clipping& c) { c.setText("a" + euros + "b"); }, "a" + euros.substr(0, 255 * 3),
         false},
        {"an image", withImage(true), "Clipboard Updated", true},
        {"an image whose file went", withImage(false), "Clipboard Updated", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto clipping = addNewest(c.fill);
        post(TLUserDefaultsClipboardSize);  // a new fetch: the next take is the top row
        ASSERT_EQ(panel_->clippingAtRow(0), clipping);
        const size_t before = notifies().size();
        post(TLHotkeyCopyNextClipping);
        ASSERT_TRUE(runEventsUntil([&] { return notifies().size() == before + 1; }, 5s));
        const auto call = notifies().back();
        EXPECT_EQ(call.title, "Tavlo");
        EXPECT_EQ(call.body, c.body);
        EXPECT_EQ(call.hints.contains(QStringLiteral("image-path")), c.image);
        if (c.image) {
            auto file = clipping->URLForImageAssetAtIndex(0)->filePath();
            EXPECT_EQ(call.hints.value(QStringLiteral("image-path")).toString().toStdString(), file.string());
        }
    }
    EXPECT_TRUE(logNotes().empty());

    // With our window active nothing is told.
    panel_->show();
    panel_->activateWindow();
    ASSERT_TRUE(runEventsUntil([&] { return panel_->windowIsKey(); }, 5s));
    const size_t told = notifies().size();
    post(TLHotkeyCopyNextClipping);
    post(TLHotkeyNextList);
    runEventsFor(300ms);
    EXPECT_EQ(notifies().size(), told);
}

TEST_F(HotkeyActionsTest, WithoutAServiceOrABusALogLineTellsAndTheCopyStillHappens) {
    seed(3);
    start();
    // No service owns the name on the bus.
    recorder_.reset();
    post(TLHotkeyCopyNextClipping);
    EXPECT_TRUE(clipboardBecomes("clip 0"));
    ASSERT_TRUE(runEventsUntil([&] { return logNotes().size() == 1; }, 5s));
    EXPECT_NE(logNotes().front().find("Notification \"Tavlo: clip 0\" not shown"), std::string::npos) << logNotes().front();

    // No bus at all: a connection that never connected.
    auto unconnected = std::make_shared<desktop::SessionNotificationCenter>(QDBusConnection(QStringLiteral("no bus")));
    panel_->setUserNotificationCenter([unconnected] { return unconnected; });
    post(TLHotkeyCopyNextClipping);
    EXPECT_TRUE(clipboardBecomes("clip 1"));
    ASSERT_TRUE(runEventsUntil([&] { return logNotes().size() == 2; }, 5s));
    EXPECT_NE(logNotes().back().find("Notification \"Tavlo: clip 1\" not shown"), std::string::npos) << logNotes().back();
}

TEST_F(HotkeyActionsTest, APasteWithoutTheHelperAsksAndPastesNothingAndItsButtonInstallsTheProgramsOwn) {
    seed(3);
    start();
    foundation::Bundle::setMainBundlePath(TAVLO_BUNDLE_DIR);
    ASSERT_FALSE(Panel::pasteScriptIsInstalled());
    const std::string asked = "Paste Helper required | Download and install the Paste Helper to paste items directly "
                              "into the foreground application. | Download Paste Helper | Cancel";
    // The hotkey's action returns while the alert asks.
    post(TLHotkeyPasteNextClippingKey);
    EXPECT_EQ(shownAlert(), asked);
    EXPECT_TRUE(panel_->pasteHelperAlert()->widget()->isModal());
    EXPECT_TRUE(clipboardBecomes("clip 0")) << "the copy happens; the paste does not";
    post(TLHotkeyPasteNextClippingKey);  // asked already: nothing more
    ASSERT_TRUE(desktop::Alert::answerShown(1));
    runEventsFor(50ms);
    EXPECT_EQ(shownAlert(), "none");
    EXPECT_FALSE(Panel::pasteScriptIsInstalled());

    post(TLPasteClippingAtIndexNotification, 3);
    ASSERT_TRUE(runEventsUntil([&] { return shownAlert() != "none"; }, 5s));
    EXPECT_EQ(shownAlert(), asked);

    // The first button installs the bundle's helper and says so; still nothing is pasted.
    ASSERT_TRUE(desktop::Alert::answerShown(0));
    runEventsFor(50ms);
    EXPECT_TRUE(Panel::pasteScriptIsInstalled());
    EXPECT_EQ(shownAlert(), "Direct Paste Helper Installed | You can now paste selected items directly into the active "
                            "application. | OK");
    ASSERT_TRUE(desktop::Alert::answerShown(0));
    runEventsFor(50ms);
    EXPECT_EQ(shownAlert(), "none");
}

TEST_F(HotkeyActionsTest, PasteNextAfterABeepStillPastesWhatTheClipboardHolds) {
    auto list = makeList("L-work", "Work");
    seed(1, list, "work");
    start();
    const auto ran = home_.root() / "ran";
    installScript("echo pasted >> '" + ran.string() + "'");
    panel_->selectList(list);
    post(TLHotkeyCopyNextClipping);
    EXPECT_TRUE(clipboardBecomes("work 0"));
    const int beeps = Panel::beepCount();
    post(TLHotkeyPasteNextClippingKey);  // the list's end: a beep, and the paste all the same
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_TRUE(runEventsUntil([&] { return std::filesystem::exists(ran); }, 5s));
    EXPECT_EQ(readClipboard(), "work 0");
}

TEST_F(HotkeyActionsTest, AHeldNumberedKeyLeavesNoWorkBehindAndTheLastPositionWins) {
    auto list = makeList("L-work", "Work");
    seed(10, list, "work");
    start();
    panel_->selectList(list);  // a list keeps its order, so a position is always the same clipping
    std::atomic<bool> done = false;
    constexpr int kPosts = 250;  // 50 a second for 5 s
    std::thread key([&] {
        for (int i = 0; i < kPosts; ++i) {
            post(TLCopyClippingAtIndexNotification, 1 + (i * 7) % 9);
            std::this_thread::sleep_for(20ms);
        }
        done = true;
    });
    size_t most = 0;
    runEventsUntil(
        [&] {
            most = std::max(most, panel_->pendingHotkeyActions());
            return done.load();
        },
        20s);
    key.join();
    EXPECT_LE(most, 1u);
    const int64_t last = 1 + ((kPosts - 1) * 7) % 9;
    EXPECT_TRUE(clipboardBecomes("work " + std::to_string(last - 1)));
    EXPECT_EQ(panel_->pendingHotkeyActions(), 0u);
}

TEST_F(HotkeyActionsTest, AFailedSaveOfTheCopyDateStillWritesTheClipboard) {
    seed(3);
    start([this](store::Context&) -> foundation::Result<void> {
        ++saves_;
        return foundation::Error{"NSCocoaErrorDomain", 134030, {}};
    });
    post(TLCopyClippingAtIndexNotification, 2);
    EXPECT_TRUE(clipboardBecomes("clip 1"));
    EXPECT_TRUE(runEventsUntil([&] { return !errorsIn(TLLogContextSync).empty(); }, 2s));
    EXPECT_EQ(saves_, 1);
    EXPECT_EQ(errorsIn(TLLogContextSync).size(), 1u);
}

// As the user meets it: a terminal was active, and the numbered paste key puts
// the clipping into it.
TEST_F(HotkeyActionsTest, PasteAtIndexPutsTheRowIntoTheTerminalActiveBefore) {
    using testsupport::runCommand;
    if (runCommand({"sh", "-c", "command -v openbox && command -v xterm"}, 5s).status != 0)
        GTEST_SKIP() << "needs openbox and xterm";
    seed(4);
    start();
    auto openbox = startOpenbox();
    ASSERT_TRUE(openbox);
    const std::filesystem::path out = home_.root() / "out";
    auto xterm = startPasteTerminal(out.string());
    ASSERT_TRUE(xterm);
    ASSERT_TRUE(runEventsUntil([&] { return bool(manager_->frontApplication()->lastForeignApplication()); }, 5s));

    foundation::Bundle::setMainBundlePath(TAVLO_BUNDLE_DIR);
    std::filesystem::create_directories(foundation::Paths::applicationScripts());
    ASSERT_TRUE(TLPasteScript::installPasteScript(foundation::Paths::applicationScripts()).ok());

    const std::string text = textAt(1);
    post(TLPasteClippingAtIndexNotification, 2);
    auto written = [&] {
        std::ifstream in(out);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    EXPECT_TRUE(runEventsUntil([&] { return written() == text; }, 10s)) << written();
    runEventsFor(500ms);
    EXPECT_EQ(written(), text);
}

}  // namespace
