// Start-up in-process, with a fake tray and the virtual clock: the order of its
// steps, the settings a first and a later launch write, the hidden launch and
// the temporary folder.
#include <gtest/gtest.h>

#include <QTest>

#include <fstream>

#include "ViewController/TLAppearancePreferencesViewController.h"
#include "app/AppDelegate.h"
#include "hotkeys/HKShortcut.h"
#include "hotkeys/HKShortcutBinder.h"
#include "hotkeys/HKShortcutMonitor.h"
#include "kit/TLHotkeyTable.h"
#include "hotkeys/HKShortcutView.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/LKLog.h"
#include "platform/desktop/LoginItem.h"
#include "platform/desktop/Menu.h"
#include "platform/desktop/SoundPlayer.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/logging/RecordingLogger.h"
#include "tests/support/FakeStatusItem.h"
#include "tests/support/FakeUserNotificationCenter.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"
#include "views/TLAboutWindowController.h"
#include "views/TLPreferencesWindowController.h"
#include "views/TLTavloWindowController.h"

namespace {

using foundation::PlistValue;
using testsupport::FakeStatusItem;

class RecordingDelegate : public AppDelegate {
public:
    using AppDelegate::AppDelegate;
};

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatch::Clock::useVirtualTime();
        logger_ = std::make_shared<RecordingLogger>();
        LKLog::addLogger(logger_);
    }
    void TearDown() override {
        LKLog::removeLogger(logger_);
        dispatch::Clock::useRealTime();
    }

    std::unique_ptr<RecordingDelegate> launch() {
        AppDelegate::Environment environment;
        environment.makeStatusItem = [this](double length) {
            auto item = std::make_shared<FakeStatusItem>(length);
            items_.push_back(item);
            return item;
        };
        environment.pasteboardManager = [this] {
            steps_.push_back(-16);  // the manager was asked for
            return nullptr;
        };
        environment.generalPasteboard = [this] { return general_; };
        environment.userNotificationCenter = [this] { return notifications_; };
        environment.addFileLoggers = [this] { ++fileLoggersAdded_; };
        if (removeItem_) environment.removeTemporaryItem = removeItem_;
        environment.trace = [this](int step) { steps_.push_back(step); };
        auto delegate = std::make_unique<RecordingDelegate>(std::move(environment));
        delegate->applicationDidFinishLaunching();
        LKLog::flushLog();
        return delegate;
    }

    // The settings as written to the file, not as this process holds them.
    PlistValue::Dictionary settingsFile() {
        auto data = foundation::Data::contentsOfFile(foundation::UserDefaults::applicationGroup()->filePath());
        if (!data.ok()) return {};
        auto value = foundation::PropertyList::read(data.value().span());
        return value.ok() && value.value().asDictionary() ? *value.value().asDictionary() : PlistValue::Dictionary{};
    }

    static std::shared_ptr<foundation::UserDefaults> suite() { return foundation::UserDefaults::applicationGroup(); }

    bool logged(const std::string& text) {
        for (const auto& line : logger_->lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    // Another program copies text to the in-memory clipboard.
    void copyText(const std::string& text) {
        desktop::PasteboardItem item;
        item.setString(foundation::kUTTypeUTF8PlainText, text);
        memory_->externalWrite({item});
    }
    // The rows of the tray menu as a right press shows them: "-" for a
    // separator, a key equivalent after a tab, a tick for an item that is on.
    std::vector<std::string> menuRows(std::shared_ptr<desktop::Menu>* shown = nullptr) {
        auto menu = items_.back()->openMenu();
        if (shown) *shown = menu;
        std::vector<std::string> rows;
        if (!menu) return rows;
        for (const auto& item : menu->items()) {
            if (item->isSeparatorItem()) {
                rows.push_back("-");
                continue;
            }
            std::string row = item->title();
            if (!item->keyEquivalentLabel().empty()) row += "\t" + item->keyEquivalentLabel();
            if (item->state() == desktop::MenuItem::State::On) row += " [on]";
            rows.push_back(row);
        }
        return rows;
    }
    static std::shared_ptr<desktop::MenuItem> row(desktop::Menu& menu, const std::string& title) {
        for (const auto& item : menu.items())
            if (item->title() == title) return item;
        return nullptr;
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope systemLog_;
    std::shared_ptr<desktop::MemoryPasteboard> memory_ = std::make_shared<desktop::MemoryPasteboard>();
    std::shared_ptr<TLMacPasteboard> general_ = [this] {
        auto pasteboard = std::make_shared<TLMacPasteboard>();
        pasteboard->setPasteboard(memory_);
        return pasteboard;
    }();
    std::shared_ptr<testsupport::FakeUserNotificationCenter> notifications_ =
        std::make_shared<testsupport::FakeUserNotificationCenter>();
    std::shared_ptr<RecordingLogger> logger_;
    std::vector<int> steps_;
    std::vector<std::shared_ptr<FakeStatusItem>> items_;
    int fileLoggersAdded_ = 0;
    std::function<std::error_code(const std::filesystem::path&)> removeItem_;
};

TEST_F(AppDelegateTest, AFirstLaunchRunsEveryStepInOrderWritesTheFirstRunTableAndShowsTheWindow) {
    auto delegate = launch();

    std::vector<int> expected;
    for (int step = 1; step <= 23; ++step) {
        expected.push_back(step);
        if (step == 16) expected.push_back(-16);
    }
    EXPECT_EQ(steps_, expected);
    EXPECT_EQ(fileLoggersAdded_, 1);

    auto file = settingsFile();
    const std::pair<const char*, PlistValue> firstRun[] = {
        {TLUserDefaultsClipboardSize, PlistValue(int64_t{100})},
        {TLUserDefaultsInitialized, PlistValue(true)},
        {TLUserDefaultsPlaySounds, PlistValue(true)},
        {TLUserDefaultsSyncEnabled, PlistValue(false)},
        {TLUserDefaultsCaptureClipboard, PlistValue(true)},
        {TLUserDefaultsFloatWindow, PlistValue(false)},
        {TLUserDefaultsShowsMenuBarIcon, PlistValue(true)},
        {TLDefaultRuleOption, PlistValue(false)},
        {TLUserDefaultsWindowIsDetached, PlistValue(true)},
        {TLUserDefaultsHideWindowOnLaunchKey, PlistValue(true)},
        {TLUserDefaultsWindowFrame, PlistValue("{{20, 20}, {360, 600}}")},
        {TLUserDefaultsWindowAppearance, PlistValue(int64_t{1})},
        {TLUserDefaultsDragAction, PlistValue(int64_t{0})},
        {TLUserDefaultsDoubleClickAction, PlistValue(int64_t{1})},
        {TLUserDefaultsRowHeightKey, PlistValue(int64_t{8})},
        {TLUserDefaultsOptionReturnActionKey, PlistValue(int64_t{6})},
        {TLUserDefaultsCommandReturnActionKey, PlistValue(int64_t{8})},
    };
    for (const auto& [key, value] : firstRun) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(file.count(key));
        EXPECT_TRUE(file[key] == value);
    }
    EXPECT_EQ(suite()->integerForKey(TLDefaultRuleOption), 0);

    auto templates = file[TLUserDefaultsCopyTemplates].asArray();
    ASSERT_NE(templates, nullptr);
    const std::pair<const char*, const char*> expectedTemplates[] = {
        {"Plain Text", "{text}"},
        {"Source Title", "{title}"},
        {"Source URL", "{url}"},
        {"Link in HTML", "<a href=\"{url}\">{title}</a>"},
        {"Link in Markdown", "[{title}]({url})"},
        {"Quote", "\"{text}\"\n\n- {title} ({url})"},
    };
    ASSERT_EQ(templates->size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        const auto* entry = (*templates)[i].asDictionary();
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(*entry->at(TLUserDefaultsTemplateName).asString(), expectedTemplates[i].first);
        EXPECT_EQ(*entry->at(TLUserDefaultsTemplateFormat).asString(), expectedTemplates[i].second);
    }

    EXPECT_TRUE(foundation::UserDefaults::standard()->boolForKey("NSApplicationCrashOnExceptions"));
    EXPECT_TRUE(std::filesystem::is_directory(foundation::Paths::applicationScripts()));

    auto* controller = delegate->tavloWindowController();
    ASSERT_NE(controller, nullptr);
    EXPECT_TRUE(controller->window()->isVisible());
    EXPECT_DOUBLE_EQ(controller->windowAlpha(), 1.0);

    ASSERT_EQ(items_.size(), 1u);
    EXPECT_DOUBLE_EQ(items_[0]->length(), 26);
    EXPECT_NE(items_[0]->image.find("status_item"), std::string::npos);
    EXPECT_FALSE(items_[0]->appearsDisabled());
    EXPECT_EQ(controller->statusItem(), items_[0]);

    ASSERT_TRUE(delegate->timer());
    EXPECT_DOUBLE_EQ(delegate->timer()->timeInterval(), 0.25);
    EXPECT_TRUE(delegate->timer()->repeats());

    // The device token arrives on the main queue.
    dispatch::MainQueue::runUntilIdle();
    LKLog::flushLog();
    EXPECT_TRUE(logged("OS X Version: "));
    EXPECT_TRUE(logged("Application did register for remote notification "));
    EXPECT_TRUE(logged("Application did finish launching"));
}

TEST_F(AppDelegateTest, TheTickPostsEveryQuarterSecond) {
    auto delegate = launch();
    int ticks = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    foundation::ObserverRegistration tick(
        center, center.addObserver(TLTimerTickNotification, nullptr, [&](const foundation::Notification&) { ++ticks; }));
    dispatch::Clock::advance(1.0);
    EXPECT_EQ(ticks, 4);
}

TEST_F(AppDelegateTest, ALaterLaunchWithTheHideKeyShowsAtAlphaZeroAndClosesATenthOfASecondLater) {
    launch().reset();  // the first launch stores the hide key
    auto delegate = launch();
    auto* controller = delegate->tavloWindowController();
    EXPECT_TRUE(controller->isWindowShown());
    EXPECT_DOUBLE_EQ(controller->windowAlpha(), 0.0);
    EXPECT_FALSE(controller->window()->isVisible()) << "never mapped";
    dispatch::Clock::advance(0.09);
    EXPECT_TRUE(controller->isWindowShown());
    dispatch::Clock::advance(0.02);
    EXPECT_FALSE(controller->isWindowShown());
}

TEST_F(AppDelegateTest, ALaterLaunchWithTheHideKeyOffShowsTheWindow) {
    launch().reset();
    suite()->setBool(false, TLUserDefaultsHideWindowOnLaunchKey);
    suite()->synchronize();
    auto delegate = launch();
    EXPECT_TRUE(delegate->tavloWindowController()->window()->isVisible());
    EXPECT_DOUBLE_EQ(delegate->tavloWindowController()->windowAlpha(), 1.0);
}

TEST_F(AppDelegateTest, AnOlderInstallationWithoutTheHideKeyShowsTheWindowOnceThenHides) {
    launch().reset();
    suite()->removeObjectForKey(TLUserDefaultsHideWindowOnLaunchKey);
    suite()->synchronize();
    auto delegate = launch();
    EXPECT_DOUBLE_EQ(delegate->tavloWindowController()->windowAlpha(), 1.0);
    EXPECT_TRUE(suite()->boolForKey(TLUserDefaultsHideWindowOnLaunchKey));
}

TEST_F(AppDelegateTest, TheOlderDefaultRuleIsConvertedOnceAndThenLeftToTheUser) {
    const std::pair<bool, int64_t> rows[] = {{true, 0}, {false, 1}};
    for (const auto& [older, option] : rows) {
        SCOPED_TRACE(older);
        suite()->setBool(older, TLApplicationRulesWhitelistAppsByDefault);
        suite()->setInteger(2, TLDefaultRuleOption);
        suite()->synchronize();
        launch().reset();
        EXPECT_EQ(suite()->integerForKey(TLDefaultRuleOption), option);
        EXPECT_EQ(settingsFile().count(TLApplicationRulesWhitelistAppsByDefault), 0u);

        // What the user chooses afterwards survives the next launch.
        suite()->setInteger(2, TLDefaultRuleOption);
        suite()->synchronize();
        launch().reset();
        EXPECT_EQ(suite()->integerForKey(TLDefaultRuleOption), 2);
    }
}

TEST_F(AppDelegateTest, StoredTemplatesAreNeverReplacedEvenWhenEmpty) {
    suite()->setBool(true, TLUserDefaultsInitialized);
    suite()->setObject(PlistValue(PlistValue::Array{}), TLUserDefaultsCopyTemplates);
    suite()->synchronize();
    launch().reset();
    auto templates = suite()->arrayForKey(TLUserDefaultsCopyTemplates);
    ASSERT_TRUE(templates);
    EXPECT_TRUE(templates->empty());
}

TEST_F(AppDelegateTest, TheTemporaryFolderIsEmptiedWithoutFollowingLinks) {
    auto tmp = foundation::Paths::temporaryDirectory();
    std::filesystem::create_directories(tmp / "C-1/nested");
    std::ofstream(tmp / "C-1/nested/0.public.png") << "png";
    std::ofstream(tmp / "loose.txt") << "x";
    auto outside = home_.root() / "outside.txt";
    std::ofstream(outside) << "keep me";
    std::filesystem::create_symlink(outside, tmp / "to-file");
    std::filesystem::create_symlink("/etc", tmp / "to-etc");
    std::filesystem::create_directories(tmp / "stuck");

    removeItem_ = [](const std::filesystem::path& path) -> std::error_code {
        if (path.filename() == "stuck") return std::make_error_code(std::errc::device_or_resource_busy);
        std::error_code error;
        std::filesystem::remove_all(path, error);
        return error;
    };
    launch();

    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(tmp)) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"stuck"});
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(std::filesystem::exists("/etc/passwd"));
    bool reported = false;
    for (const auto& message : systemLog_->messages())
        reported = reported || message.find((tmp / "stuck").string()) != std::string::npos;
    EXPECT_TRUE(reported);
}

