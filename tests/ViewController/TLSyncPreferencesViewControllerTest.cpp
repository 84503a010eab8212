// The Sync pane over a real store and an embedded (or PostgreSQL) cloud
// store: what it shows, switching on with and without a usable account, the
// key-value store's templates, and the three answers of switching off.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "ViewController/TLSyncPreferencesViewController.h"
#include "kit/NSFileManagerExtras.h"
#include "platform/cloud/MemoryKeyValueStore.h"
#include "platform/desktop/Alert.h"
#include "tests/kit/SyncFixture.h"
#include "tests/support/ChildProcess.h"

namespace synctest {
namespace {

using foundation::PlistValue;
using Pane = TLSyncPreferencesViewController;

class SyncPaneTest : public SyncFixture, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        if (auto reason = useBackend(GetParam())) GTEST_SKIP() << *reason;
        SyncFixture::SetUp();
        auto& center = foundation::NotificationCenter::defaultCenter();
        postedToken_ = center.addObserver({}, nullptr, [this](const foundation::Notification& n) {
            if (n.name.rfind("TLSyncManager", 0) == 0) posted_.push_back(n.name);
        });
    }
    void TearDown() override {
        pane_.reset();
        if (postedToken_) foundation::NotificationCenter::defaultCenter().removeObserver(postedToken_);
        SyncFixture::TearDown();
    }
    // The pane over this test's store; container null: the configured account's.
    Pane& pane(std::shared_ptr<cloud::Container> container) {
        Pane::Environment environment;
        if (container) environment.container = [container] { return container; };
        environment.keyValueStore = [this] { return keyValueStore_; };
        environment.managedObjectContext = [this] { return context_; };
        environment.syncManager = [this] { return std::shared_ptr<TLCloudKitSyncManager>(engine_); };
        pane_ = std::make_unique<Pane>(std::move(environment));
        pane_->resize(480, 320);
        pane_->show();
        return *pane_;
    }
    static void setFlags(bool on) {
        auto suite = TLSettings();
        for (const char* key : {TLUserDefaultsSyncEnabled, TLUserDefaultsClipboardSync,
                                TLUserDefaultsShowClipboardSyncPushNotifications})
            suite->setBool(on, key);
    }
    static std::vector<bool> flags() {
        auto suite = TLSettings();
        return {suite->boolForKey(TLUserDefaultsSyncEnabled), suite->boolForKey(TLUserDefaultsClipboardSync),
                suite->boolForKey(TLUserDefaultsShowClipboardSyncPushNotifications),
                suite->boolForKey(TLUserDefaultsShowClipboardContentInNotification)};
    }
    std::string status() const { return pane_->lastSyncDateLabel()->text().toStdString(); }
    // Switches sync on by the box and waits for the account's answer.
    void switchOn(Pane& pane, const std::function<bool()>& answered) {
        pane.syncButton()->click();
        ASSERT_TRUE(runUntil(answered));
    }
    // Switches off by the box and answers the sheet with button index.
    void switchOff(Pane& pane, int button) {
        posted_.clear();
        setFlags(true);
        pane.viewWillAppear();
        pane.syncButton()->click();
        ASSERT_NE(pane.alert(), nullptr);
        const auto& titles = pane.alert()->buttonTitles();
        ASSERT_EQ(titles, (std::vector<std::string>{"Keep on This Mac", "Cancel", "Keep on iCloud"}));
        EXPECT_EQ(pane.alert()->messageText(), Pane::kSwitchOffMessage);
        ASSERT_TRUE(desktop::Alert::answerShown(button));
    }
    // Two clippings another device uploaded, fetched here.
    void fetchTwoClippings() {
        makeZone();
        otherSaves({clippingRecord(clippingName(1), "one"), clippingRecord(clippingName(2), "two"),
                    assetRecord(clippingName(2), "0.public.utf8-plain-text", "two")});
        fetch(std::nullopt);
        ASSERT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 2u);
    }
    size_t recordsOnServer() {
        auto dumped = other()->dump(zone());
        return dumped.ok() ? dumped.value().size() : 0;
    }

    std::shared_ptr<cloud::MemoryKeyValueStore> keyValueStore_ = std::make_shared<cloud::MemoryKeyValueStore>();
    std::unique_ptr<Pane> pane_;
    std::vector<std::string> posted_;
    uint64_t postedToken_ = 0;
};

