// The panel's keys, clicks and menus, on the offscreen platform with a
// clipboard in memory, a scripted front application and keyboard.
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <fstream>
#include <mutex>
#include <QTest>

#include "hotkeys/HKShortcut.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/LKLog.h"
#include "logging/TLLog.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/desktop/Menu.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/TypeIdentifier.h"
#include "tests/ViewController/ClippingsPanelFixture.h"
#include "tests/logging/RecordingLogger.h"
#include "tests/support/FakeFrontApplication.h"
#include "tests/support/RecordingWorkspace.h"
#include "views/TLClippingCellView.h"

namespace {

using namespace panelTest;
using desktop::MenuItem;

class ClippingsPanelKeysTest : public ClippingsPanelTest {
protected:
    void SetUp() override {
        ClippingsPanelTest::SetUp();
        desktop::Animator::setInstant(true);
        TLSettings()->setInteger(100, TLUserDefaultsClipboardSize);
        // Copied rows keep their places, so each case finds its row where it was.
        TLSettings()->setBool(true, TLUserDefaultsSortByAddDate);
        useMemoryClipboard(front_);
        panelConfiguration_.keyboardModifiers = [this] { return modifiers_; };
    }
    void TearDown() override {
        while (desktop::Alert::answerShown(1)) dispatch::MainQueue::runUntilIdle();
        if (panel_) drain();
        panel_.reset();
        panelConfiguration_ = {};
        manager_.reset();
        ClippingsPanelTest::TearDown();
        desktop::Animator::setInstant(false);
    }

    Panel& panelWithRows(int count) {
        for (int i = 0; i < count; ++i) add("row " + std::to_string(i), i);
        Panel& panel = makePanel();
        panel.setCloseWindowAction([this] { ++closes_; });
        return panel;
    }
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
        QTest::keyClick(panel_->tableView(), Qt::Key(key), modifiers);
        (void)text;
        drain();
    }
    void typeIn(const char* text) {
        QTest::keyClicks(panel_->tableView(), QString::fromLatin1(text));
        drain();
    }
    std::string clipboardText() { return general_->stringForDataType("public.utf8-plain-text").value_or(""); }
    void select(std::vector<int> rows) {
        QItemSelection selection;
        for (int row : rows) {
            auto index = panel_->tableView()->model()->index(row, 0);
            selection.select(index, index);
        }
        panel_->tableView()->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect |
                                                                     QItemSelectionModel::Rows);
    }
    std::vector<std::string> menuTitles(desktop::Menu& menu) {
        std::vector<std::string> titles;
        for (const auto& item : menu.items())
            if (!item->isSeparatorItem()) titles.push_back(item->title());
        return titles;
    }
    // One copy template, "Quoted", that uses the text.
    static void useQuotedTemplate() {
        TLSettings()->setObject(foundation::PlistValue(foundation::PlistValue::Array{
                                    foundation::PlistValue(foundation::PlistValue::Dictionary{
                                        {TLUserDefaultsTemplateName, foundation::PlistValue(std::string("Quoted"))},
                                        {TLUserDefaultsTemplateFormat,
                                         foundation::PlistValue(std::string("\"{text}\""))}})}),
                                TLUserDefaultsCopyTemplates);
    }
    std::shared_ptr<MenuItem> itemTitled(desktop::Menu& menu, const std::string& title) {
        for (const auto& item : menu.items())
            if (item->title() == title) return item;
        return nullptr;
    }

    std::shared_ptr<testsupport::FakeFrontApplication> front_ = std::make_shared<testsupport::FakeFrontApplication>();
    Qt::KeyboardModifiers modifiers_ = Qt::NoModifier;
    int closes_ = 0;
};

TEST_F(ClippingsPanelKeysTest, NumberedShortcutsCopyTheirRowAndKeypadDigitsNothing) {
    panelWithRows(30);
    struct Case {
        int key;
        Qt::KeyboardModifiers modifiers;
        int row;  // -1: nothing copied
    };
    const Case cases[] = {
        {Qt::Key_0, Qt::ControlModifier, 9},
        {Qt::Key_3, Qt::MetaModifier, 22},
        {Qt::Key_0, Qt::AltModifier, 19},
        {Qt::Key_1, Qt::ControlModifier, 0},
        {Qt::Key_5, Qt::ControlModifier | Qt::KeypadModifier, -1},
        {Qt::Key_5, Qt::KeypadModifier, -1},
    };
    for (const Case& c : cases) {
        memory_->clearContents();
        const int64_t before = general_->changeCount();
        press(c.key, c.modifiers);
        if (c.row < 0) {
            EXPECT_EQ(general_->changeCount(), before) << c.key;
            EXPECT_FALSE(panel_->isSearching());
        } else {
            EXPECT_EQ(clipboardText(), "row " + std::to_string(c.row)) << c.key;
        }
    }
    EXPECT_EQ(closes_, 0);  // without the paste setting the window stays
}