TEST_F(AppDelegateTest, DamagedSettingsFilesAreMovedAsideBeforeTheFirstRunTable) {
    struct Row {
        const char* name;
        std::string bytes;
        size_t sparseSize;
    };
    const Row rows[] = {
        {"truncated", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>TLApplicationRules</key><arr", 0},
        {"binary", std::string("bplist00\x01\x02\xff\xfe garbage", 20), 0},
        {"array root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>", 0},
        {"too large", "", foundation::UserDefaults::kMaxFileBytes + 1},
    };
    auto file = suite()->filePath();
    int round = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++round;
        std::filesystem::remove(file);
        std::filesystem::create_directories(file.parent_path());
        {
            std::ofstream out(file, std::ios::binary);
            out << row.bytes;
        }
        if (row.sparseSize) std::filesystem::resize_file(file, row.sparseSize);
        auto errorsBefore = systemLog_->count("could not be read; it was moved to");
        launch().reset();

        auto aside = file;
        aside += round == 1 ? std::string(".damaged") : ".damaged " + std::to_string(round);
        ASSERT_TRUE(std::filesystem::exists(aside));
        EXPECT_EQ(std::filesystem::file_size(aside), row.sparseSize ? row.sparseSize : row.bytes.size());
        EXPECT_EQ(systemLog_->count("could not be read; it was moved to"), errorsBefore + 1);
        EXPECT_EQ(settingsFile().count(TLUserDefaultsInitialized), 1u);
        // Start the next row on an uninitialised suite again.
        std::filesystem::remove(file);
        suite()->removeObjectForKey(TLUserDefaultsInitialized);
    }
}

