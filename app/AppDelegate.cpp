#include "AppDelegate.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QSysInfo>
#include <QWidget>

#include <cstdlib>
#include <map>
#include <string_view>
#include <system_error>

#include "TLLaunchSettings.h"
#include "ViewController/TLAppearancePreferencesViewController.h"
#include "ViewController/TLGeneralPreferencesViewController.h"
#include "ViewController/TLClippingsViewController.h"
#include "views/TLTitleView.h"
#include "hotkeys/HKShortcutBinder.h"
#include "ViewController/TLTemplatePreferenceViewController.h"
#include "hotkeys/HKShortcutView.h"
#include "ViewController/TLHotkeyPreferencesViewController.h"
#include "ViewController/TLRulesPreferencesViewController.h"
#include "ViewController/TLSyncPreferencesViewController.h"
#include "kit/TLClipboardSync.h"
#include "kit/TLCloudKitSyncManager.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLHotkeyTable.h"
#include "kit/TLInterfaceSound.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLMirroredSettings.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "logging/TLLogFiles.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/PushChannel.h"
#include "platform/cloud/UbiquitousKeyValueStore.h"
#include "platform/desktop/ApplicationLifecycle.h"
#include "platform/desktop/InterfaceStyle.h"
#include "platform/desktop/KeyEvent.h"
#include "platform/desktop/LoginItem.h"
#include "platform/desktop/Menu.h"
#include "platform/desktop/StatusItem.h"
#include "platform/desktop/UserNotificationCenter.h"
#include "platform/desktop/Workspace.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SystemLog.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/Blackbox.h"
#include "sdk/tally/Tally.h"
#include "views/TLPreferencesWindowController.h"
#include "views/TLTavloWindowController.h"

namespace {

AppDelegate* sharedDelegate = nullptr;

constexpr const char* kCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";

// The operating system as a person would name it, with the kernel beside it.
std::string operatingSystemVersionString() {
    return QStringLiteral("%1 (%2 %3)")
        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion())
        .toStdString();
}

std::error_code removeItem(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);  // a link goes, never what it points at
    return error;
}

}  // namespace

AppDelegate::AppDelegate(Environment environment) : environment_(std::move(environment)) {
    if (!environment_.makeStatusItem)
        environment_.makeStatusItem = [](double length) {
            return std::shared_ptr<desktop::StatusItem>(desktop::StatusItem::makeTrayItem(length));
        };
    if (!environment_.pasteboardManager) environment_.pasteboardManager = [] { return TLPasteboardManager::sharedManager(); };
    if (!environment_.makeWindowController)
        environment_.makeWindowController = [] { return std::make_shared<TLTavloWindowController>(); };
    if (!environment_.addFileLoggers) environment_.addFileLoggers = [] { TLLogFiles::addFileLoggers(); };
    if (!environment_.removeTemporaryItem) environment_.removeTemporaryItem = removeItem;
    if (!environment_.generalPasteboard)
        environment_.generalPasteboard = [] { return std::shared_ptr<TLPasteboard>(TLMacPasteboard::generalPasteboard()); };
    if (!environment_.userNotificationCenter)
        environment_.userNotificationCenter = [] { return desktop::UserNotificationCenter::makeSessionCenter(); };
    if (!environment_.makeSyncManager) environment_.makeSyncManager = [] { return std::make_shared<TLCloudKitSyncManager>(); };
    if (!environment_.managedObjectContext)
        environment_.managedObjectContext = [] { return TLDatabaseManager::sharedManager()->managedObjectContext(); };
    TLPreferencesWindowController::registerPane(TLPreferencesWindowController::Tab::General,
                                                [context = environment_.managedObjectContext]() -> std::unique_ptr<QWidget> {
                                                    TLGeneralPreferencesViewController::Environment environment;
                                                    environment.context = context();
                                                    return std::make_unique<TLGeneralPreferencesViewController>(
                                                        std::move(environment));
                                                });
    TLPreferencesWindowController::registerPane(TLPreferencesWindowController::Tab::Sync,
                                                [context = environment_.managedObjectContext]() -> std::unique_ptr<QWidget> {
                                                    TLSyncPreferencesViewController::Environment environment;
                                                    environment.managedObjectContext = context;
                                                    environment.syncManager = [] {
                                                        auto* delegate = AppDelegate::shared();
                                                        return delegate ? delegate->syncManager()
                                                                        : std::shared_ptr<TLCloudKitSyncManager>();
                                                    };
                                                    return std::make_unique<TLSyncPreferencesViewController>(
                                                        std::move(environment));
                                                });
    TLPreferencesWindowController::registerPane(TLPreferencesWindowController::Tab::Rules,
                                                [context = environment_.managedObjectContext]() -> std::unique_ptr<QWidget> {
                                                    return std::make_unique<TLRulesPreferencesViewController>(context());
                                                });
    TLPreferencesWindowController::registerPane(TLPreferencesWindowController::Tab::Appearance,
                                                []() -> std::unique_ptr<QWidget> {
                                                    return std::make_unique<TLAppearancePreferencesViewController>();
                                                });
    TLPreferencesWindowController::registerPane(TLPreferencesWindowController::Tab::Hotkeys,
                                                []() -> std::unique_ptr<QWidget> {
                                                    return std::make_unique<TLHotkeyPreferencesViewController>();
                                                });
    TLPreferencesWindowController::registerPane(TLPreferencesWindowController::Tab::Templates,
                                                []() -> std::unique_ptr<QWidget> {
                                                    return std::make_unique<TLTemplatePreferenceViewController>();
                                                });
    sharedDelegate = this;
}

