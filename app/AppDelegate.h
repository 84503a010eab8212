#pragma once
// The application's delegate: runs start-up once the event loop is going, owns
// the tray item, the 0.25 s tick and the main window controller, and carries
// the actions the tray menu, the hotkeys and the other windows reach. Main
// queue only; one instance per process, reached through shared().
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "kit/NSTimerBlocks.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PlistValue.h"

class TLClipboardSync;
class TLCloudKitSyncManager;
class TLPasteboard;
class TLPasteboardManager;
class TLTavloWindowController;
namespace store {
class Context;
}
namespace desktop {
class Menu;
class StatusItem;
class UserNotificationCenter;
}

class AppDelegate {
public:
    // What start-up uses of the desktop and the core. Left empty, each is the
    // real one; tests hand in fakes.
    struct Environment {
        std::function<std::shared_ptr<desktop::StatusItem>(double length)> makeStatusItem;
        std::function<std::shared_ptr<TLPasteboardManager>()> pasteboardManager;
        // The clipboard the menu and its actions read and clear.
        std::function<std::shared_ptr<TLPasteboard>()> generalPasteboard;
        // Where the actions' notifications go; asked for on first use.
        std::function<std::shared_ptr<desktop::UserNotificationCenter>()> userNotificationCenter;
        std::function<std::shared_ptr<TLTavloWindowController>()> makeWindowController;
        std::function<void()> addFileLoggers;
        // Removes one entry of the temporary folder (a file, a link or a whole
        // folder) and reports why it could not.
        std::function<std::error_code(const std::filesystem::path&)> removeTemporaryItem;
        // Makes each new sync engine.
        std::function<std::shared_ptr<TLCloudKitSyncManager>()> makeSyncManager;
        // The main context the sync engine is bound to.
        std::function<std::shared_ptr<store::Context>()> managedObjectContext;
        // Told the number of each start-up step as it begins.
        std::function<void(int step)> trace;
    };

    static constexpr double kTickInterval = 0.25;
    static constexpr double kHiddenLaunchCloseDelay = 0.1;
    static constexpr double kSyncStartDelay = 1.0;
    static constexpr double kToggleFadeSeconds = 0.15;
    static constexpr double kStartupStatusItemLength = 26;
    static constexpr double kStatusItemLength = 36;

    explicit AppDelegate(Environment environment = {});
    virtual ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The delegate of the running application, null before one is made.
    static AppDelegate* shared();

    // Start-up, in its fixed order of steps.
    void applicationDidFinishLaunching();
    // A second launch, or another program, asked to see the application.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    // Nothing: what must outlive a quit is written by the store's and the
    // settings' own termination hooks.
    void applicationWillTerminate() {}
    void applicationDidRegisterForRemoteNotificationsWithDeviceToken(const foundation::Data& deviceToken);
    void applicationDidFailToRegisterForRemoteNotificationsWithError(const foundation::Error& error);
    // A push of the cloud: the zone changed. With sync on the engine fetches
    // the changes; with clipboard sync on another device's newest clipboard
    // group is then put on the clipboard. The payload is not read.
    void applicationDidReceiveRemoteNotification(const foundation::PlistValue::Dictionary& payload);

    // Tray item, menu and hotkey actions.
    void toggleApp();
    virtual void saveCurrentClipboard();
    virtual void clearClipboard();
    virtual void togglePlainText();
    void openHelpPage();
    void openPreferences();
    void openAboutWindow();
    void quitApp();
    void toggleMenuBarVisibility();
    void darkModeChanged();
    // Fills the tray menu "Lists"; it is built anew each time it opens.
    void buildStatusMenu(desktop::Menu& menu);

    // Start-up steps whose work belongs to the kits and the cloud.
    virtual void startKits();
    // Registers with the cloud's push channel (the device token is logged);
    // pushes then reach applicationDidReceiveRemoteNotification.
    virtual void registerForRemoteNotifications();
    // The hotkey table's defaults, registered for this launch only; a shortcut
    // the user stored wins over them.
    virtual void registerDefaultHotkeys();
    // Breaks the eight named hotkeys' bindings and binds all twenty-eight anew.
    virtual void registerHotkeys();
    virtual void toggleAutoSave();

    // The key-value store's changes reach the settings suite while sync is on.
    void observeKeyValueStore();
    // Runs on the main queue: a change announced on another thread is moved there.
    void updateKVStoreItems(const foundation::Notification& notification);

    // The sync engine's life: made and started 1 s after a launch with sync on,
    // made anew when the user switches sync on, dropped once it is off. An
    // engine replaced or dropped is unbound from the main context first, so
    // it never uploads a save again. Completions of the zone check and
    // creation act on the engine held when they run, on the main queue, never
    // on one dropped meanwhile.
    void startSyncManager();
    void userStartedSyncManager();
    void stopSyncManager();
    const std::shared_ptr<TLCloudKitSyncManager>& syncManager() const { return syncManager_; }

    std::shared_ptr<desktop::StatusItem> statusItem() const { return statusItem_; }
    TLTavloWindowController* tavloWindowController() const { return tavloWindowController_.get(); }
    const std::shared_ptr<NSTimerBlocks::Timer>& timer() const { return timer_; }

private:
    void emptyTemporaryDirectory();
    void createStatusItem(double length);
    // The browser window's content.
    void makeClippingsPanel();
    void observe(const char* name, std::function<void()> action);
    bool captureIsPaused() const;
    void notify(const std::string& title, const std::string& text);
    // The one notification centre of the shell and the panel (made on first use).
    std::shared_ptr<desktop::UserNotificationCenter> userNotificationCenter();
    std::shared_ptr<TLPasteboard> generalPasteboard();
    void replaceSyncManager(std::shared_ptr<TLCloudKitSyncManager> engine);
    static void runDiagnosticsOnHeldEngine();

    Environment environment_;
    std::shared_ptr<desktop::StatusItem> statusItem_;
    std::shared_ptr<TLCloudKitSyncManager> syncManager_;
    std::shared_ptr<TLClipboardSync> clipboardSync_;
    std::shared_ptr<TLTavloWindowController> tavloWindowController_;
    std::shared_ptr<TLPasteboardManager> pasteboardManager_;
    std::shared_ptr<TLPasteboard> generalPasteboard_;
    std::shared_ptr<desktop::UserNotificationCenter> notificationCenter_;
    std::shared_ptr<NSTimerBlocks::Timer> timer_;
    std::vector<foundation::ObserverRegistration> observers_;
    bool launched_ = false;
};