class SyncPaneSwitchOffTest : public SyncPaneTest {};

TEST_P(SyncPaneTest, SyncOffShowsNotEnabledWithEveryOtherControlClearedAndDisabled) {
    TLSettings()->setBool(true, TLUserDefaultsClipboardSync);
    Pane& p = pane(thisContainer_);
    EXPECT_FALSE(p.syncButton()->isChecked());
    for (QCheckBox* box : {p.clipboardSyncButton(), p.notificationButton(), p.showTextInNotificationButton()}) {
        EXPECT_FALSE(box->isChecked());
        EXPECT_FALSE(box->isEnabled());
    }
    EXPECT_FALSE(p.syncNowButton()->isEnabled());
    EXPECT_EQ(status(), "Sync Not Enabled");

    // On: the status line follows the engine and falls back to the last sync.
    setFlags(true);
    p.viewWillAppear();
    EXPECT_TRUE(p.notificationButton()->isEnabled());
    EXPECT_FALSE(p.showTextInNotificationButton()->isChecked());
    EXPECT_EQ(status(), "Last Synced: Never");
    foundation::NotificationCenter::defaultCenter().post(
        foundation::Notification{TLShowSyncStatusNotification, nullptr, std::string("Uploading 3 changes"), {}});
    runUntil([&] { return status() == "Uploading 3 changes"; });
    EXPECT_EQ(status(), "Uploading 3 changes");
    TLSettings()->setObject(foundation::Date(0), TLUserDefaultsLastSyncDate);
    foundation::NotificationCenter::defaultCenter().post(TLShowSyncStatusNotification);
    runUntil([&] { return status() != "Uploading 3 changes"; });
    EXPECT_EQ(status(), Pane::lastSyncedText(0.0));
    EXPECT_NE(status().find("1970"), std::string::npos) << status();

    // Notifications off and on again: the content stays off.
    p.showTextInNotificationButton()->click();
    EXPECT_TRUE(flags()[3]);
    p.notificationButton()->click();
    p.notificationButton()->click();
    EXPECT_FALSE(p.showTextInNotificationButton()->isChecked());
    EXPECT_TRUE(p.showTextInNotificationButton()->isEnabled());
    EXPECT_EQ(flags(), (std::vector<bool>{true, true, true, false}));
    // Sync now reaches the engine.
    p.syncNowButton()->click();
    EXPECT_EQ(engine_->diagnostics, 1);

    // An error of the reconcile, posted on a worker thread, comes up as a sheet.
    std::thread([] {
        foundation::NotificationCenter::defaultCenter().post(foundation::Notification{
            TLSyncErrorNotification, nullptr, foundation::Error("CloudErrorDomain", 25, "Quota exceeded"), {}});
    }).join();
    ASSERT_TRUE(runUntil([&] { return p.alert() != nullptr; }));
    EXPECT_EQ(p.alert()->messageText(), "Quota exceeded");
    EXPECT_EQ(desktop::Alert::attachedSheet(p.window()), p.alert());
}

