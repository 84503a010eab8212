#pragma once
// The Sync tab of the preferences window: sync on and off, what happens to the
// data when it goes off (kept in the cloud only, or on this computer only),
// clipboard sync between devices and its notifications, a full sync by hand,
// and the status line. The pane keeps no model: it reads the settings when it
// appears and after each change it makes. Notifications of the engine may
// come on any thread; the pane handles them on the main queue. Main thread.
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NotificationCenter.h"

class QCheckBox;
class QLabel;
class QPushButton;
class TLCloudKitSyncManager;
namespace cloud {
class Container;
class UbiquitousKeyValueStore;
}  // namespace cloud
namespace desktop {
class Alert;
}
namespace store {
class Context;
}

class TLSyncPreferencesViewController : public QWidget {
public:
    // What the pane works with; left empty, each is the application's own.
    struct Environment {
        // The account's container: its status, the zone and the subscriptions.
        std::function<std::shared_ptr<cloud::Container>()> container;
        std::function<std::shared_ptr<cloud::UbiquitousKeyValueStore>()> keyValueStore;
        // The store's main context.
        std::function<std::shared_ptr<store::Context>()> managedObjectContext;
        // The sync engine now (null while there is none); sync-now asks it.
        std::function<std::shared_ptr<TLCloudKitSyncManager>()> syncManager;
    };

    static constexpr const char* kNotEnabledText = "Sync Not Enabled";
    static constexpr const char* kAccountAlertMessage = "iCloud Sync not enabled";
    static constexpr const char* kRestrictedText =
        "Your iCloud account has been restricted. Please remove any restrictions to enable iCloud sync.";
    static constexpr const char* kNoAccountText =
        "Please sign in to your iCloud account from the iCloud preferences pane in System Preferences to enable "
        "iCloud sync.";
    static constexpr const char* kSwitchOffMessage = "Do you want to keep your data on iCloud OR on this device?";
    static constexpr const char* kSwitchOffInformation =
        "Keep data on iCloud if you still want to access your data on other devices. However, you will not be able "
        "to access that data on this device unless you turn iCloud sync back on.\n\nKeep data on this device if you "
        "no longer need to access it on other devices.";
    static constexpr const char* kKeepOnThisMacTitle = "Keep on This Mac";
    static constexpr const char* kCancelTitle = "Cancel";
    static constexpr const char* kKeepOnICloudTitle = "Keep on iCloud";

    explicit TLSyncPreferencesViewController(Environment environment = {}, QWidget* parent = nullptr);
    ~TLSyncPreferencesViewController() override;

    // Sets every control from the settings; runs each time the pane shows and
    // after each change of the sync settings.
    void viewWillAppear();

    // The actions.
    void toggleSync();
    void toggleClipboardSync();
    void toggleNotification();
    void toggleShowTextInNotification();
    void syncNow();
    // The two halves of toggleSync.
    void startiCloudSync();
    void stopiCloudSync();

    // The status line: a text, or none for the last-sync line.
    void showStatus(const std::optional<std::string>& status);
    // The notification handlers (any thread).
    void syncError(const foundation::Notification& notification);
    void enableSyncFailed();
    void syncEnabled();

    // The status line's last-sync text for a date (none: "Never").
    static std::string lastSyncedText(const std::optional<double>& secondsSince1970);

    QCheckBox* syncButton() const { return syncButton_; }
    QCheckBox* clipboardSyncButton() const { return clipboardSyncButton_; }
    QCheckBox* notificationButton() const { return notificationButton_; }
    QCheckBox* showTextInNotificationButton() const { return showTextInNotificationButton_; }
    QLabel* lastSyncDateLabel() const { return lastSyncDateLabel_; }
    QPushButton* syncNowButton() const { return syncNowButton_; }
    // The sheet shown last (an account, switch-off or error alert), if any.
    desktop::Alert* alert() const { return alert_.get(); }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void observe(const char* name, std::function<void(const foundation::Notification&)> handler,
                 foundation::NotificationCenter::Token& token);
    void stopObservingEnable();
    desktop::Alert& newAlert();
    void keepOnThisMac();
    void keepOnICloud();

    Environment environment_;
    QCheckBox* syncButton_;
    QCheckBox* clipboardSyncButton_;
    QCheckBox* notificationButton_;
    QCheckBox* showTextInNotificationButton_;
    QLabel* lastSyncDateLabel_;
    QPushButton* syncNowButton_;
    std::unique_ptr<desktop::Alert> alert_;
    // Guards the handlers queued to the main queue against a pane gone meanwhile.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    foundation::NotificationCenter::Token errorToken_ = 0;
    foundation::NotificationCenter::Token statusToken_ = 0;
    foundation::NotificationCenter::Token didEnableToken_ = 0;
    foundation::NotificationCenter::Token enableErrorToken_ = 0;
};