TEST_F(AppDelegateTest, ANewerVersionsSettingsKeepTheirUnknownKeysAndGetNoFirstRunTable) {
    suite()->setBool(true, TLUserDefaultsInitialized);
    suite()->setInteger(500, TLUserDefaultsClipboardSize);
    suite()->setObject(PlistValue("kept"), "TLUserDefaultsFromANewerVersion");
    suite()->synchronize();
    launch().reset();
    auto file = settingsFile();
    EXPECT_EQ(file.count(TLUserDefaultsPlaySounds), 0u);
    EXPECT_TRUE(file["TLUserDefaultsClipboardSize"] == PlistValue(int64_t{500}));
    EXPECT_TRUE(file["TLUserDefaultsFromANewerVersion"] == PlistValue("kept"));
}

TEST_F(AppDelegateTest, TheTrayIconFollowsItsSetting) {
    auto delegate = launch();
    suite()->setBool(false, TLUserDefaultsShowsMenuBarIcon);
    foundation::NotificationCenter::defaultCenter().post(TLUserDefaultsShowsMenuBarIcon);
    EXPECT_TRUE(items_[0]->removed);
    EXPECT_EQ(delegate->statusItem(), nullptr);
    items_[0].reset();  // the window controller held it only weakly
    EXPECT_EQ(delegate->tavloWindowController()->statusItem(), nullptr);

    suite()->setBool(true, TLUserDefaultsShowsMenuBarIcon);
    foundation::NotificationCenter::defaultCenter().post(TLUserDefaultsShowsMenuBarIcon);
    ASSERT_EQ(items_.size(), 2u);
    EXPECT_DOUBLE_EQ(items_[1]->length(), 36);
    EXPECT_EQ(delegate->tavloWindowController()->statusItem(), items_[1]);

    // Told again while on, the old icon goes before the new one comes.
    foundation::NotificationCenter::defaultCenter().post(TLUserDefaultsShowsMenuBarIcon);
    ASSERT_EQ(items_.size(), 3u);
    EXPECT_TRUE(items_[1]->removed) << "never two icons in the tray";
    EXPECT_FALSE(items_[2]->removed);
}