AppDelegate::~AppDelegate() {
    if (timer_) timer_->invalidate();
    replaceSyncManager(nullptr);
    if (sharedDelegate == this) sharedDelegate = nullptr;
}

AppDelegate* AppDelegate::shared() { return sharedDelegate; }

void AppDelegate::applicationDidFinishLaunching() {
    if (launched_) return;
    launched_ = true;
    auto step = [this](int number) {
        if (environment_.trace) environment_.trace(number);
    };

    step(1);
    emptyTemporaryDirectory();

    step(2);
    // The crash kit puts its hook on the application's exception reporting
    // only when this key is set as it starts, so it is set first: written
    // after the kits, the first launch would go without the hook.
    auto standard = foundation::UserDefaults::standard();
    standard->setBool(true, kCrashOnExceptionsKey);
    standard->synchronize();
    startKits();

    step(3);

    step(4);
    environment_.addFileLoggers();

    step(5);
    TLLogDebug(TLLogContextGeneral, "OS X Version: %@", operatingSystemVersionString());

    step(6);
    (void)foundation::Paths::createDirectory(foundation::Paths::applicationScripts());

    step(7);
    registerForRemoteNotifications();

    step(8);
    auto suite = TLSettings();
    bool initialized = suite->boolForKey(TLUserDefaultsInitialized);
    bool hideKeyWasPresent = !suite->objectForKey(TLUserDefaultsHideWindowOnLaunchKey).isNull();
    if (!initialized) TLLaunchSettings::writeFirstRunSettings(*suite);

    step(9);
    TLLaunchSettings::fillInSettings(*suite, hideKeyWasPresent);
    // The login item names its launcher by path: one registered by a copy of
    // the application that has since moved would start that copy, or nothing.
    if (suite->boolForKey(TLUserDefaultsStartAtLogin)) {
        auto updated = desktop::LoginItem::updateIfMoved(TLLauncherBundleIdentifier);
        if (!updated.ok()) foundation::systemLog("Start at login: " + updated.error().localizedDescription());
    }

    step(10);
    registerDefaultHotkeys();

    step(11);
    observeKeyValueStore();

    step(12);
    // Drawing appearances are the desktop's business here: nothing to set.

    step(13);
    observe(TLUserDefaultsShowsMenuBarIcon, [this] { toggleMenuBarVisibility(); });

    step(14);
    if (TLSettings()->boolForKey(TLUserDefaultsShowsMenuBarIcon)) createStatusItem(kStartupStatusItemLength);

    step(15);
    timer_ = NSTimerBlocks::scheduledTimerWithTimeInterval(
        kTickInterval, [] { foundation::NotificationCenter::defaultCenter().post(TLTimerTickNotification); }, true);

    step(16);
    pasteboardManager_ = environment_.pasteboardManager();

    step(17);
    tavloWindowController_ = environment_.makeWindowController();
    tavloWindowController_->setStatusItem(statusItem_);
    makeClippingsPanel();

    step(18);
    if (hideKeyWasPresent && TLSettings()->boolForKey(TLUserDefaultsHideWindowOnLaunchKey)) {
        tavloWindowController_->showApplicationWindowWithAlpha(0.0);
        std::weak_ptr<TLTavloWindowController> controller = tavloWindowController_;
        dispatch::after(kHiddenLaunchCloseDelay, dispatch::Queue::main(), [controller] {
            if (auto strong = controller.lock()) strong->close();
        });
    } else {
        tavloWindowController_->showApplicationWindow();
    }

    step(19);
    registerHotkeys();

    step(20);
    observe(TLRegisterHotkeys, [this] { registerHotkeys(); });
    observe(TLHotkeyToggleClipboardRecorder, [this] { toggleAutoSave(); });
    observe(desktop::InterfaceStyle::kChangedNotification, [this] { darkModeChanged(); });
    (void)desktop::InterfaceStyle::current();  // starts watching the desktop's preference

    step(21);
    if (TLSettings()->boolForKey(TLUserDefaultsSyncEnabled)) {
        dispatch::after(kSyncStartDelay, dispatch::Queue::main(), [] {
            if (auto* delegate = AppDelegate::shared()) delegate->startSyncManager();
        });
    }

    step(22);
    observe(TLSyncManagerEnableSyncNotification, [this] { userStartedSyncManager(); });
    observe(TLSyncManagerDidDisableSyncNotification, [this] { stopSyncManager(); });

    step(23);
    TLLogInfo(TLLogContextGeneral, "Application did finish launching");
}

