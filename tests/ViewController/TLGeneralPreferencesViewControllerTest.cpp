// The General pane over a store in a temporary home: start at login through
// the autostart entry, the warning before a lower history limit deletes
// clippings, the controls' keys, the paste-script gate and the installation
// of the script through the folder chooser.
#include "tests/kit/CaptureFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QWidget>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "ViewController/TLGeneralPreferencesViewController.h"
#include "kit/TLPasteScript.h"
#include "platform/cloud/MemoryKeyValueStore.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/OpenPanel.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"

namespace {

namespace fs = std::filesystem;
using Pane = TLGeneralPreferencesViewController;
using desktop::Alert;
using desktop::OpenPanel;
using Store = cloud::UbiquitousKeyValueStore;

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeInfo(const fs::path& bundle, const std::string& identifier, const std::string& executable) {
    fs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << identifier << "</string>"
        << "<key>CFBundleName</key><string>Tavlo</string>"
        << "<key>CFBundleExecutable</key><string>" << executable << "</string></dict></plist>\n";
}

// Runs the main queue until the work it queues has run too: blocks queued
// while Qt delivers the queue's events wait for the next delivery.
void settle() {
    for (int i = 0; i < 8; ++i) dispatch::MainQueue::runUntilIdle();
}

// The alert showing as a sheet on window: its message and informative text.
std::string sheetText(const QWidget* window) {
    Alert* alert = Alert::attachedSheet(window);
    return alert ? alert->messageText() + " | " + alert->informativeText() : "(none)";
}

class TLGeneralPreferencesViewControllerTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        dispatch::Clock::useVirtualTime(1000);
        CaptureFixture::SetUp();
        Store::setDefaultStore(store_);
    }
    void TearDown() override {
        OpenPanel::setDriver(nullptr);
        pane_ = nullptr;
        window_.reset();
        settle();
        Store::setDefaultStore(nullptr);
        foundation::Bundle::setMainBundlePath({});
        CaptureFixture::TearDown();
        dispatch::Clock::useRealTime();
    }

    Pane& makePane(Pane::Environment environment = {}) {
        environment.context = context_;
        window_ = std::make_unique<QWidget>();
        pane_ = new Pane(std::move(environment), window_.get());
        window_->show();
        return *pane_;
    }
    // Chooses item index of a pop-up as a person would.
    static void choose(QComboBox* button, int index) {
        button->setCurrentIndex(index);
        emit button->activated(index);
    }
    // Clippings, the newest first, a second apart; the last `listed` of them in a list.
    void addClippings(int count, int listed) {
        auto list = makeList("L-1", "Work");
        for (int i = 0; i < count; ++i) {
            auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
            clipping->setClippingID(Clipping::makeClippingID());
            clipping->setText("clipping " + std::to_string(i));
            clipping->setTavloDate(foundation::Date(1.7e9 - i));
            clipping->setAddDate(foundation::Date(1.7e9 - i));
            clipping->setModifiedDate(foundation::Date(1.7e9 - i));
            if (i >= count - listed) clipping->setList(list);
        }
        ASSERT_TRUE(context_->save().ok());
    }
    int64_t limitIndex(int64_t limit) const {
        return pane_->historyItemsButton()->findData(QVariant::fromValue<qlonglong>(limit));
    }
    fs::path script() const { return foundation::Paths::applicationScripts() / "Paste.scpt"; }
    void makeScript() {
        fs::create_directories(script().parent_path());
        std::ofstream(script()) << "#!/bin/sh\n";
    }

    std::shared_ptr<cloud::MemoryKeyValueStore> store_ = std::make_shared<cloud::MemoryKeyValueStore>();
    std::unique_ptr<QWidget> window_;
    Pane* pane_ = nullptr;
};

