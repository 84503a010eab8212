#include "TLSyncPreferencesViewController.h"

#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include "kit/TLCloudKitSyncManager.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLSettings.h"
#include "kit/TLSyncSwitch.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/UbiquitousKeyValueStore.h"
#include "platform/desktop/Alert.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/UserDefaults.h"

namespace {

void post(const char* name) { foundation::NotificationCenter::defaultCenter().post(name); }

}  // namespace

TLSyncPreferencesViewController::TLSyncPreferencesViewController(Environment environment, QWidget* parent)
    : QWidget(parent),
      environment_(std::move(environment)),
      syncButton_(new QCheckBox(QStringLiteral("Sync clippings and lists with iCloud"), this)),
      clipboardSyncButton_(new QCheckBox(QStringLiteral("Sync the clipboard between devices"), this)),
      notificationButton_(new QCheckBox(QStringLiteral("Show a notification when the clipboard is synced"), this)),
      showTextInNotificationButton_(new QCheckBox(QStringLiteral("Show the clipboard's content in the notification"), this)),
      lastSyncDateLabel_(new QLabel(this)),
      syncNowButton_(new QPushButton(QStringLiteral("Sync Now"), this)) {
    setObjectName(QStringLiteral("Sync"));
    if (!environment_.container) environment_.container = [] { return cloud::Container::defaultContainer(); };
    if (!environment_.keyValueStore)
        environment_.keyValueStore = [] { return cloud::UbiquitousKeyValueStore::defaultStore(); };
    if (!environment_.managedObjectContext)
        environment_.managedObjectContext = [] { return TLDatabaseManager::sharedManager()->managedObjectContext(); };
    lastSyncDateLabel_->setObjectName(QStringLiteral("lastSyncDateLabel"));
    lastSyncDateLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(syncButton_);
    auto* clipboard = new QVBoxLayout;
    clipboard->setContentsMargins(20, 0, 0, 0);
    clipboard->addWidget(clipboardSyncButton_);
    auto* notifications = new QVBoxLayout;
    notifications->setContentsMargins(20, 0, 0, 0);
    notifications->addWidget(notificationButton_);
    notifications->addWidget(showTextInNotificationButton_);
    clipboard->addLayout(notifications);
    layout->addLayout(clipboard);
    layout->addSpacing(12);
    auto* status = new QHBoxLayout;
    status->addWidget(lastSyncDateLabel_, 1);
    status->addWidget(syncNowButton_);
    layout->addLayout(status);
    layout->addStretch(1);

    connect(syncButton_, &QCheckBox::clicked, this, [this] { toggleSync(); });
    connect(clipboardSyncButton_, &QCheckBox::clicked, this, [this] { toggleClipboardSync(); });
    connect(notificationButton_, &QCheckBox::clicked, this, [this] { toggleNotification(); });
    connect(showTextInNotificationButton_, &QCheckBox::clicked, this, [this] { toggleShowTextInNotification(); });
    connect(syncNowButton_, &QPushButton::clicked, this, [this] { syncNow(); });

    observe(TLSyncErrorNotification, [this](const foundation::Notification& n) { syncError(n); }, errorToken_);
    viewWillAppear();
}

TLSyncPreferencesViewController::~TLSyncPreferencesViewController() {
    *alive_ = false;
    auto& center = foundation::NotificationCenter::defaultCenter();
    for (auto token : {errorToken_, statusToken_, didEnableToken_, enableErrorToken_})
        if (token) center.removeObserver(token);
}

void TLSyncPreferencesViewController::observe(const char* name,
                                              std::function<void(const foundation::Notification&)> handler,
                                              foundation::NotificationCenter::Token& token) {
    token = foundation::NotificationCenter::defaultCenter().addObserver(name, nullptr, std::move(handler));
}

void TLSyncPreferencesViewController::showEvent(QShowEvent* event) {
    viewWillAppear();
    QWidget::showEvent(event);
}