void AppDelegate::makeClippingsPanel() {
    TLClippingsViewController::Configuration configuration;
    configuration.context = environment_.managedObjectContext();
    std::weak_ptr<TLPasteboardManager> manager = pasteboardManager_;
    configuration.pasteboardClippingIDs = [manager]() -> std::optional<std::vector<std::string>> {
        auto strong = manager.lock();
        return strong ? strong->pasteboardClippingIDs() : std::nullopt;
    };
    configuration.pasteboardManager = pasteboardManager_;
    // The window takes the panel as its content and owns it.
    auto* panel = new TLClippingsViewController(std::move(configuration));
    std::weak_ptr<TLTavloWindowController> controller = tavloWindowController_;
    panel->setKeepWindowAfloatAction([controller] {
        if (auto strong = controller.lock()) strong->toggleFloatingWindow();
    });
    panel->setCloseWindowAction([controller] {
        if (auto strong = controller.lock()) strong->closeWindow();
    });
    // The panel's notifications replace the shell's and the other way round.
    panel->setUserNotificationCenter([]() -> std::shared_ptr<desktop::UserNotificationCenter> {
        AppDelegate* delegate = AppDelegate::shared();
        return delegate ? delegate->userNotificationCenter() : nullptr;
    });
    tavloWindowController_->setContentViewController(panel);
}

void AppDelegate::observe(const char* name, std::function<void()> action) {
    auto& center = foundation::NotificationCenter::defaultCenter();
    observers_.emplace_back(center,
                            center.addObserver(name, nullptr, [action](const foundation::Notification&) { action(); }));
}

void AppDelegate::emptyTemporaryDirectory() {
    std::filesystem::path folder = foundation::Paths::temporaryDirectory();
    std::error_code error;
    // Only a real folder is emptied: a link in its place could lead anywhere.
    auto status = std::filesystem::symlink_status(folder, error);
    if (error || !std::filesystem::is_directory(status)) return;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) {
        foundation::systemLog(foundation::format("%@", error.message() + ": " + folder.string()));
        return;
    }
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        std::filesystem::path entry = entries->path();
        if (std::error_code failed = environment_.removeTemporaryItem(entry))
            foundation::systemLog(foundation::format("%@", failed.message() + ": " + entry.string()));
        if (error) break;
    }
}