TEST_F(TLGeneralPreferencesViewControllerTest, StartAtLoginWritesTheEntryOnlyWhenTheLoginItemChanges) {
    fs::path app = home_.root() / "Tavlo.app";
    writeInfo(app, "com.tavlo.Tavlo", "Tavlo");
    fs::path launcher = app / "Contents/Library/LoginItems/TavloLauncher.app";
    writeInfo(launcher, TLLauncherBundleIdentifier, "TavloLauncher");
    std::ofstream(launcher / "Contents/MacOS/TavloLauncher") << "#!/bin/sh\n";
    ::chmod((launcher / "Contents/MacOS/TavloLauncher").c_str(), 0755);
    foundation::Bundle::setMainBundlePath(app);
    fs::path entry = home_.configHome() / "autostart" / "com.tavlo.TavloLauncher.desktop";
    Pane& pane = makePane();
    EXPECT_FALSE(pane.startAtLoginButton()->isChecked());

    pane.startAtLoginButton()->click();
    EXPECT_TRUE(fs::exists(entry));
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsStartAtLogin));
    EXPECT_EQ(logged("Start At Login Enabled"), 1u);
    pane.startAtLoginButton()->click();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(TLSettings()->boolForKey(TLUserDefaultsStartAtLogin));
    EXPECT_EQ(logged("Don't Start At Login"), 1u);

    // A file where the folder belongs: the entry cannot be written, even as root.
    fs::remove_all(home_.configHome() / "autostart");
    std::ofstream(home_.configHome() / "autostart") << "not a folder";
    TLSettings()->removeObjectForKey(TLUserDefaultsStartAtLogin);
    pane.startAtLoginButton()->click();
    EXPECT_FALSE(pane.startAtLoginButton()->isChecked());
    EXPECT_TRUE(TLSettings()->objectForKey(TLUserDefaultsStartAtLogin).isNull()) << "nothing is stored";
    EXPECT_EQ(logged("Start At Login Enabled"), 1u);
}

TEST_F(TLGeneralPreferencesViewControllerTest, AFailedDisableLeavesTheCheckboxOnAndTheSettingAsItWas) {
    std::vector<bool> calls;
    Pane::Environment environment;
    environment.setLoginItemEnabled = [&](const std::string& identifier, bool on) -> foundation::Result<void> {
        EXPECT_EQ(identifier, TLLauncherBundleIdentifier);
        calls.push_back(on);
        if (!on) return foundation::Error("NSPOSIXErrorDomain", 5, "Input/output error");
        return {};
    };
    TLSettings()->setBool(true, TLUserDefaultsStartAtLogin);
    Pane& pane = makePane(std::move(environment));
    ASSERT_TRUE(pane.startAtLoginButton()->isChecked());
    pane.startAtLoginButton()->click();
    EXPECT_EQ(calls, std::vector<bool>{false});
    EXPECT_TRUE(pane.startAtLoginButton()->isChecked()) << "the program still starts at login";
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsStartAtLogin));
    EXPECT_EQ(logged("Don't Start At Login"), 0u);
}