TEST_P(SyncPaneTest, AnAccountThatCannotBeUsedLeavesEverythingOffWithItsReason) {
    struct Row {
        const char* what;
        std::function<std::shared_ptr<cloud::Container>()> container;
        std::string informative;
    };
    const fs::path notAFolder = home_.root() / "not-a-folder";
    { std::ofstream(notAFolder) << "a file where the cloud folder should be"; }
    const std::vector<Row> rows = {
        {"no account (tavlo-cloud use none)",
         [&]() -> std::shared_ptr<cloud::Container> {
             auto use = testsupport::runCommand({TAVLO_CLOUD_TOOL, "use", "none"}, std::chrono::seconds(20));
             EXPECT_EQ(use.status, 0) << use.output;
             return nullptr;  // the configured account's container
         },
         Pane::kNoAccountText},
        {"restricted (tavlo-cloud restrict on)",
         [&] {
             auto use = testsupport::runCommand({TAVLO_CLOUD_TOOL, "use", "embedded", (home_.root() / "cloud").string(),
                                                 "--account", "tester"},
                                                std::chrono::seconds(20));
             EXPECT_EQ(use.status, 0) << use.output;
             auto restrict = testsupport::runCommand({TAVLO_CLOUD_TOOL, "restrict", "on"}, std::chrono::seconds(20));
             EXPECT_EQ(restrict.status, 0) << restrict.output;
             return thisContainer_;
         },
         Pane::kRestrictedText},
        {"an unreadable cloud folder",
         [&] {
             cloud::Configuration configuration;
             configuration.account = "tester";
             configuration.folder = notAFolder;
             return cloud::Container::make("com.tavlo.Tavlo", configuration, kThisDevice);
         },
         "Could not enable iCloud sync. ("},
    };
    for (const auto& row : rows) {
        if (GetParam() == Backend::PostgreSQL && row.informative != Pane::kRestrictedText) continue;
        posted_.clear();
        Pane& p = pane(row.container());
        switchOn(p, [&] { return p.alert() != nullptr; });
        ASSERT_NE(p.alert(), nullptr) << row.what;
        EXPECT_EQ(p.alert()->messageText(), "iCloud Sync not enabled") << row.what;
        EXPECT_EQ(p.alert()->informativeText().rfind(row.informative, 0), 0u) << row.what << ": "
                                                                             << p.alert()->informativeText();
        if (row.informative.front() == 'C') {
            EXPECT_NE(p.alert()->informativeText().find(notAFolder.string()), std::string::npos)
                << p.alert()->informativeText();
        }
        EXPECT_EQ(p.alert()->buttonTitles(), std::vector<std::string>{"OK"});
        EXPECT_FALSE(p.syncButton()->isChecked()) << row.what;
        EXPECT_EQ(flags(), (std::vector<bool>{false, false, false, false})) << row.what;
        EXPECT_EQ(status(), "Sync Not Enabled") << row.what;
        EXPECT_TRUE(std::find(posted_.begin(), posted_.end(), TLSyncManagerEnableSyncNotification) == posted_.end());
        desktop::Alert::answerShown(0);
    }
}

TEST_P(SyncPaneTest, SwitchingOnMergesTheStoresTemplatesByFormatAndAnnounces) {
    auto entry = [](const char* name, const char* format) {
        return PlistValue(PlistValue::Dictionary{{TLUserDefaultsTemplateName, PlistValue(std::string(name))},
                                                 {TLUserDefaultsTemplateFormat, PlistValue(std::string(format))}});
    };
    keyValueStore_->setObject(PlistValue(PlistValue::Array{entry("A", "{text}")}), TLUserDefaultsCopyTemplates);
    keyValueStore_->setObject(PlistValue(int64_t(250)), TLUserDefaultsClipboardSize);
    TLSettings()->setObject(PlistValue(PlistValue::Array{entry("B", "{text}"), entry("C", "{url}")}),
                            TLUserDefaultsCopyTemplates);
    Pane& p = pane(thisContainer_);
    switchOn(p, [&] {
        return std::find(posted_.begin(), posted_.end(), TLSyncManagerEnableSyncNotification) != posted_.end();
    });
    const PlistValue merged(PlistValue::Array{entry("A", "{text}"), entry("C", "{url}")});
    EXPECT_EQ(TLSettings()->objectForKey(TLUserDefaultsCopyTemplates), merged);
    EXPECT_EQ(keyValueStore_->objectForKey(TLUserDefaultsCopyTemplates), merged);
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsClipboardSize), 250);
    EXPECT_EQ(flags(), (std::vector<bool>{true, true, true, false}));
    EXPECT_TRUE(p.syncButton()->isChecked());
    EXPECT_EQ(p.alert(), nullptr);

    // The zone could not be made: everything goes back off.
    TLSettings()->setObject(PlistValue(std::vector<std::string>{"C-x"}), TLUserDefaultsDeleteTransactions);
    foundation::NotificationCenter::defaultCenter().post(TLSyncManagerEnableSyncErrorNotification);
    runUntil([&] { return !p.syncButton()->isChecked(); });
    EXPECT_FALSE(p.syncButton()->isChecked());
    EXPECT_EQ(flags(), (std::vector<bool>{false, false, false, false}));
    EXPECT_TRUE(TLSettings()->objectForKey(TLUserDefaultsDeleteTransactions).isNull());
}

TEST_P(SyncPaneSwitchOffTest, CancelLeavesSyncOnAndTicksTheBoxAgain) {
    Pane& p = pane(thisContainer_);
    switchOff(p, 1);
    EXPECT_TRUE(p.syncButton()->isChecked());
    EXPECT_EQ(flags(), (std::vector<bool>{true, true, true, false}));
    EXPECT_TRUE(posted_.empty());
}