bool AppDelegate::applicationShouldHandleReopen(bool) {
    if (tavloWindowController_) tavloWindowController_->showApplicationWindow();
    return true;
}

void AppDelegate::applicationDidRegisterForRemoteNotificationsWithDeviceToken(const foundation::Data& deviceToken) {
    TLLogInfo(TLLogContextGeneral, "Application did register for remote notification %@", deviceToken.base64Encoded());
}

void AppDelegate::applicationDidFailToRegisterForRemoteNotificationsWithError(const foundation::Error& error) {
    TLLogError(TLLogContextGeneral, "Application failed to register for remote notifications (%@)", error.description());
}

void AppDelegate::createStatusItem(double length) {
    if (statusItem_) statusItem_->remove();  // never two icons in the tray
    statusItem_ = environment_.makeStatusItem(length);
    if (auto image = foundation::Bundle::main()->pathForResource("status_item", "png"))
        statusItem_->setImage(image->string());
    statusItem_->setAction([this] { toggleApp(); });
    auto menu = std::make_shared<desktop::Menu>("Lists");
    menu->setAboutToShow([this](desktop::Menu& shown) { buildStatusMenu(shown); });
    statusItem_->setMenu(menu);
    statusItem_->setAppearsDisabled(!TLSettings()->boolForKey(TLUserDefaultsCaptureClipboard));
    if (!desktop::StatusItem::isTrayAvailable())
        TLLogWarning(TLLogContextGeneral,
                     "No system tray is running: the Tavlo icon shows once one starts; until then launching Tavlo "
                     "again shows its window");
}

void AppDelegate::toggleMenuBarVisibility() {
    if (TLSettings()->boolForKey(TLUserDefaultsShowsMenuBarIcon)) {
        createStatusItem(kStatusItemLength);
        if (tavloWindowController_) tavloWindowController_->setStatusItem(statusItem_);
    } else if (statusItem_) {
        statusItem_->remove();
        statusItem_.reset();
    }
}

void AppDelegate::toggleApp() {
    if (!tavloWindowController_) return;
    bool detached = TLSettings()->boolForKey(TLUserDefaultsWindowIsDetached);
    bool open = detached ? tavloWindowController_->isKeyWindow() : tavloWindowController_->window()->isVisible();
    if (open) tavloWindowController_->fadeOutAndClose(kToggleFadeSeconds);
    else tavloWindowController_->showApplicationWindow();
}

namespace {

// The key equivalent of the shortcut stored under a hotkey key, or of its default.
void setHotkeyEquivalent(desktop::MenuItem& item, const char* hotkeyKey) {
    HKShortcutView::setKeyEquivalentOfMenuItem(item, hotkeyKey);
}

std::shared_ptr<desktop::MenuItem> addItem(desktop::Menu& menu, const std::string& title, std::function<void()> action) {
    auto item = std::make_shared<desktop::MenuItem>(title, [action](desktop::MenuItem&) { action(); });
    item->setKeyEquivalent({});
    menu.addItem(item);
    return item;
}

// An address the shipped Info.plist names under key; empty without one.
std::string infoAddress(const char* key) {
    const auto& value = foundation::Bundle::main()->objectForInfoDictionaryKey(key);
    const std::string* text = value.asString();
    return text ? *text : std::string();
}

constexpr const char* kAppStoreAddressKey = "TLAppStoreURL";
constexpr const char* kWebsiteAddressKey = "TLWebsiteURL";
constexpr const char* kWebsiteNameKey = "TLWebsiteName";
constexpr const char* kSocialPageAddressKey = "TLSocialPageURL";
constexpr const char* kSocialPageNameKey = "TLSocialPageName";

}  // namespace