TEST_F(AppDelegateTest, PausedCaptureDimsTheIcon) {
    launch().reset();
    suite()->setBool(false, TLUserDefaultsCaptureClipboard);
    items_.clear();
    auto delegate = launch();
    ASSERT_EQ(items_.size(), 1u);
    EXPECT_TRUE(items_[0]->appearsDisabled());
}

TEST_F(AppDelegateTest, TheTrayMenuOpensPreferencesAndAbout) {
    auto delegate = launch();
    std::shared_ptr<desktop::Menu> menu;
    menuRows(&menu);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), "Lists");
    auto help = row(*menu, "Help");
    ASSERT_TRUE(help && help->hasSubmenu());
    auto about = row(*help->submenu(), "About Tavlo");
    ASSERT_NE(about, nullptr);

    auto* controller = delegate->tavloWindowController();
    EXPECT_FALSE(controller->hasPreferencesWindowController());
    row(*menu, "Preferences")->performAction();
    ASSERT_TRUE(controller->hasPreferencesWindowController());
    EXPECT_TRUE(controller->preferencesWindowController().window()->isVisible());
    controller->preferencesWindowController().selectAppearanceTab();
    EXPECT_NE(dynamic_cast<TLAppearancePreferencesViewController*>(
                  controller->preferencesWindowController().apperancePreferencesViewController()),
              nullptr);
    about->performAction();
    EXPECT_TRUE(controller->aboutWindowController().window()->isVisible());
}