TEST_F(TLGeneralPreferencesViewControllerTest, LoweringTheLimitWarnsHalfASecondLaterWithTheClippingsOutsideLists) {
    start();
    TLSettings()->setInteger(100, TLUserDefaultsClipboardSize);
    addClippings(80, 20);
    size_t posted = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        TLUserDefaultsClipboardSize, nullptr, [&](const foundation::Notification&) { ++posted; });
    Pane& pane = makePane();
    ASSERT_EQ(pane.historyItemsButton()->currentIndex(), limitIndex(100));

    choose(pane.historyItemsButton(), int(limitIndex(50)));
    EXPECT_EQ(logged("Tavlo history is 30 over the limit"), 1u);
    dispatch::Clock::advance(0.4);
    settle();
    EXPECT_EQ(sheetText(window_.get()), "(none)");
    dispatch::Clock::advance(0.1);
    settle();
    EXPECT_EQ(sheetText(window_.get()), "Warning | 10 clippings will be deleted");
    EXPECT_EQ(Alert::attachedSheet(window_.get())->buttonTitles(), (std::vector<std::string>{"Delete", "Cancel"}));

    ASSERT_TRUE(Alert::answerShown(1));  // Cancel
    EXPECT_EQ(pane.historyItemsButton()->currentIndex(), limitIndex(100));
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsClipboardSize), 100);
    EXPECT_EQ(posted, 0u);

    choose(pane.historyItemsButton(), int(limitIndex(50)));
    dispatch::Clock::advance(0.5);
    settle();
    ASSERT_TRUE(Alert::answerShown(0));  // Delete
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsClipboardSize), 50);
    EXPECT_EQ(posted, 1u);
    EXPECT_TRUE(runUntil([&] { return savedClippings().size() == 70; })) << savedClippings().size();
    foundation::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(TLGeneralPreferencesViewControllerTest, OneClippingHasNoPluralAndNonePastTheLimitOrARaiseAppliesAtOnce) {
    TLSettings()->setInteger(100, TLUserDefaultsClipboardSize);
    TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
    addClippings(60, 9);
    Pane& pane = makePane();
    choose(pane.historyItemsButton(), int(limitIndex(50)));
    dispatch::Clock::advance(0.5);
    settle();
    EXPECT_EQ(sheetText(window_.get()), "Warning | 1 clipping will be deleted");
    ASSERT_TRUE(Alert::answerShown(1));

    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsClipboardSize), 100);

    // With that one in a list too, nothing would go: applied without asking.
    auto lists = context_->fetch(store::FetchRequest(List::kEntityName));
    ASSERT_TRUE(lists && lists.value().size() == 1);
    store::FetchRequest oldest(Clipping::kEntityName);
    oldest.sortDescriptors = {{"tavloDate", false}};
    oldest.fetchOffset = 50;
    oldest.fetchLimit = 1;
    auto found = context_->fetch(oldest);
    ASSERT_TRUE(found && found.value().size() == 1);
    std::static_pointer_cast<Clipping>(found.value().front())
        ->setList(std::static_pointer_cast<List>(lists.value().front()));
    ASSERT_TRUE(context_->save().ok());
    choose(pane.historyItemsButton(), int(limitIndex(50)));
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsClipboardSize), 50);
    dispatch::Clock::advance(0.5);
    settle();
    EXPECT_EQ(sheetText(window_.get()), "(none)");

    // A raise: stored at once, and shared while sync is on.
    choose(pane.historyItemsButton(), int(limitIndex(500)));
    settle();
    EXPECT_EQ(sheetText(window_.get()), "(none)");
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsClipboardSize), 500);
    EXPECT_EQ(store_->objectForKey(TLUserDefaultsClipboardSize).integerValue(), 500);
}