std::shared_ptr<TLPasteboard> AppDelegate::generalPasteboard() {
    if (!generalPasteboard_) generalPasteboard_ = environment_.generalPasteboard();
    return generalPasteboard_;
}

void AppDelegate::buildStatusMenu(desktop::Menu& menu) {
    using desktop::MenuItem;
    menu.removeAllItems();
    menu.setTitle("Lists");
    auto pasteboard = generalPasteboard();
    const bool hasContent = pasteboard && pasteboard->numberOfPasteboardItems() > 0;

    if (hasContent && !pasteboard->isSaved())
        setHotkeyEquivalent(*addItem(menu, "Save Current Clipboard", [this] { saveCurrentClipboard(); }),
                            TLHotkeySaveClipboard);
    if (hasContent) {
        auto clear = addItem(menu, "Clear Clipboard", [this] { clearClipboard(); });
        clear->setKeyEquivalent("x");
        clear->setKeyEquivalentModifierMask(MenuItem::kControlKeyMask | MenuItem::kShiftKeyMask);
    }
    auto autoSave = addItem(menu, "Save Clipboard Automatically", [this] { toggleAutoSave(); });
    setHotkeyEquivalent(*autoSave, TLHotkeyToggleClipboardRecorder);
    autoSave->setState(captureIsPaused() ? MenuItem::State::Off : MenuItem::State::On);
    auto plainText = addItem(menu, "Plain Text Mode", [this] { togglePlainText(); });
    setHotkeyEquivalent(*plainText, TLHotkeyTogglePlainText);
    plainText->setState(TLSettings()->boolForKey(TLUserDefaultsPlainTextMode) ? MenuItem::State::On : MenuItem::State::Off);
    menu.addItem(MenuItem::separatorItem());

    addItem(menu, "Preferences", [this] { openPreferences(); });
    auto help = std::make_shared<desktop::Menu>("Help");
    addItem(*help, "About Tavlo", [this] { openAboutWindow(); });
    if (foundation::Bundle::main()->pathForResource("README", "md"))
        addItem(*help, "Help/FAQ", [this] { openHelpPage(); });
    auto openAddress = [](std::string address) {
        return [address] { desktop::Workspace::current()->openURL(address); };
    };
    if (std::string store = infoAddress(kAppStoreAddressKey); !store.empty()) {
        help->addItem(MenuItem::separatorItem());
        addItem(*help, "Rate Tavlo on the App Store", openAddress(store));
    }
    std::string site = infoAddress(kWebsiteAddressKey);
    std::string social = infoAddress(kSocialPageAddressKey);
    if (!site.empty() || !social.empty()) help->addItem(MenuItem::separatorItem());
    if (!site.empty()) addItem(*help, "Visit " + infoAddress(kWebsiteNameKey), openAddress(site));
    if (!social.empty()) addItem(*help, "Follow Tavlo on " + infoAddress(kSocialPageNameKey), openAddress(social));
    auto helpItem = std::make_shared<MenuItem>("Help");
    helpItem->setSubmenu(help);
    menu.addItem(helpItem);
    menu.addItem(MenuItem::separatorItem());

    auto quit = addItem(menu, "Quit", [this] { quitApp(); });
    quit->setKeyEquivalent("q");
    quit->setKeyEquivalentModifierMask(MenuItem::kCommandKeyMask);
}

bool AppDelegate::captureIsPaused() const {
    if (pasteboardManager_) return pasteboardManager_->isPaused();
    return !TLSettings()->boolForKey(TLUserDefaultsCaptureClipboard);
}

std::shared_ptr<desktop::UserNotificationCenter> AppDelegate::userNotificationCenter() {
    if (!notificationCenter_) notificationCenter_ = environment_.userNotificationCenter();
    return notificationCenter_;
}

void AppDelegate::notify(const std::string& title, const std::string& text) {
    auto center = userNotificationCenter();
    if (!center) return;
    // Each action's notification replaces the one before.
    center->removeAllDelivered();
    center->deliver(title, text);
}