TEST_F(AppDelegateTest, TheTrayMenuShowsOnlyTheRowsThatHaveSomethingToActOn) {
    auto delegate = launch();
    const std::vector<std::string> tail = {"-", "Preferences", "Help", "-", "Quit\tCtrl+Q"};
    auto with = [&](std::vector<std::string> head) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    // The launch registered the default hotkeys, which the rows show.
    const std::string autoSave = "Save Clipboard Automatically\tSuper+Ctrl+Alt+C [on]";
    const std::string plainText = "Plain Text Mode\tSuper+Shift+T";

    // Empty.
    EXPECT_EQ(menuRows(), with({autoSave, plainText}));
    // Unsaved content.
    copyText("hello");
    EXPECT_EQ(menuRows(), with({"Save Current Clipboard\tSuper+Shift+S", "Clear Clipboard\tSuper+Shift+X", autoSave, plainText}));
    // Saved content: its change count is the one stored.
    suite()->setInteger(general_->changeCount(), TLUserDefaultsPasteboardChangeCount);
    EXPECT_EQ(menuRows(), with({"Clear Clipboard\tSuper+Shift+X", autoSave, plainText}));
    // Saved and empty.
    memory_->externalWrite({});
    suite()->setInteger(general_->changeCount(), TLUserDefaultsPasteboardChangeCount);
    EXPECT_EQ(menuRows(), with({autoSave, plainText}));

    // Paused capture and plain text mode show in the ticks.
    suite()->setBool(true, TLUserDefaultsPlainTextMode);
    delegate->toggleAutoSave();
    EXPECT_EQ(menuRows(), with({"Save Clipboard Automatically\tSuper+Ctrl+Alt+C", plainText + " [on]"}));
}