void TLSyncPreferencesViewController::viewWillAppear() {
    auto suite = TLSettings();
    const bool sync = suite->boolForKey(TLUserDefaultsSyncEnabled);
    const bool clipboard = suite->boolForKey(TLUserDefaultsClipboardSync);
    const bool notification = suite->boolForKey(TLUserDefaultsShowClipboardSyncPushNotifications);
    const bool content = suite->boolForKey(TLUserDefaultsShowClipboardContentInNotification);
    syncButton_->setChecked(sync);
    if (sync) {
        clipboardSyncButton_->setChecked(clipboard);
        notificationButton_->setChecked(notification);
        showTextInNotificationButton_->setChecked(content);
        clipboardSyncButton_->setEnabled(true);
        notificationButton_->setEnabled(clipboard);
        showTextInNotificationButton_->setEnabled(clipboard && notification);
        syncNowButton_->setEnabled(true);
        showStatus(std::nullopt);
    } else {
        for (QCheckBox* box : {clipboardSyncButton_, notificationButton_, showTextInNotificationButton_}) {
            box->setChecked(false);
            box->setEnabled(false);
        }
        syncNowButton_->setEnabled(false);
        lastSyncDateLabel_->setText(QString::fromUtf8(kNotEnabledText));
    }
    if (!statusToken_) {
        observe(
            TLShowSyncStatusNotification,
            [this, alive = std::weak_ptr<bool>(alive_)](const foundation::Notification& n) {
                std::optional<std::string> text;
                if (const auto* value = n.valueAs<std::string>()) text = *value;
                dispatch::Queue::main()->async([this, alive, text] {
                    if (auto held = alive.lock(); held && *held) showStatus(text);
                });
            },
            statusToken_);
    }
}

std::string TLSyncPreferencesViewController::lastSyncedText(const std::optional<double>& secondsSince1970) {
    if (!secondsSince1970) return "Last Synced: Never";
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(qint64(*secondsSince1970 * 1000));
    return "Last Synced: " + QLocale::system().toString(date, QLocale::ShortFormat).toStdString();
}

void TLSyncPreferencesViewController::showStatus(const std::optional<std::string>& status) {
    if (status) {
        lastSyncDateLabel_->setText(QString::fromStdString(*status));
        return;
    }
    std::optional<double> seconds;
    if (auto date = TLSettings()->dateForKey(TLUserDefaultsLastSyncDate)) seconds = date->timeIntervalSince1970();
    lastSyncDateLabel_->setText(QString::fromStdString(lastSyncedText(seconds)));
}

void TLSyncPreferencesViewController::toggleSync() {
    if (syncButton_->isChecked()) startiCloudSync();
    else stopiCloudSync();
}

desktop::Alert& TLSyncPreferencesViewController::newAlert() {
    if (alert_) alert_->withdraw();
    alert_ = std::make_unique<desktop::Alert>();
    return *alert_;
}

void TLSyncPreferencesViewController::startiCloudSync() {
    TLSyncSwitch::storeSwitchedOn();
    viewWillAppear();
    auto container = environment_.container();
    if (!container) return;
    std::weak_ptr<bool> alive = alive_;
    container->accountStatus([this, alive](int64_t status, std::optional<cloud::Error> error) {
        dispatch::Queue::main()->async([this, alive, status, error] {
            auto held = alive.lock();
            if (!held || !*held) return;
            if (status != cloud::Container::kAvailable) {
                // Nothing stays half on: the flags go back off with the box.
                TLSyncSwitch::storeSyncFlags(false);
                viewWillAppear();
                desktop::Alert& alert = newAlert();
                alert.setMessageText(kAccountAlertMessage);
                if (status == cloud::Container::kCouldNotDetermine)
                    alert.setInformativeText(foundation::format("Could not enable iCloud sync. (%@)",
                                                                error ? error->description : std::string()));
                else if (status == cloud::Container::kRestricted) alert.setInformativeText(kRestrictedText);
                else if (status == cloud::Container::kNoAccount) alert.setInformativeText(kNoAccountText);
                alert.addButtonWithTitle("OK");
                alert.beginSheetModalForWindow(window(), [](int) {});
                return;
            }
            if (auto store = environment_.keyValueStore()) TLSyncSwitch::mergeFromKeyValueStore(*store);
            auto suite = TLSettings();
            suite->setBool(true, TLUserDefaultsSyncEnabled);
            suite->synchronize();
            stopObservingEnable();
            auto onMain = [this, alive](void (TLSyncPreferencesViewController::*handler)()) {
                return [this, alive, handler](const foundation::Notification&) {
                    dispatch::Queue::main()->async([this, alive, handler] {
                        if (auto held = alive.lock(); held && *held) (this->*handler)();
                    });
                };
            };
            observe(TLSyncManagerDidEnableSyncNotification, onMain(&TLSyncPreferencesViewController::syncEnabled),
                    didEnableToken_);
            observe(TLSyncManagerEnableSyncErrorNotification,
                    onMain(&TLSyncPreferencesViewController::enableSyncFailed), enableErrorToken_);
            post(TLSyncManagerEnableSyncNotification);
        });
    });
}