// The count the warning gives, where the dates leave the newest clippings in
// no plain order: one date shared across the limit, clippings without a date
// (the oldest), and clippings not saved yet.
TEST_F(TLGeneralPreferencesViewControllerTest, TheCountPastTheLimitHoldsForSharedMissingAndUnsavedDates) {
    struct Row {
        std::optional<double> date;
        bool listed;
    };
    const struct {
        const char* name;
        std::vector<Row> rows;
        int64_t limit;
        bool saved;
        int64_t over, outsideLists;
    } cases[] = {
        {"one date each", {{9, false}, {8, true}, {7, false}, {6, true}, {5, false}}, 2, true, 3, 2},
        {"none past the limit", {{9, false}, {8, false}}, 2, true, 0, 0},
        {"the limit's date shared", {{9, false}, {5, false}, {5, false}, {5, false}, {5, false}, {4, true}}, 2, true, 4, 3},
        {"shared by listed ones", {{9, false}, {5, true}, {5, true}, {5, true}, {1, false}}, 2, true, 3, 1},
        {"no dates past the limit", {{9, false}, {8, false}, {std::nullopt, false}, {std::nullopt, true}}, 2, true, 2, 1},
        {"not saved yet", {{9, false}, {8, true}, {7, false}, {6, false}}, 1, false, 3, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto earlier = context_->fetch(store::FetchRequest(Clipping::kEntityName));
        ASSERT_TRUE(earlier);
        for (const auto& clipping : earlier.value()) context_->deleteObject(clipping);
        ASSERT_TRUE(context_->save().ok());
        auto list = makeList(std::string("L-") + c.name, "Work");
        for (const Row& row : c.rows) {
            auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
            clipping->setClippingID(Clipping::makeClippingID());
            clipping->setText("clipping");
            if (row.date) clipping->setTavloDate(foundation::Date(1.7e9 + *row.date));
            if (row.listed) clipping->setList(list);
        }
        if (c.saved) {
            ASSERT_TRUE(context_->save().ok());
        }
        const size_t before = logged("Tavlo history is " + std::to_string(c.over) + " over the limit");
        EXPECT_EQ(Pane::clippingsPastLimit(*context_, c.limit), c.outsideLists);
        EXPECT_EQ(logged("Tavlo history is " + std::to_string(c.over) + " over the limit"), before + 1);
        ASSERT_TRUE(context_->save().ok());
    }
}

TEST_F(TLGeneralPreferencesViewControllerTest, TheControlsShowTheirKeysAndWriteThem) {
    auto s = TLSettings();
    s->setInteger(200, TLUserDefaultsClipboardSize);
    s->setBool(true, TLUserDefaultsSortByAddDate);
    s->setBool(true, TLUserDefaultsReverseSort);
    s->setBool(true, TLUserDefaultsHideListItems);
    s->setInteger(2, TLUserDefaultsDragAction);
    s->setInteger(1, TLUserDefaultsDoubleClickAction);
    s->setInteger(6, TLUserDefaultsOptionReturnActionKey);
    s->setInteger(8, TLUserDefaultsCommandReturnActionKey);
    s->setBool(true, TLUserDefaultsCopyPasteClosesWindow);
    Pane& pane = makePane();
    EXPECT_EQ(pane.historyItemsButton()->currentData().toLongLong(), 200);
    EXPECT_EQ(pane.historySortButton()->currentIndex(), 2);
    EXPECT_TRUE(pane.showListClippingsButton()->isChecked());
    EXPECT_FALSE(pane.allowDupeButton()->isChecked());
    EXPECT_EQ(pane.dragAndDropButton()->currentIndex(), 2);
    EXPECT_EQ(pane.doubleClickButton()->currentIndex(), 1);
    EXPECT_EQ(pane.optReturnButton()->currentIndex(), 6);
    EXPECT_EQ(pane.cmdReturnButton()->currentIndex(), 8);
    EXPECT_EQ(pane.returnKeyButton()->currentIndex(), 0);
    EXPECT_TRUE(pane.closeWindowButton()->isChecked());

    struct Sort {
        int index;
        bool byAdd, reverse;
    };
    for (Sort row : {Sort{0, false, false}, Sort{1, true, false}, Sort{2, true, true}}) {
        choose(pane.historySortButton(), row.index);
        EXPECT_EQ(s->boolForKey(TLUserDefaultsSortByAddDate), row.byAdd) << row.index;
        EXPECT_EQ(s->boolForKey(TLUserDefaultsReverseSort), row.reverse) << row.index;
    }
    pane.allowDupeButton()->click();
    pane.showListClippingsButton()->click();
    pane.closeWindowButton()->click();
    choose(pane.dragAndDropButton(), 1);
    choose(pane.optionClickButton(), 4);
    EXPECT_TRUE(s->boolForKey(TLUserDefaultsAllowDupes));
    EXPECT_FALSE(s->boolForKey(TLUserDefaultsHideListItems));
    EXPECT_FALSE(s->boolForKey(TLUserDefaultsCopyPasteClosesWindow));
    EXPECT_EQ(s->integerForKey(TLUserDefaultsDragAction), 1);
    EXPECT_EQ(s->integerForKey(TLUserDefaultsOptionClickActionKey), 4);

    // Shown again, the pane reads what another writer stored.
    s->setInteger(5, TLUserDefaultsControlReturnActionKey);
    pane.hide();
    pane.show();
    EXPECT_EQ(pane.ctrlReturnButton()->currentIndex(), 5);
}

TEST_F(TLGeneralPreferencesViewControllerTest, PasteActionsNeedTheScriptAndOtherActionsNever) {
    auto s = TLSettings();
    s->setInteger(2, TLUserDefaultsReturnActionKey);
    Pane& pane = makePane();
    struct Case {
        QComboBox* button;
        const char* key;
    };
    for (Case c : {Case{pane.returnKeyButton(), TLUserDefaultsReturnActionKey},
                   Case{pane.doubleClickButton(), TLUserDefaultsDoubleClickAction},
                   Case{pane.ctrlReturnButton(), TLUserDefaultsControlReturnActionKey}}) {
        int64_t before = s->integerForKey(c.key);
        for (int code : {3, 5, 7}) {
            choose(c.button, code);
            EXPECT_EQ(c.button->currentIndex(), before) << c.key << " " << code;
            EXPECT_EQ(s->integerForKey(c.key), before);
            EXPECT_EQ(sheetText(window_.get()),
                      "Paste Helper required | Download and install the Paste Helper to paste items directly into the "
                      "foreground application.");
        }
        for (int code : {0, 1, 2, 4, 6, 8}) {
            choose(c.button, code);
            EXPECT_EQ(s->integerForKey(c.key), code) << c.key;
        }
        choose(c.button, int(before));
    }
    pane.pasteNumberedShortcuts()->click();
    EXPECT_FALSE(pane.pasteNumberedShortcuts()->isChecked());
    EXPECT_TRUE(s->objectForKey(TLUserDefaultsPasteNumberedShortcuts).isNull());

    makeScript();
    choose(pane.returnKeyButton(), 3);
    EXPECT_EQ(s->integerForKey(TLUserDefaultsReturnActionKey), 3);
    pane.pasteNumberedShortcuts()->click();
    EXPECT_TRUE(s->boolForKey(TLUserDefaultsPasteNumberedShortcuts));
    pane.pasteNumberedShortcuts()->click();
    EXPECT_FALSE(s->boolForKey(TLUserDefaultsPasteNumberedShortcuts));
}

class InstallScriptTest : public TLGeneralPreferencesViewControllerTest {
protected:
    // The pane with an installer that answers from results in turn and records its folders.
    Pane& makeInstallingPane() {
        Pane::Environment environment;
        environment.installPasteScript = [this](const fs::path& folder) -> foundation::Result<void> {
            folders_.push_back(folder);
            if (results_.empty()) return {};
            auto result = results_.front();
            results_.erase(results_.begin());
            return result;
        };
        return makePane(std::move(environment));
    }
    // The chooser answers with each of answers in turn, then cancels.
    void answerChooser(std::vector<std::optional<fs::path>> answers) {
        answers_ = std::move(answers);
        OpenPanel::setDriver([this](const OpenPanel& panel) -> std::optional<OpenPanel::Paths> {
            seen_.push_back(panel.message());
            EXPECT_TRUE(panel.canChooseDirectories() && !panel.canChooseFiles());
            EXPECT_EQ(panel.directoryURL(), foundation::Paths::applicationScripts());
            EXPECT_EQ(panel.prompt(), "Install Script");
            if (answers_.empty() || !answers_.front()) return std::nullopt;
            fs::path chosen = *answers_.front();
            answers_.erase(answers_.begin());
            return OpenPanel::Paths{chosen};
        });
    }
    std::vector<fs::path> folders_;
    std::vector<foundation::Result<void>> results_;
    std::vector<std::optional<fs::path>> answers_;
    std::vector<std::string> seen_;
};

TEST_F(InstallScriptTest, TheRightFolderInstallsTellsHowAndAddsPasteInAppForCopyAndPaste) {
    Pane& pane = makeInstallingPane();
    const fs::path scripts = foundation::Paths::applicationScripts();
    // Through a link to it and with a trailing dot: the same folder.
    fs::create_directories(scripts);
    fs::create_directory_symlink(scripts, home_.root() / "link");
    answerChooser({home_.root() / "link" / "."});
    pane.installScript();
    settle();
    EXPECT_EQ(seen_, std::vector<std::string>{"Please select the folder " + scripts.string()});
    ASSERT_EQ(folders_.size(), 1u);
    EXPECT_EQ(sheetText(window_.get()),
              "Direct Paste Helper Installed | You can now paste selected items directly into the active application. "
              "Select \"Paste in ...\" from the right click menu, or use the ⌘V shortcut, or set it as a double "
              "click action.");
    ASSERT_TRUE(Alert::answerShown(0));
    QComboBox* doubleClick = pane.doubleClickButton();
    ASSERT_EQ(doubleClick->count(), 10);
    EXPECT_EQ(doubleClick->itemText(9), "Paste in App");

    makeScript();
    choose(doubleClick, 9);
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsDoubleClickAction), 3) << "the code it stands for";
    pane.hide();
    pane.show();
    EXPECT_EQ(doubleClick->currentIndex(), 3);

    // A second installation finds the file: nothing is shown, nothing added.
    results_ = {foundation::Error("NSCocoaErrorDomain", 516, "exists")};
    pane.installScript();
    settle();
    EXPECT_EQ(sheetText(window_.get()), "(none)");
    EXPECT_EQ(doubleClick->count(), 10);
    EXPECT_EQ(OpenPanel::panelsBegun(), 2);
}