TEST_F(AppDelegateTest, TheTrayMenuShowsTheStoredOrDefaultHotkeys) {
    auto defaults = foundation::UserDefaults::standard();
    auto archived = [](uint64_t keyCode, uint64_t flags) {
        return PlistValue(*foundation::KeyedArchiver::archivedData(HKShortcut(keyCode, flags)));
    };
    // Defaults registered at launch: S and T with Super+Shift, C with Super+Alt+Ctrl.
    defaults->registerDefaults({{TLHotkeySaveClipboard, archived(1, 0x60000)},
                                {TLHotkeyToggleClipboardRecorder, archived(8, 0x1C0000)},
                                {TLHotkeyTogglePlainText, archived(17, 0x60000)}});
    // The user's own: plain text on Ctrl+Alt+P.
    defaults->setObject(archived(35, 0x180000), TLHotkeyTogglePlainText);
    auto delegate = launch();
    copyText("hello");
    auto rows = menuRows();
    ASSERT_GE(rows.size(), 4u);
    EXPECT_EQ(rows[0], "Save Current Clipboard\tSuper+Shift+S");
    EXPECT_EQ(rows[2], "Save Clipboard Automatically\tSuper+Ctrl+Alt+C [on]");
    EXPECT_EQ(rows[3], "Plain Text Mode\tCtrl+Alt+P");
    defaults->removeObjectForKey(TLHotkeyTogglePlainText);
    defaults->registerDefaults({});
}

TEST_F(AppDelegateTest, PausingGreysTheIconStoresTheSettingAndReplacesTheNotification) {
    auto sounds = std::make_shared<testsupport::RecordingSoundPlayer>();
    desktop::SoundPlayer::setCurrent(sounds);
    auto delegate = launch();
    suite()->setBool(true, TLUserDefaultsPlaySounds);
    auto icon = items_[0];
    EXPECT_FALSE(icon->appearsDisabled());
    delegate->toggleAutoSave();
    EXPECT_TRUE(icon->appearsDisabled());
    EXPECT_FALSE(suite()->boolForKey(TLUserDefaultsCaptureClipboard));
    EXPECT_TRUE(settingsFile()[TLUserDefaultsCaptureClipboard] == PlistValue(false)) << "written at once";
    EXPECT_EQ(notifications_->events, (std::vector<std::string>{
                                          "remove all",
                                          "deliver Tavlo - Paused | Your clipboard will not be saved automatically"}));

    // The hotkey's notification reaches the same action.
    foundation::NotificationCenter::defaultCenter().post(TLHotkeyToggleClipboardRecorder);
    EXPECT_FALSE(icon->appearsDisabled());
    EXPECT_TRUE(suite()->boolForKey(TLUserDefaultsCaptureClipboard));
    EXPECT_EQ(notifications_->events.back(), "deliver Tavlo - Resumed | Your clipboard will be saved automatically.");
    EXPECT_EQ(notifications_->events.size(), 4u);
    EXPECT_EQ(sounds->plays(), (std::vector<std::string>{"Success", "Paste"}));
    desktop::SoundPlayer::setCurrent(nullptr);
}