TEST_F(ClippingsPanelKeysTest, SuperAltDigitChoosesAListAndBeepsPastTheLast) {
    auto beta = makeList("beta");
    makeList("alpha");
    makeList("gamma");
    add("in beta", 1, beta);
    panelWithRows(2);
    const int beeps = Panel::beepCount();
    press(Qt::Key_4, Qt::MetaModifier | Qt::AltModifier);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(panel_->list(), nullptr);
    press(Qt::Key_2, Qt::MetaModifier | Qt::AltModifier);
    ASSERT_NE(panel_->list(), nullptr);
    EXPECT_EQ(panel_->list()->name(), "beta");
    EXPECT_EQ(shown().size(), 1u);
    press(Qt::Key_0, Qt::MetaModifier | Qt::AltModifier);
    EXPECT_EQ(panel_->list(), nullptr);
}

TEST_F(ClippingsPanelKeysTest, TypingStartsTheSearchAndTypingOnNarrowsIt) {
    add("alpha", 3);
    add("abacus", 2);
    add("beta", 1);
    makePanel();
    panel_->tableView()->setFocus();
    typeIn("a");
    ASSERT_TRUE(panel_->isSearching());
    EXPECT_EQ(panel_->searchField()->text(), "a");
    EXPECT_EQ(shown().size(), 3u);
    // Back in the table, typing goes on in the field and the results follow it.
    typeIn("b");
    EXPECT_EQ(panel_->searchField()->text(), "ab");
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(panel_->clippingAtRow(0)->text(), "abacus");
}