TEST_F(InstallScriptTest, AnotherFolderOrAFailedCopyShowsWhyAndOpensTheChooserAgain) {
    Pane& pane = makeInstallingPane();
    const fs::path scripts = foundation::Paths::applicationScripts();
    answerChooser({home_.root(), scripts});
    results_ = {foundation::Error("NSCocoaErrorDomain", 512, "The file couldn't be saved.")};
    pane.installScript();
    settle();
    EXPECT_TRUE(folders_.empty()) << "nothing is written elsewhere";
    EXPECT_EQ(sheetText(window_.get()), "Incorrect script folder | Please select the folder " + scripts.string());
    ASSERT_TRUE(Alert::answerShown(0));
    settle();
    EXPECT_EQ(OpenPanel::panelsBegun(), 2);
    EXPECT_EQ(folders_.size(), 1u);
    EXPECT_EQ(sheetText(window_.get()), "The file couldn't be saved. | ");
    ASSERT_TRUE(Alert::answerShown(0));
    settle();
    EXPECT_EQ(OpenPanel::panelsBegun(), 3) << "the chooser again, which the driver cancels";
    EXPECT_EQ(sheetText(window_.get()), "(none)");
    EXPECT_EQ(folders_.size(), 1u);
    EXPECT_EQ(pane.doubleClickButton()->count(), 9);
}