TEST_F(AppDelegateTest, ClearingEmptiesTheClipboardAndRecordsItsNewCount) {
    auto delegate = launch();
    int updates = 0;
    bool objectWasNil = false;
    auto& center = foundation::NotificationCenter::defaultCenter();
    foundation::ObserverRegistration observer(
        center, center.addObserver(TLClipboardDidUpdateNotification, nullptr, [&](const foundation::Notification& n) {
            ++updates;
            objectWasNil = n.object == nullptr && !n.value.has_value();
        }));

    // Nothing on the clipboard: nothing at all happens.
    int64_t before = general_->changeCount();
    delegate->clearClipboard();
    EXPECT_EQ(general_->changeCount(), before);
    EXPECT_EQ(updates, 0);
    EXPECT_TRUE(notifications_->events.empty());

    copyText("secret");
    suite()->setObject(PlistValue(PlistValue::Array{PlistValue(std::string("id-1"))}), TLUserDefaultsPasteboardClippingIDs);
    std::shared_ptr<desktop::Menu> menu;
    menuRows(&menu);
    row(*menu, "Clear Clipboard")->performAction();
    EXPECT_EQ(general_->numberOfPasteboardItems(), 0u);
    EXPECT_EQ(updates, 1);
    EXPECT_TRUE(objectWasNil);
    auto file = settingsFile();
    EXPECT_TRUE(file[TLUserDefaultsPasteboardChangeCount] == PlistValue(general_->changeCount()));
    EXPECT_TRUE(file[TLUserDefaultsPasteboardClippingIDs] == PlistValue(PlistValue::Array{}));
    EXPECT_EQ(notifications_->events,
              (std::vector<std::string>{"remove all", "deliver Tavlo | Clipboard cleared"}));
}

TEST_F(AppDelegateTest, PlainTextModeFlipsAndSavingASavedClipboardOnlyBeeps) {
    auto sounds = std::make_shared<testsupport::RecordingSoundPlayer>();
    desktop::SoundPlayer::setCurrent(sounds);
    auto delegate = launch();
    suite()->setBool(true, TLUserDefaultsPlaySounds);
    suite()->setBool(false, TLUserDefaultsPlainTextMode);
    delegate->togglePlainText();
    EXPECT_TRUE(settingsFile()[TLUserDefaultsPlainTextMode] == PlistValue(true));
    delegate->togglePlainText();
    EXPECT_FALSE(suite()->boolForKey(TLUserDefaultsPlainTextMode));

    copyText("kept");
    suite()->setInteger(general_->changeCount(), TLUserDefaultsPasteboardChangeCount);
    delegate->saveCurrentClipboard();
    EXPECT_TRUE(notifications_->events.empty());
    EXPECT_EQ(general_->numberOfPasteboardItems(), 1u);
    EXPECT_EQ(sounds->plays(), std::vector<std::string>{"Beep"});
    desktop::SoundPlayer::setCurrent(nullptr);
}

TEST_F(AppDelegateTest, ALeftPressHidesAnOpenWindowAndShowsAClosedOne) {
    auto delegate = launch();
    auto* controller = delegate->tavloWindowController();
    suite()->setBool(false, TLUserDefaultsWindowIsDetached);  // attached: open means visible
    items_[0]->press();
    dispatch::Clock::advance(1.0);  // past the fade
    EXPECT_FALSE(controller->window()->isVisible());
    items_[0]->press();
    EXPECT_TRUE(controller->window()->isVisible());
    EXPECT_DOUBLE_EQ(controller->window()->windowOpacity(), 1.0);
}

TEST_F(AppDelegateTest, ReopenShowsTheWindow) {
    auto delegate = launch();
    delegate->tavloWindowController()->close();
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(delegate->tavloWindowController()->window()->isVisible());
}

}  // namespace