TEST_F(ClippingsPanelKeysTest, CtrlUpMovesTheSelectedBlockWithinTheListAndRenumbers) {
    auto list = makeList("work");
    std::vector<std::shared_ptr<Clipping>> clippings;
    for (int i = 0; i < 6; ++i) {
        auto clipping = add("item " + std::to_string(i), i, list, false);
        clipping->setIndex(i);
        clippings.push_back(clipping);
    }
    ASSERT_TRUE(context_->save().ok());
    makePanel();
    panel_->selectList(list);
    drain();
    select({2, 5});
    press(Qt::Key_Up, Qt::ControlModifier);
    std::vector<std::string> order;
    for (int row = 0; row < 6; ++row) order.push_back(panel_->clippingAtRow(row)->text().value_or(""));
    EXPECT_EQ(order, (std::vector<std::string>{"item 0", "item 2", "item 5", "item 1", "item 3", "item 4"}));
    for (int row = 0; row < 6; ++row) EXPECT_EQ(panel_->clippingAtRow(row)->index(), row);
    std::vector<int> selected;
    for (const auto& index : panel_->tableView()->selectionModel()->selectedRows()) selected.push_back(index.row());
    std::sort(selected.begin(), selected.end());
    EXPECT_EQ(selected, (std::vector<int>{1, 2}));
    // The first row up stays first and the list is still numbered.
    select({0});
    press(Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(panel_->clippingAtRow(0)->text(), "item 0");
    EXPECT_FALSE(context_->hasChanges());
}

TEST_F(ClippingsPanelKeysTest, CtrlUpInTheMainHistoryBeeps) {
    panelWithRows(3);
    select({1});
    const int beeps = Panel::beepCount();
    press(Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(panel_->clippingAtRow(1)->text(), "row 1");
}

TEST_F(ClippingsPanelKeysTest, AFailedSaveWhileMovingBeepsLogsAndReloads) {
    auto logger = std::make_shared<RecordingLogger>();
    std::vector<std::string> errors;
    std::mutex mutex;
    logger->onMessage = [&](const LKLogMessage& message) {
        std::lock_guard lock(mutex);
        if (message.flag() == LKLogFlagError && message.context() == TLLogContextGeneral)
            errors.push_back(message.message());
    };
    LKLog::addLogger(logger);
    auto list = makeList("work");
    for (int i = 0; i < 3; ++i) add("item " + std::to_string(i), i, list, false)->setIndex(i);
    ASSERT_TRUE(context_->save().ok());
    saveContext_ = [](store::Context&) -> foundation::Result<void> {
        return foundation::Error("TestDomain", 7, "the disk is full");
    };
    makePanel();
    panel_->selectList(list);
    drain();
    select({2});
    const int beeps = Panel::beepCount();
    press(Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    LKLog::flushLog();
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("the disk is full"), std::string::npos);
    }
    EXPECT_EQ(shown().size(), 3u);
    LKLog::removeLogger(logger);
}

TEST_F(ClippingsPanelKeysTest, CtrlCWithNothingSelectedWritesNothing) {
    panelWithRows(3);
    panel_->tableView()->clearSelection();
    const int64_t before = general_->changeCount();
    press(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(general_->changeCount(), before);
    select({1});
    press(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboardText(), "row 1");
}

TEST_F(ClippingsPanelKeysTest, ReturnAndClicksCarryOutTheirCodes) {
    panelWithRows(3);
    auto suite = TLSettings();
    suite->setBool(true, TLUserDefaultsCopyPasteClosesWindow);
    suite->setInteger(2, TLUserDefaultsReturnActionKey);
    select({1});
    press(Qt::Key_Return);
    EXPECT_EQ(clipboardText(), "row 1");
    EXPECT_EQ(closes_, 1);
    // Ctrl+Return reads its own code: 1 passes the key on and keeps the window.
    suite->setInteger(1, TLUserDefaultsCommandReturnActionKey);
    press(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(closes_, 1);
    // "Paste in App" on double-click needs the paste script: without one the
    // sheet shows and the window stays.
    suite->setInteger(9, TLUserDefaultsDoubleClickAction);
    panel_->tableViewRowDoubleClicked(2);
    drain();
    EXPECT_NE(panel_->missingScriptAlert(), nullptr);
    EXPECT_EQ(closes_, 1);
    // Alt-click with code 4 copies the clicked row as plain text and closes.
    suite->setInteger(4, TLUserDefaultsOptionClickActionKey);
    panel_->tableViewOptionClickedRow(0);
    drain();
    EXPECT_EQ(clipboardText(), "row 0");
    EXPECT_EQ(closes_, 2);
}

// Every code under double-click, Alt-click and Return with each of its
// modifier sets, with closing on and off, carried out on the panel by real
// clicks and keys, without the paste script. Only the setting of the input
// used holds the code; the others hold 0, so reading the wrong one shows.
TEST_F(ClippingsPanelKeysTest, EveryInputCodeAndClosingSettingCarriedOutOnThePanel) {
    testsupport::RecordingWorkspace::Scope workspace;
    auto link = add("the link row", 1, nullptr, false);
    link->setUrl("https://example.com/one");
    add("another row", 2);
    useQuotedTemplate();
    makePanel();
    panel_->setCloseWindowAction([this] { ++closes_; });
    auto suite = TLSettings();
    enum class Input { DoubleClick, AltClick, Return };
    struct InputCase {
        const char* name;
        Input input;
        Qt::KeyboardModifiers modifiers;
        const char* key;
    };
    const InputCase inputs[] = {
        {"double-click", Input::DoubleClick, Qt::NoModifier, TLUserDefaultsDoubleClickAction},
        {"Alt-click", Input::AltClick, Qt::AltModifier, TLUserDefaultsOptionClickActionKey},
        {"Return", Input::Return, Qt::NoModifier, TLUserDefaultsReturnActionKey},
        {"Super+Return", Input::Return, Qt::MetaModifier, TLUserDefaultsControlReturnActionKey},
        {"Ctrl+Return", Input::Return, Qt::ControlModifier, TLUserDefaultsCommandReturnActionKey},
        {"Alt+Return", Input::Return, Qt::AltModifier, TLUserDefaultsOptionReturnActionKey},
    };
    enum class Outcome { Nothing, Preview, Clipboard, Menu, OpenedLink, ScriptSheet };
    auto outcomeOf = [](Input input, int code) {
        if (input == Input::DoubleClick && code == 9) code = 3;  // "Paste in App"
        switch (code) {
        case 1: return input == Input::Return ? Outcome::Nothing : Outcome::Preview;
        case 2:
        case 4: return Outcome::Clipboard;
        case 3:
        case 5:
        case 7: return Outcome::ScriptSheet;
        case 6: return Outcome::Menu;
        case 8: return Outcome::OpenedLink;
        default: return Outcome::Nothing;
        }
    };
    TLClippingsTableView& table = *panel_->tableView();
    const QPoint row0 = table.visualRect(table.model()->index(0, 0)).center();
    int checked = 0;
    for (const InputCase& in : inputs)
        for (int code = 0; code <= 9; ++code)
            for (bool closing : {false, true}) {
                SCOPED_TRACE(::testing::Message() << in.name << " code " << code << " closing " << closing);
                for (const InputCase& other : inputs) suite->setInteger(0, other.key);
                suite->setInteger(code, in.key);
                suite->setBool(closing, TLUserDefaultsCopyPasteClosesWindow);
                memory_->clearContents();
                workspace->urls.clear();
                closes_ = 0;
                const auto menuBefore = panel_->poppedUpMenu();
                const int64_t changes = general_->changeCount();
                select({1});
                switch (in.input) {
                case Input::DoubleClick: QTest::mouseDClick(table.viewport(), Qt::LeftButton, {}, row0); break;
                case Input::AltClick: QTest::mouseClick(table.viewport(), Qt::LeftButton, in.modifiers, row0); break;
                case Input::Return:
                    select({0});
                    QTest::keyClick(&table, Qt::Key_Return, in.modifiers);
                    break;
                }
                drain();
                advance(0.2);  // a preview opens 0.1 s later
                drain();
                const Outcome expected = outcomeOf(in.input, code);
                EXPECT_EQ(panel_->presentedPopover() != nullptr, expected == Outcome::Preview);
                EXPECT_EQ(panel_->missingScriptAlert() != nullptr, expected == Outcome::ScriptSheet);
                if (expected == Outcome::Clipboard) {
                    EXPECT_EQ(clipboardText(), "the link row");
                } else {
                    EXPECT_EQ(general_->changeCount(), changes) << "nothing written";
                }
                EXPECT_EQ(panel_->poppedUpMenu() != menuBefore, expected == Outcome::Menu);
                EXPECT_EQ(workspace->urls,
                          expected == Outcome::OpenedLink ? std::vector<std::string>{"https://example.com/one"}
                                                          : std::vector<std::string>{});
                const int effective = in.input == Input::DoubleClick && code == 9 ? 3 : code;
                const bool closes = closing && expected != Outcome::ScriptSheet && effective != 1 &&
                                    effective != 6 && effective != 7;
                EXPECT_EQ(closes_ > 0, closes);
                // The selection the action took.
                ASSERT_EQ(panel_->selectedClippings().size(), 1u);
                EXPECT_EQ(panel_->selectedClippings()[0], link);
                // Back to rest for the next case.
                if (panel_->presentedPopover()) panel_->dismissPresentedPopover();
                while (desktop::Alert::answerShown(1)) dispatch::MainQueue::runUntilIdle();
                if (panel_->poppedUpMenu()) panel_->poppedUpMenu()->qMenu()->hide();
                drain();
                ++checked;
            }
    EXPECT_EQ(checked, 6 * 10 * 2);
}

// With Super, Ctrl and Alt held, Return's copy is followed a second later by
// the deletion of the selection; with fewer modifiers nothing is deleted.
TEST_F(ClippingsPanelKeysTest, SuperCtrlAltReturnDeletesTheSelectionASecondAfterTheCopy) {
    panelWithRows(3);
    auto suite = TLSettings();
    suite->setInteger(2, TLUserDefaultsReturnActionKey);
    suite->setInteger(2, TLUserDefaultsCommandReturnActionKey);
    select({1});
    press(Qt::Key_Return, Qt::ControlModifier);
    advance(1.5);
    drain();
    EXPECT_EQ(shown().size(), 3u);
    select({1});
    press(Qt::Key_Return, Qt::MetaModifier | Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(clipboardText(), "row 1");
    advance(0.5);
    EXPECT_EQ(shown().size(), 3u) << "not yet";
    advance(0.6);
    drain();
    ASSERT_EQ(shown().size(), 2u);
    EXPECT_EQ(panel_->clippingAtRow(0)->text(), "row 0");
    EXPECT_EQ(panel_->clippingAtRow(1)->text(), "row 2");
}

// Ctrl+Shift+S offers the sharing services at the selected row; a selection
// with nothing to share (here an image whose file is gone) beeps instead.
TEST_F(ClippingsPanelKeysTest, CtrlShiftSSharesAtTheRowOrBeepsWithNothingToShare) {
    add("words to share", 2);
    addImage("png", 1);
    makePanel();
    ASSERT_EQ(shown().size(), 2u);
    select({1});
    ASSERT_EQ(panel_->selectedClippings().size(), 1u);
    const int beeps = Panel::beepCount();
    press(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_NE(panel_->sharingMenu(), nullptr);
    EXPECT_GT(panel_->sharingMenu()->numberOfItems(), 0);
    EXPECT_TRUE(panel_->sharingMenu()->qMenu()->isVisible());
    EXPECT_EQ(Panel::beepCount(), beeps);
    panel_->sharingMenu()->qMenu()->hide();
    select({0});
    press(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
}

// As X11 reports a modifier key: its event carries the state from before it,
// and the keyboard's state read at that moment is as late.
TEST_F(ClippingsPanelKeysTest, AModifierKeysOwnEventSaysWhatIsHeldAfterIt) {
    panelConfiguration_.keyboardModifiers = nullptr;
    panelWithRows(3);
    auto send = [&](QEvent::Type type, int key, Qt::KeyboardModifiers before) {
        QKeyEvent event(type, key, before);
        QApplication::sendEvent(panel_->tableView(), &event);
        return panel_->flags();
    };
    EXPECT_EQ(send(QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier), 0x100000u);
    auto* cell = panel_->tableView()->viewAtRow(0, false);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->flags(), 0x100000u);
    EXPECT_EQ(send(QEvent::KeyRelease, Qt::Key_Control, Qt::ControlModifier), 0u);
    EXPECT_EQ(cell->flags(), 0u);
    EXPECT_EQ(send(QEvent::KeyPress, Qt::Key_Alt, Qt::NoModifier), 0x80000u);
    EXPECT_EQ(send(QEvent::KeyPress, Qt::Key_Shift, Qt::AltModifier), 0u) << "two modifiers show nothing";
    EXPECT_EQ(send(QEvent::KeyRelease, Qt::Key_Shift, Qt::AltModifier | Qt::ShiftModifier), 0x80000u);
    EXPECT_EQ(send(QEvent::KeyRelease, Qt::Key_Alt, Qt::AltModifier), 0u);
    EXPECT_EQ(send(QEvent::KeyPress, Qt::Key_Super_L, Qt::NoModifier), 0x40000u);
    EXPECT_EQ(send(QEvent::KeyRelease, Qt::Key_Super_L, Qt::MetaModifier), 0u);
}

TEST_F(ClippingsPanelKeysTest, HeldModifierShowsOnTheRowsUntilReleased) {
    panelWithRows(3);
    modifiers_ = Qt::ControlModifier;
    QTest::keyPress(panel_->tableView(), Qt::Key_Control, Qt::ControlModifier);
    EXPECT_EQ(panel_->flags(), 0x100000u);
    auto* cell = panel_->tableView()->viewAtRow(0, false);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->flags(), 0x100000u);
    modifiers_ = Qt::ControlModifier | Qt::ShiftModifier;
    QTest::keyPress(panel_->tableView(), Qt::Key_Shift, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(panel_->flags(), 0u);
    modifiers_ = Qt::MetaModifier;
    QTest::keyRelease(panel_->tableView(), Qt::Key_Shift, Qt::MetaModifier);
    EXPECT_EQ(panel_->flags(), 0x40000u);
    modifiers_ = Qt::NoModifier;
    QTest::keyRelease(panel_->tableView(), Qt::Key_Meta, Qt::NoModifier);
    EXPECT_EQ(panel_->flags(), 0u);
    EXPECT_EQ(cell->flags(), 0u);
}

// --- Menus

TEST_F(ClippingsPanelKeysTest, ContextMenuFollowsTheSelectionAndTheRememberedApplication) {
    auto web = add("see the page", 1, nullptr, false);
    web->setUrlSource("https://example.com/page");
    auto image = addImage("png", 2);
    add("first text", 3);
    add("second text", 4);
    useQuotedTemplate();
    makePanel();
    auto& menu = *panel_->contextMenu();
    struct Case {
        std::vector<int> rows;
        std::optional<desktop::AppIdentity> remembered;
        std::vector<std::string> titles;
        bool previewEnabled;
    };
    const desktop::AppIdentity xterm{"xterm", "XTerm", 7};
    // Rows: 0 a text with its source page, 1 an image, 2 and 3 texts.
    const std::vector<Case> cases = {
        {{2}, xterm, {"Copy", "Copy As ...", "Paste in XTerm", "Preview", "Share", "Add to List", "Delete"}, true},
        {{2}, std::nullopt, {"Copy", "Copy As ...", "Preview", "Share", "Add to List", "Delete"}, true},
        {{0},
         xterm,
         {"Copy", "Copy As ...", "Paste in XTerm", "Open in Browser", "Preview", "Share", "Add to List", "Delete"},
         true},
        // The link row stays from before: only one clipping takes or drops it.
        {{2, 3},
         xterm,
         {"Copy", "Paste in XTerm", "Open in Browser", "Merge Clippings", "Preview", "Share", "Add to List", "Delete"},
         false},
        {{1, 2}, xterm, {"Copy", "Paste in XTerm", "Open in Browser", "Preview", "Share", "Add to List", "Delete"}, false},
    };
    for (const Case& c : cases) {
        front_->setLastForeign(c.remembered);
        select(c.rows);
        panel_->menuWillOpen(menu);
        EXPECT_EQ(menuTitles(menu), c.titles) << c.rows.size();
        EXPECT_EQ(itemTitled(menu, "Preview")->isEnabled(), c.previewEnabled);
        // No lists: nothing to add to.
        EXPECT_FALSE(itemTitled(menu, "Add to List")->isEnabled());
    }
    (void)web;
    (void)image;
}

TEST_F(ClippingsPanelKeysTest, AppMenuStatesFollowSettingsCaptureAndClipboard) {
    panelWithRows(1);
    Panel::ClipboardState clipboard{true, 0};
    panel_->setClipboardStateForMenus([&] { return clipboard; });
    auto& menu = *panel_->appMenu();
    auto item = [&](const char* title) { return itemTitled(menu, title); };
    struct Case {
        Panel::ClipboardState clipboard;
        bool paused, plain, floating;
        bool saveEnabled, clearEnabled;
    };
    const Case cases[] = {
        {{true, 0}, false, false, false, false, false},
        {{false, 0}, true, true, true, false, false},
        {{false, 2}, false, false, true, true, true},
        {{true, 1}, true, true, false, false, true},
    };
    for (const Case& c : cases) {
        clipboard = c.clipboard;
        if (c.paused) manager_->pause();
        else manager_->resume();
        TLSettings()->setBool(c.plain, TLUserDefaultsPlainTextMode);
        TLSettings()->setBool(c.floating, TLUserDefaultsFloatWindow);
        panel_->menuWillOpen(menu);
        EXPECT_EQ(item("Save Current Clipboard")->isEnabled(), c.saveEnabled);
        EXPECT_EQ(item("Clear Clipboard")->isEnabled(), c.clearEnabled);
        EXPECT_EQ(item("Save Clipboard Automatically")->state() == MenuItem::State::On, !c.paused);
        EXPECT_EQ(item("Plain Text Mode")->state() == MenuItem::State::On, c.plain);
        EXPECT_EQ(item("Float Window")->state() == MenuItem::State::On, c.floating);
    }
    // The tray icon off: attaching is off, disabled, and its action beeps.
    TLSettings()->setBool(false, TLUserDefaultsShowsMenuBarIcon);
    panel_->menuWillOpen(menu);
    EXPECT_FALSE(item("Attach to Tray Icon")->isEnabled());
    EXPECT_EQ(item("Attach to Tray Icon")->state(), MenuItem::State::Off);
    const int beeps = Panel::beepCount();
    panel_->toggleAttachToMenuBar();
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    TLSettings()->setBool(true, TLUserDefaultsShowsMenuBarIcon);
    TLSettings()->setBool(false, TLUserDefaultsWindowIsDetached);
    panel_->menuWillOpen(menu);
    EXPECT_TRUE(item("Attach to Tray Icon")->isEnabled());
    EXPECT_EQ(item("Attach to Tray Icon")->state(), MenuItem::State::On);
}

// The items the global hotkeys also reach show the user's stored keys, or
// keep their own without one; Save saves the clipboard once and beeps after.
TEST_F(ClippingsPanelKeysTest, AppMenuShowsTheStoredHotkeysAndSaveBeepsOnceSaved) {
    panelWithRows(1);
    auto& menu = *panel_->appMenu();
    auto defaults = foundation::UserDefaults::standard();
    auto archived = [](uint64_t keyCode, uint64_t flags) {
        return foundation::PlistValue(*foundation::KeyedArchiver::archivedData(HKShortcut(keyCode, flags)));
    };
    panel_->menuWillOpen(menu);
    EXPECT_EQ(itemTitled(menu, "Save Current Clipboard")->keyEquivalentLabel(), "") << "none stored, none of ours";
    EXPECT_EQ(itemTitled(menu, "New Text Clipping")->keyEquivalentLabel(), "Ctrl+N");
    struct Case {
        const char* hotkey;
        const char* item;
        uint64_t keyCode, flags;
        const char* label;
    };
    const Case cases[] = {
        {TLHotkeySaveClipboard, "Save Current Clipboard", 1, 0x60000, "Super+Shift+S"},
        {TLHotkeyToggleClipboardRecorder, "Save Clipboard Automatically", 8, 0x1C0000, "Super+Ctrl+Alt+C"},
        {TLHotkeyClearClipboardKey, "Clear Clipboard", 8, 0x60000, "Super+Shift+C"},
        {TLHotkeyTogglePlainText, "Plain Text Mode", 35, 0x180000, "Ctrl+Alt+P"},
    };
    for (const Case& c : cases) defaults->setObject(archived(c.keyCode, c.flags), c.hotkey);
    panel_->menuWillOpen(menu);
    for (const Case& c : cases) EXPECT_EQ(itemTitled(menu, c.item)->keyEquivalentLabel(), c.label) << c.item;
    for (const Case& c : cases) defaults->removeObjectForKey(c.hotkey);

    // Another program's text: Save makes it a clipping; a second Save beeps.
    memory_->externalWrite({desktop::PasteboardItem(
        {{foundation::kUTTypeUTF8PlainText, foundation::Data::fromString("from another program")}})});
    panel_->menuWillOpen(menu);
    EXPECT_TRUE(itemTitled(menu, "Save Current Clipboard")->isEnabled());
    const int beeps = Panel::beepCount();
    panel_->saveClipboard();
    drain();
    EXPECT_EQ(Panel::beepCount(), beeps);
    ASSERT_EQ(shown().size(), 2u);
    EXPECT_EQ(panel_->clippingAtRow(0)->text(), "from another program");
    panel_->menuWillOpen(menu);
    EXPECT_FALSE(itemTitled(menu, "Save Current Clipboard")->isEnabled());
    panel_->saveClipboard();
    drain();
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(shown().size(), 2u);
}

// Every row of the application menu, chosen as a user chooses it, with a
// bundle that names every link address and carries its help page.
TEST_F(ClippingsPanelKeysTest, AppMenuRowsCarryOutTheirActions) {
    fs::path bundle = home_.dataHome() / "Links.app";
    fs::create_directories(bundle / "Contents/Resources");
    std::ofstream(bundle / "Contents/Resources/README.md") << "# Help\n";
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>TLSupportEmail</key><string>help@example.com</string>"
           "<key>TLAppStoreURL</key><string>https://store.example/tavlo</string>"
           "<key>TLMobileAppStoreURL</key><string>https://store.example/tavlo-mobile</string>"
           "<key>TLWebsiteURL</key><string>https://tavlo.example/</string>"
           "<key>TLWebsiteName</key><string>tavlo.example</string>"
           "<key>TLSocialPageURL</key><string>https://social.example/tavlo</string>"
           "<key>TLSocialPageName</key><string>Social</string></dict></plist>\n";
    foundation::Bundle::setMainBundlePath(bundle);
    testsupport::RecordingWorkspace::Scope workspace;
    panelWithRows(1);
    std::vector<std::string> posted;
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::vector<foundation::NotificationCenter::Token> tokens;
    for (const char* name :
         {TLHotkeyToggleClipboardRecorder, TLShowPreferencesWindow, TLShowAboutWindow, TLDetachWindowNotification})
        tokens.push_back(center.addObserver(name, nullptr, [&posted, name](const foundation::Notification&) {
            posted.push_back(name);
        }));
    auto& menu = *panel_->appMenu();
    auto choose = [&](const std::string& title) {
        auto item = itemTitled(menu, title);
        if (!item) item = itemTitled(*itemTitled(menu, "Help")->submenu(), title);
        EXPECT_NE(item, nullptr) << title;
        panel_->menuWillOpen(menu);
        if (item) item->performAction();
        drain();
    };
    struct Case {
        const char* title;
        std::vector<std::string> notices;
        std::vector<std::string> urls;
    };
    const Case cases[] = {
        {"Save Clipboard Automatically", {TLHotkeyToggleClipboardRecorder}, {}},
        {"Attach to Tray Icon", {TLDetachWindowNotification}, {}},
        {"Preferences...", {TLShowPreferencesWindow}, {}},
        {"About Tavlo", {TLShowAboutWindow}, {}},
        {"Contact Support", {}, {"mailto:help@example.com?Subject=&body="}},
        {"Rate Tavlo", {}, {"https://store.example/tavlo"}},
        {"Get Tavlo for iOS", {}, {"https://store.example/tavlo-mobile"}},
        {"Visit tavlo.example", {}, {"https://tavlo.example/"}},
        {"Follow Tavlo on Social", {}, {"https://social.example/tavlo"}},
        {"Sync Now", {}, {}},  // sync off: nothing happens
    };
    TLSettings()->setBool(true, TLUserDefaultsShowsMenuBarIcon);
    for (const Case& c : cases) {
        posted.clear();
        workspace->urls.clear();
        choose(c.title);
        EXPECT_EQ(posted, c.notices) << c.title;
        EXPECT_EQ(workspace->urls, c.urls) << c.title;
    }
    choose("Help/FAQ");
    EXPECT_EQ(workspace->files, (std::vector<fs::path>{bundle / "Contents/Resources/README.md"}));

    // The toggles turn their setting and their row's check mark.
    for (bool expected : {true, false}) {
        choose("Plain Text Mode");
        EXPECT_EQ(TLSettings()->boolForKey(TLUserDefaultsPlainTextMode), expected);
        EXPECT_EQ(itemTitled(menu, "Plain Text Mode")->state() == MenuItem::State::On, expected);
        choose("Float Window");
        EXPECT_EQ(TLSettings()->boolForKey(TLUserDefaultsFloatWindow), expected);
        panel_->menuWillOpen(menu);
        EXPECT_EQ(itemTitled(menu, "Float Window")->state() == MenuItem::State::On, expected);
    }

    // Clearing empties the clipboard and remembers the emptied one as ours.
    memory_->externalWrite({desktop::PasteboardItem(
        {{foundation::kUTTypeUTF8PlainText, foundation::Data::fromString("from another program")}})});
    choose("Clear Clipboard");
    EXPECT_EQ(memory_->items().size(), 0u);
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), general_->changeCount());
    const foundation::PlistValue stored = TLSettings()->objectForKey(TLUserDefaultsPasteboardClippingIDs);
    const auto* ids = stored.asArray();
    ASSERT_NE(ids, nullptr);
    EXPECT_TRUE(ids->empty());
    panel_->menuWillOpen(menu);
    EXPECT_FALSE(itemTitled(menu, "Clear Clipboard")->isEnabled());

    choose("New Text Clipping");
    EXPECT_NE(panel_->mergeWindowController(), nullptr);

    for (auto token : tokens) center.removeObserver(token);
    foundation::Bundle::setMainBundlePath({});
}

TEST_F(ClippingsPanelKeysTest, SupportRowNeedsAnAddressAndMailsItExactly) {
    panelWithRows(1);
    // The shipped Info.plist names no support address.
    auto help = itemTitled(*panel_->appMenu(), "Help");
    if (help) {
        EXPECT_EQ(itemTitled(*help->submenu(), "Contact Support"), nullptr);
    }
    EXPECT_EQ(Panel::supportMailto(), "");
    // A bundle of the test's own with one.
    fs::path bundle = home_.dataHome() / "Fixture.app";
    fs::create_directories(bundle / "Contents/Resources");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>TLSupportEmail</key><string>help desk@example.com</string></dict></plist>\n";
    foundation::Bundle::setMainBundlePath(bundle);
    testsupport::RecordingWorkspace::Scope workspace;
    panel_.reset();
    makePanel();
    auto withAddress = itemTitled(*panel_->appMenu(), "Help");
    ASSERT_NE(withAddress, nullptr);
    auto support = itemTitled(*withAddress->submenu(), "Contact Support");
    ASSERT_NE(support, nullptr);
    support->performAction();
    foundation::Bundle::setMainBundlePath({});
    EXPECT_EQ(workspace->urls, (std::vector<std::string>{"mailto:help%20desk@example.com?Subject=&body="}));
}

}  // namespace