// The pane's own installer: the bundle's script copied into the scripts folder.
TEST_F(InstallScriptTest, TheBundlesScriptIsInstalledOnceAndNothingReplacesWhatIsThere) {
    foundation::Bundle::setMainBundlePath(TAVLO_BUNDLE_DIR);
    auto bundled = TLPasteScript::bundledScript();
    ASSERT_TRUE(bundled);
    const fs::path scripts = foundation::Paths::applicationScripts();
    fs::create_directories(scripts);
    Pane& pane = makePane();
    answerChooser({scripts});
    pane.installScript();
    settle();
    EXPECT_EQ(sheetText(window_.get()),
              "Direct Paste Helper Installed | You can now paste selected items directly into the active application. "
              "Select \"Paste in ...\" from the right click menu, or use the ⌘V shortcut, or set it as a double "
              "click action.");
    ASSERT_TRUE(Alert::answerShown(0));
    struct stat st {};
    ASSERT_EQ(::lstat(script().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(contents(script()), contents(*bundled));
    EXPECT_EQ(TLPasteScript::installedScript(), script());
    EXPECT_EQ(pane.doubleClickButton()->count(), 10);

    fs::create_directories(home_.root() / "elsewhere");
    std::ofstream(home_.root() / "elsewhere" / "victim") << "keep";
    // What takes the name stays as it was: the script installed, a link, a folder.
    const struct {
        const char* name;
        std::function<void()> make;
    } rows[] = {
        {"the installed script", nullptr},
        {"a link", [&] { fs::create_symlink(home_.root() / "elsewhere" / "victim", script()); }},
        {"a folder", [&] { fs::create_directory(script()); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.make) {
            fs::remove(script());
            row.make();
        }
        answerChooser({scripts});
        pane.installScript();
        settle();
        EXPECT_EQ(sheetText(window_.get()), "(none)");
        EXPECT_EQ(std::distance(fs::directory_iterator(scripts), fs::directory_iterator()), 1);
        if (!row.make) {
            EXPECT_EQ(contents(script()), contents(*bundled));
        }
    }
    EXPECT_TRUE(fs::is_directory(script()));
    EXPECT_EQ(contents(home_.root() / "elsewhere" / "victim"), "keep");
    EXPECT_EQ(pane.doubleClickButton()->count(), 10);
}

TEST_F(InstallScriptTest, ThePromptsButtonStartsTheInstallation) {
    Pane& pane = makeInstallingPane();
    answerChooser({});
    choose(pane.optionClickButton(), 5);
    ASSERT_TRUE(Alert::answerShown(0));
    settle();
    EXPECT_EQ(OpenPanel::panelsBegun(), 1);
}

}  // namespace