namespace {

// A login item registered by a copy of Tavlo that has since moved is pointed at
// this copy's launcher at launch, while start at login is on.
TEST_F(AppDelegateTest, ALaunchPointsTheLoginItemOfAMovedApplicationAtThisOne) {
    namespace fs = std::filesystem;
    fs::path app = home_.root() / "Applications/Tavlo.app";
    fs::path launcher = app / "Contents/Library/LoginItems/TavloLauncher.app";
    fs::create_directories(launcher / "Contents/MacOS");
    fs::copy_file(fs::path(TAVLO_SOURCE_DIR) / "resources/Info.plist", app / "Contents/Info.plist");
    fs::copy_file(fs::path(TAVLO_SOURCE_DIR) / "app/TavloLauncher-Info.plist", launcher / "Contents/Info.plist");
    fs::path program = launcher / "Contents/MacOS/TavloLauncher";
    std::ofstream(program) << "#!/bin/sh\n";
    fs::permissions(program, fs::perms::owner_all);
    foundation::Bundle::setMainBundlePath(app);
    struct Cleanup {
        ~Cleanup() { foundation::Bundle::setMainBundlePath({}); }
    } cleanup;

    fs::path entry = home_.configHome() / "autostart/com.tavlo.TavloLauncher.desktop";
    const std::string old = "[Desktop Entry]\nType=Application\nName=Tavlo\nExec=\"/old/TavloLauncher\"\n";
    auto readEntry = [&] {
        std::ifstream in(entry);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    fs::create_directories(entry.parent_path());
    std::ofstream(entry) << old;
    launch().reset();
    EXPECT_EQ(readEntry(), old) << "start at login is off: the entry is not ours to change";

    suite()->setBool(true, TLUserDefaultsStartAtLogin);
    suite()->synchronize();
    launch().reset();
    EXPECT_EQ(desktop::LoginItem::entryProgram(readEntry()), program.string());
}

TEST_F(AppDelegateTest, EveryLaunchRegistersTheTablesDefaultsAndBindsAllHotkeysWithoutAnXServer) {
    auto defaults = foundation::UserDefaults::standard();
    const HKShortcut stored(1, HKShortcut::kControlKeyMask | HKShortcut::kAlternateKeyMask);
    defaults->setObject(PlistValue(*foundation::KeyedArchiver::archivedData(stored)), TLHotkeySaveClipboard);
    auto delegate = launch();
    EXPECT_EQ(steps_.back(), 23) << "start-up completes";
    EXPECT_EQ(HKShortcutMonitor::sharedMonitor(), nullptr) << "offscreen: nothing can fire";

    HKShortcutBinder& binder = HKShortcutBinder::sharedBinder();
    for (const TLHotkeyRow& row : TLHotkeyTable) {
        ASSERT_TRUE(binder.isRegisteredAction(row.key)) << row.key;
        if (std::string_view(row.key) != TLHotkeySaveClipboard) {
            EXPECT_EQ(binder.valueForKey(row.key), HKShortcut(row.keyCode, row.modifierFlags)) << row.key;
        }
    }
    EXPECT_EQ(binder.valueForKey(TLHotkeySaveClipboard), stored) << "the user's own wins";
    // The flag goes to the standard defaults, never the suite it is read from.
    EXPECT_TRUE(defaults->boolForKey(TLUserDefaultsHotkeysRegistered));
    EXPECT_FALSE(suite()->boolForKey(TLUserDefaultsHotkeysRegistered));
    // Defaults are never stored.
    EXPECT_TRUE(defaults->objectForKey(TLHotkeyNextList).asData());
    defaults->synchronize();
    auto file = foundation::Data::contentsOfFile(defaults->filePath());
    ASSERT_TRUE(file.ok());
    auto onDisk = foundation::PropertyList::read(file.value().span());
    ASSERT_TRUE(onDisk.ok());
    EXPECT_EQ(onDisk.value().get(TLHotkeyNextList), nullptr);
}

}  // namespace