void AppDelegate::toggleAutoSave() {
    auto suite = TLSettings();
    bool resuming = captureIsPaused();
    if (pasteboardManager_) {
        if (resuming) pasteboardManager_->resume();
        else pasteboardManager_->pause();
    }
    if (statusItem_) statusItem_->setAppearsDisabled(!resuming);
    if (resuming) TLInterfaceSound::saved();
    else TLInterfaceSound::success();
    suite->setBool(resuming, TLUserDefaultsCaptureClipboard);
    suite->synchronize();
    if (resuming) notify("Tavlo - Resumed", "Your clipboard will be saved automatically.");
    else notify("Tavlo - Paused", "Your clipboard will not be saved automatically");
}

void AppDelegate::saveCurrentClipboard() {
    auto pasteboard = generalPasteboard();
    if (!pasteboard) return;
    if (pasteboard->isSaved()) {
        TLInterfaceSound::beep();
        return;
    }
    if (!pasteboardManager_) return;
    pasteboardManager_->saveContentsOfPasteboard(pasteboard, nullptr, true, [](std::shared_ptr<Clipping> clipping) {
        if (!clipping) return;
        if (auto* delegate = AppDelegate::shared()) delegate->notify("Tavlo", "Clipboard saved");
    });
}

void AppDelegate::clearClipboard() {
    auto pasteboard = generalPasteboard();
    if (!pasteboard || pasteboard->numberOfPasteboardItems() == 0) return;
    pasteboard->copyPasteboardItems({});
    foundation::NotificationCenter::defaultCenter().post(TLClipboardDidUpdateNotification);
    auto suite = TLSettings();
    int64_t count = pasteboard->changeCount();
    suite->setInteger(count, TLUserDefaultsPasteboardChangeCount);
    suite->setObject(foundation::PlistValue(foundation::PlistValue::Array{}), TLUserDefaultsPasteboardClippingIDs);
    suite->synchronize();
    // The capture must not take the empty clipboard for new content.
    if (pasteboardManager_) pasteboardManager_->setPasteboardChangeCount(count);
    notify("Tavlo", "Clipboard cleared");
}

void AppDelegate::togglePlainText() {
    auto suite = TLSettings();
    suite->setBool(!suite->boolForKey(TLUserDefaultsPlainTextMode), TLUserDefaultsPlainTextMode);
    suite->synchronize();
}

void AppDelegate::openHelpPage() {
    if (auto readme = foundation::Bundle::main()->pathForResource("README", "md"))
        desktop::Workspace::current()->openFile(*readme);
}

void AppDelegate::openPreferences() { foundation::NotificationCenter::defaultCenter().post(TLShowPreferencesWindow); }

void AppDelegate::openAboutWindow() { foundation::NotificationCenter::defaultCenter().post(TLShowAboutWindow); }

void AppDelegate::quitApp() { QCoreApplication::quit(); }

void AppDelegate::darkModeChanged() {
    foundation::NotificationCenter::defaultCenter().post(TLUserDefaultsWindowAppearance);
}

void AppDelegate::startKits() {
    // The kits observe the application's lifecycle from their start on.
    desktop::ApplicationLifecycle::install();
    // The crash kit starts the analytics kit itself; Beacon adds Tally to
    // the list because the crash kit is in it.
    Blackbox::registerKitClass(BCNKitRegistry::shared());
    Tally::registerKitClass(BCNKitRegistry::shared());
    std::vector<BCNKitReference> kits{std::shared_ptr<BCNKitInstance>(Blackbox::sharedInstance())};
    try {
        Beacon::with(kits);
    } catch (const BCNException& exception) {
        // A configuration fault of the kits (the shipped Info.plist has no API
        // key) leaves the application running without them.
        foundation::systemLog(
            foundation::format("Kits not started: %@: %@", exception.name(), exception.reason()));
    }
}

void AppDelegate::registerForRemoteNotifications() {
    // The token is the device identifier. Pushes are taken and dropped until
    // the engine's push handling answers them; the channel catches up with
    // missed changes itself.
    cloud::Container::defaultContainer()->pushChannel()->registerForRemoteNotifications(
        [](const std::string& token) {
            if (auto* delegate = AppDelegate::shared())
                delegate->applicationDidRegisterForRemoteNotificationsWithDeviceToken(foundation::Data::fromString(token));
        },
        [](const foundation::PlistValue::Dictionary& payload) {
            if (auto* delegate = AppDelegate::shared()) delegate->applicationDidReceiveRemoteNotification(payload);
        });
}