void TLSyncPreferencesViewController::stopiCloudSync() {
    desktop::Alert& alert = newAlert();
    alert.setMessageText(kSwitchOffMessage);
    alert.setInformativeText(kSwitchOffInformation);
    alert.addButtonWithTitle(kKeepOnThisMacTitle);
    alert.addButtonWithTitle(kCancelTitle);
    alert.addButtonWithTitle(kKeepOnICloudTitle);
    std::weak_ptr<bool> alive = alive_;
    alert.beginSheetModalForWindow(window(), [this, alive](int response) {
        auto held = alive.lock();
        if (!held || !*held) return;
        if (response == desktop::Alert::kFirstButtonReturn) keepOnThisMac();
        else if (response == desktop::Alert::kFirstButtonReturn + 2) keepOnICloud();
        else syncButton_->setChecked(true);
    });
}

void TLSyncPreferencesViewController::keepOnThisMac() {
    auto container = environment_.container();
    if (!container) return;
    std::weak_ptr<bool> alive = alive_;
    TLSyncSwitch::keepOnThisMac(container, environment_.managedObjectContext(), [this, alive] {
        if (auto held = alive.lock(); held && *held) viewWillAppear();
    });
}

void TLSyncPreferencesViewController::keepOnICloud() {
    auto container = environment_.container();
    if (!container) return;
    TLSyncSwitch::keepOnICloud(container, environment_.managedObjectContext(), [this] { viewWillAppear(); });
}

void TLSyncPreferencesViewController::toggleClipboardSync() {
    auto suite = TLSettings();
    const bool on = clipboardSyncButton_->isChecked();
    suite->setBool(on, TLUserDefaultsClipboardSync);
    if (on) {
        suite->setBool(true, TLUserDefaultsShowClipboardSyncPushNotifications);
        notificationButton_->setChecked(true);
        notificationButton_->setEnabled(true);
        showTextInNotificationButton_->setEnabled(true);
    } else {
        suite->setBool(false, TLUserDefaultsShowClipboardSyncPushNotifications);
        suite->setBool(false, TLUserDefaultsShowClipboardContentInNotification);
        for (QCheckBox* box : {notificationButton_, showTextInNotificationButton_}) {
            box->setChecked(false);
            box->setEnabled(false);
        }
    }
    suite->synchronize();
    post(TLUserDefaultsClipboardSync);
}

void TLSyncPreferencesViewController::toggleNotification() {
    auto suite = TLSettings();
    const bool on = notificationButton_->isChecked();
    suite->setBool(on, TLUserDefaultsShowClipboardSyncPushNotifications);
    showTextInNotificationButton_->setEnabled(on);
    showTextInNotificationButton_->setChecked(false);
    suite->setBool(false, TLUserDefaultsShowClipboardContentInNotification);
    suite->synchronize();
    post(TLUserDefaultsShowClipboardSyncPushNotifications);
}

void TLSyncPreferencesViewController::toggleShowTextInNotification() {
    auto suite = TLSettings();
    suite->setBool(showTextInNotificationButton_->isChecked(), TLUserDefaultsShowClipboardContentInNotification);
    suite->synchronize();
    post(TLUserDefaultsShowClipboardContentInNotification);
}

void TLSyncPreferencesViewController::syncNow() {
    if (!environment_.syncManager) return;
    if (auto engine = environment_.syncManager()) engine->runCloudKitDiagnostics();
}

void TLSyncPreferencesViewController::syncError(const foundation::Notification& notification) {
    const auto* error = notification.valueAs<foundation::Error>();
    if (!error) return;
    std::weak_ptr<bool> alive = alive_;
    dispatch::Queue::main()->async([this, alive, error = *error] {
        auto held = alive.lock();
        if (!held || !*held) return;
        desktop::Alert& alert = newAlert();
        alert.setMessageText(error.localizedDescription());
        alert.addButtonWithTitle("OK");
        alert.beginSheetModalForWindow(window(), [](int) {});
    });
}

void TLSyncPreferencesViewController::stopObservingEnable() {
    auto& center = foundation::NotificationCenter::defaultCenter();
    for (auto* token : {&didEnableToken_, &enableErrorToken_}) {
        if (*token) center.removeObserver(*token);
        *token = 0;
    }
}

void TLSyncPreferencesViewController::enableSyncFailed() {
    stopObservingEnable();
    TLSyncSwitch::storeSwitchedOff();
    viewWillAppear();
}

void TLSyncPreferencesViewController::syncEnabled() { stopObservingEnable(); }