TEST_P(SyncPaneSwitchOffTest, KeepOnThisMacRemovesTheZoneAndForgetsEveryRecordButKeepsTheClippings) {
    fetchTwoClippings();
    for (const auto& clipping : objects<Clipping>(Clipping::kEntityName)) ASSERT_TRUE(clipping->recordSystemFields());
    Pane& p = pane(thisContainer_);
    switchOff(p, 0);
    ASSERT_TRUE(runUntil([&] { return !TLSettings()->boolForKey(TLUserDefaultsSyncEnabled); }));
    EXPECT_FALSE(p.syncButton()->isChecked());
    EXPECT_EQ(posted_, std::vector<std::string>{TLSyncManagerDidDisableSyncNotification});
    EXPECT_FALSE(other()->fetchZone(zone()).ok()) << "the zone is gone";
    EXPECT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 2u);
    EXPECT_EQ(objects<Asset>(Asset::kEntityName).size(), 1u);
    for (const char* entity : {Clipping::kEntityName, Asset::kEntityName})
        for (const auto& object : objects<TLSyncedObject>(entity)) EXPECT_FALSE(object->recordSystemFields()) << entity;

    // Switching on again uploads every object as the delegate's reconcile does.
    auto engine = std::make_shared<TLCloudKitSyncManager>(thisContainer_, database_, pasteboard_);
    engine->setManagedObjectContext(context_);
    std::atomic<bool> created{false};
    engine->createTavloRecordZone(zone(), [&](bool) { created = true; });
    ASSERT_TRUE(runUntil([&] { return created.load(); }));
    setFlags(true);
    engine->runCloudKitDiagnostics();
    ASSERT_TRUE(runUntil([&] { return engine->isIdle() && recordsOnServer() == 3; }, std::chrono::seconds(30)));
    engine->setManagedObjectContext(nullptr);
}

TEST_P(SyncPaneSwitchOffTest, KeepOnICloudEmptiesThisDeviceWhileTheZoneAndTheOtherDevicesPushesStay) {
    fetchTwoClippings();
    const cloud::Subscription subscription{TLCloudKitSyncManager::kTavloSubscriptionID, zone(), true, ""};
    ASSERT_TRUE(self()->modifySubscriptions({subscription}, {}).ok());
    ASSERT_TRUE(other()->modifySubscriptions({subscription}, {}).ok());
    const fs::path assets = NSFileManagerExtras::localAssetsDirectory().filePath();
    ASSERT_TRUE(fs::exists(assets / clippingName(2)));

    Pane& p = pane(thisContainer_);
    switchOff(p, 2);
    ASSERT_TRUE(runUntil([&] {
        auto mine = self()->fetchSubscriptions();
        return mine.ok() && mine.value().empty();
    }));
    EXPECT_EQ(flags(), (std::vector<bool>{false, false, false, false}));
    EXPECT_FALSE(p.syncButton()->isChecked());
    EXPECT_EQ(posted_, std::vector<std::string>{TLSyncManagerDidDisableSyncNotification});
    for (const char* entity : {List::kEntityName, Clipping::kEntityName, Asset::kEntityName})
        EXPECT_TRUE(objects<TLSyncedObject>(entity).empty()) << entity;
    EXPECT_FALSE(fs::exists(assets));
    // Written through to the file: a fresh look at the store finds nothing.
    ASSERT_TRUE(runUntil([&] {
        auto count = database_->parentManagedObjectContext()->count(store::FetchRequest(Clipping::kEntityName));
        return count.ok() && count.value() == 0;
    }));
    EXPECT_TRUE(other()->fetchZone(zone()).ok());
    EXPECT_EQ(recordsOnServer(), 3u);
    auto theirs = other()->fetchSubscriptions();
    ASSERT_TRUE(theirs.ok());
    EXPECT_EQ(theirs.value().size(), 1u) << "the other device keeps its pushes";
}

INSTANTIATE_TEST_SUITE_P(Embedded, SyncPaneTest, ::testing::Values(Backend::Embedded), backendName);
INSTANTIATE_TEST_SUITE_P(Backends, SyncPaneSwitchOffTest, kBothBackends, backendName);

}  // namespace
}  // namespace synctest