void AppDelegate::applicationDidReceiveRemoteNotification(const foundation::PlistValue::Dictionary&) {
    if (!clipboardSync_) {
        TLClipboardSync::Environment environment;
        environment.managedObjectContext = environment_.managedObjectContext();
        environment.pasteboardManager = pasteboardManager_ ? pasteboardManager_ : environment_.pasteboardManager();
        environment.userNotificationCenter = [] {
            auto* delegate = AppDelegate::shared();
            return delegate ? delegate->userNotificationCenter() : nullptr;
        };
        environment.isMainWindowKey = [] {
            auto* delegate = AppDelegate::shared();
            auto* controller = delegate ? delegate->tavloWindowController() : nullptr;
            QWidget* window = controller ? controller->window() : nullptr;
            return window && window->isActiveWindow();
        };
        clipboardSync_ = std::make_shared<TLClipboardSync>(std::move(environment));
    }
    clipboardSync_->didReceiveRemoteNotification(syncManager_);
}

namespace {

HKShortcut defaultShortcut(const TLHotkeyRow& row) { return HKShortcut(row.keyCode, row.modifierFlags); }

const TLHotkeyRow& hotkeyRow(const char* key) {
    for (const TLHotkeyRow& row : TLHotkeyTable)
        if (std::string_view(row.key) == key) return row;
    std::abort();  // every key asked for is in the table
}

// What a hotkey of the table does. The delegate is looked up when the key is
// pressed, so a binding never outlives the delegate it calls.
std::function<void()> hotkeyAction(const TLHotkeyRow& row) {
    auto delegateAction = [](void (AppDelegate::*action)()) -> std::function<void()> {
        return [action] {
            if (AppDelegate* delegate = AppDelegate::shared()) (delegate->*action)();
        };
    };
    std::string_view key = row.key;
    if (key == TLHotkeyToggleClipboardRecorder) return delegateAction(&AppDelegate::toggleAutoSave);
    if (key == TLHotkeySaveClipboard) return delegateAction(&AppDelegate::saveCurrentClipboard);
    if (key == TLHotkeyClearClipboardKey) return delegateAction(&AppDelegate::clearClipboard);
    if (key == TLHotkeyTogglePlainText) return delegateAction(&AppDelegate::togglePlainText);
    if (row.digit < 0) {
        std::string name = row.key;
        return [name] { foundation::NotificationCenter::defaultCenter().post(name); };
    }
    const char* notification = row.paste ? TLPasteClippingAtIndexNotification : TLCopyClippingAtIndexNotification;
    // The 0 key is the tenth position to a reader of the log.
    std::string line = std::string(row.paste ? "Paste " : "Copy ") + std::to_string(row.digit == 0 ? 10 : row.digit);
    int64_t digit = row.digit;
    return [notification, line, digit] {
        foundation::systemLog(line);
        foundation::NotificationCenter::defaultCenter().post(foundation::Notification{notification, nullptr, digit, {}});
    };
}

}  // namespace

void AppDelegate::registerDefaultHotkeys() {
    HKShortcutBinder& binder = HKShortcutBinder::sharedBinder();
    auto standard = foundation::UserDefaults::standard();
    if (!TLSettings()->boolForKey(TLUserDefaultsHotkeysRegistered)) {
        std::map<std::string, HKShortcut> named;
        for (const char* key : {TLHotkeyShowApplication, TLHotkeyNextList, TLHotkeyCopyNextClipping,
                                TLHotkeyToggleClipboardRecorder, TLHotkeySaveClipboard, TLHotkeyClearClipboardKey,
                                TLHotkeyTogglePlainText})
            named.emplace(key, defaultShortcut(hotkeyRow(key)));
        binder.registerDefaultShortcuts(named);
        standard->setBool(true, TLUserDefaultsHotkeysRegistered);
        standard->synchronize();
    }
    for (const char* key : {TLHotkeyTogglePlainText, TLHotkeyPasteNextClippingKey}) {
        if (standard->objectForKey(key).isNull())
            binder.registerDefaultShortcuts({{key, defaultShortcut(hotkeyRow(key))}});
    }
    if (standard->objectForKey("TLHotkeyCopyClipping0").isNull()) {
        for (size_t i = tlhotkeys::kNamedRows; i < TLHotkeyTable.size(); ++i)
            binder.registerDefaultShortcuts({{TLHotkeyTable[i].key, defaultShortcut(TLHotkeyTable[i])}});
    }
}

void AppDelegate::registerHotkeys() {
    HKShortcutBinder& binder = HKShortcutBinder::sharedBinder();
    for (size_t i = 0; i < tlhotkeys::kNamedRows; ++i) binder.breakBindingWithDefaultsKey(TLHotkeyTable[i].key);
    for (const TLHotkeyRow& row : TLHotkeyTable) binder.bindShortcutWithDefaultsKey(row.key, hotkeyAction(row));
}


// MARK: Key-value store and sync engine

void AppDelegate::observeKeyValueStore() {
    auto store = cloud::UbiquitousKeyValueStore::defaultStore();
    auto& center = foundation::NotificationCenter::defaultCenter();
    observers_.emplace_back(center, center.addObserver(cloud::UbiquitousKeyValueStore::kDidChangeExternallyNotification,
                                                       store.get(), [this](const foundation::Notification& notification) {
                                                           updateKVStoreItems(notification);
                                                       }));
    store->synchronize();
}

void AppDelegate::updateKVStoreItems(const foundation::Notification& notification) {
    // The settings' observers (the history trim, the window, the tray) work on
    // the main thread's objects.
    if (!dispatch::Queue::main()->isCurrent()) {
        dispatch::Queue::main()->async([notification] {
            if (auto* delegate = AppDelegate::shared()) delegate->updateKVStoreItems(notification);
        });
        return;
    }
    TLMirroredSettings::applyStoreChange(notification);
}

void AppDelegate::replaceSyncManager(std::shared_ptr<TLCloudKitSyncManager> engine) {
    if (syncManager_) syncManager_->setManagedObjectContext(nullptr);
    syncManager_ = std::move(engine);
}

void AppDelegate::runDiagnosticsOnHeldEngine() {
    auto* delegate = AppDelegate::shared();
    if (delegate && delegate->syncManager_) delegate->syncManager_->runCloudKitDiagnostics();
}

void AppDelegate::startSyncManager() {
    if (!TLSettings()->boolForKey(TLUserDefaultsSyncEnabled)) return;
    auto engine = environment_.makeSyncManager();
    engine->startCloudKitSync(environment_.managedObjectContext());
    replaceSyncManager(std::move(engine));
}

void AppDelegate::userStartedSyncManager() {
    if (!TLSettings()->boolForKey(TLUserDefaultsSyncEnabled)) return;
    replaceSyncManager(environment_.makeSyncManager());
    syncManager_->setManagedObjectContext(environment_.managedObjectContext());
    // The completions come on the engine's queues; the engine is looked up on
    // the main queue when they run.
    syncManager_->checkServerForTavloRecordZone([](bool found) {
        dispatch::Queue::main()->async([found] {
            if (found) {
                runDiagnosticsOnHeldEngine();
                return;
            }
            auto* delegate = AppDelegate::shared();
            if (!delegate || !delegate->syncManager_) return;
            auto& engine = *delegate->syncManager_;
            engine.createTavloRecordZone(engine.tavloRecordZoneID(), [](bool created) {
                if (created) dispatch::Queue::main()->async([] { runDiagnosticsOnHeldEngine(); });
            });
        });
    });
}

void AppDelegate::stopSyncManager() {
    if (TLSettings()->boolForKey(TLUserDefaultsSyncEnabled)) return;
    replaceSyncManager(nullptr);
}
