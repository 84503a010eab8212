#include "TLSyncSwitch.h"

#include <filesystem>
#include <string>
#include <vector>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLCloudKitSyncManager.h"
#include "kit/TLSettings.h"
#include "kit/TLSyncedObject.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/Database.h"
#include "platform/cloud/ModifyRecordZonesOperation.h"
#include "platform/cloud/ModifySubscriptionsOperation.h"
#include "platform/cloud/UbiquitousKeyValueStore.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"

namespace {

using foundation::PlistValue;

constexpr int64_t kUserInitiated = 25;
constexpr const char* kSyncedEntities[] = {List::kEntityName, Clipping::kEntityName, Asset::kEntityName};

void post(const char* name) { foundation::NotificationCenter::defaultCenter().post(name); }

// Every flag of the pane off, and what ties this device to the zone's history gone.
void storeAllOff() {
    auto suite = TLSettings();
    for (const char* key : {TLUserDefaultsSyncEnabled, TLUserDefaultsClipboardSync,
                            TLUserDefaultsShowClipboardSyncPushNotifications,
                            TLUserDefaultsShowClipboardContentInNotification})
        suite->setBool(false, key);
    suite->removeObjectForKey(TLUserDefaultsCloudKitServerChangeToken);
    suite->removeObjectForKey(TLUserDefaultsiCloudUbiquityTokenIdentifier);
    suite->synchronize();
}

std::optional<std::string> templateFormat(const PlistValue& entry) {
    const PlistValue* format = entry.get(TLUserDefaultsTemplateFormat);
    if (!format || !format->asString()) return std::nullopt;
    return *format->asString();
}

}  // namespace

void TLSyncSwitch::storeSyncFlags(bool on) {
    auto suite = TLSettings();
    for (const char* key : {TLUserDefaultsSyncEnabled, TLUserDefaultsClipboardSync,
                            TLUserDefaultsShowClipboardSyncPushNotifications})
        suite->setBool(on, key);
    suite->synchronize();
}

void TLSyncSwitch::storeSwitchedOn() {
    storeSyncFlags(true);
    post(TLUserDefaultsSyncEnabled);
}

void TLSyncSwitch::storeSwitchedOff() {
    storeSyncFlags(false);
    auto suite = TLSettings();
    for (const char* key : {TLUserDefaultsCloudKitServerChangeToken, TLUserDefaultsiCloudUbiquityTokenIdentifier,
                            TLUserDefaultsDeleteTransactions})
        suite->removeObjectForKey(key);
    suite->synchronize();
}

void TLSyncSwitch::mergeFromKeyValueStore(cloud::UbiquitousKeyValueStore& store) {
    auto suite = TLSettings();
    if (PlistValue searches = store.objectForKey(TLUserDefaultsRecentSearches); !searches.isNull())
        suite->setObject(searches, TLUserDefaultsRecentSearches);

    const PlistValue stored = store.objectForKey(TLUserDefaultsCopyTemplates);
    const auto local = suite->arrayForKey(TLUserDefaultsCopyTemplates);
    if (const auto* remote = stored.asArray()) {
        PlistValue::Array merged = *remote;
        // Matched by format alone: a local template whose format the store has goes, whatever its name.
        for (const PlistValue& entry : local.value_or(PlistValue::Array{})) {
            auto format = templateFormat(entry);
            bool known = false;
            for (const PlistValue& kept : merged)
                if (format && templateFormat(kept) == format) known = true;
            if (!known) merged.push_back(entry);
        }
        suite->setObject(PlistValue(merged), TLUserDefaultsCopyTemplates);
        store.setObject(PlistValue(std::move(merged)), TLUserDefaultsCopyTemplates);
        store.synchronize();
    } else if (local) {
        store.setObject(PlistValue(*local), TLUserDefaultsCopyTemplates);
        store.synchronize();
    }

    if (PlistValue limit = store.objectForKey(TLUserDefaultsClipboardSize); !limit.isNull()) {
        suite->setObject(limit, TLUserDefaultsClipboardSize);
        post(TLUserDefaultsClipboardSize);
    }
    suite->synchronize();
}

void TLSyncSwitch::keepOnThisMac(const std::shared_ptr<cloud::Container>& container,
                                 const std::shared_ptr<store::Context>& mainContext, std::function<void()> switchedOff,
                                 std::function<void(bool)> completion) {
    auto operation = std::make_shared<cloud::ModifyRecordZonesOperation>(
        std::vector<cloud::RecordZoneID>{},
        std::vector<cloud::RecordZoneID>{cloud::RecordZoneID{TLCloudKitSyncManager::kTavloRecordZoneName}});
    operation->setQualityOfService(kUserInitiated);
    operation->setModifyRecordZonesCompletionBlock(
        [mainContext, switchedOff, completion](const std::vector<cloud::RecordZoneID>&,
                                               const std::vector<cloud::RecordZoneID>&,
                                               const std::optional<cloud::Error>& error) {
            const bool deleted = !error;
            dispatch::Queue::main()->async([mainContext, switchedOff, completion, deleted] {
                if (deleted) {
                    storeAllOff();
                    if (switchedOff) switchedOff();
                    post(TLSyncManagerDidDisableSyncNotification);
                    // Every object counts as never uploaded from now on.
                    mainContext->performBlockAndWait([&] {
                        for (const char* entity : kSyncedEntities) {
                            auto found = mainContext->fetch(store::FetchRequest(entity));
                            if (!found) continue;
                            for (const auto& object : found.value())
                                if (auto synced = std::dynamic_pointer_cast<TLSyncedObject>(object))
                                    synced->setRecordSystemFields(std::nullopt);
                        }
                        if (mainContext->hasChanges()) (void)mainContext->save();
                    });
                }
                if (completion) completion(deleted);
            });
        });
    container->privateCloudDatabase()->addOperation(operation);
}

void TLSyncSwitch::keepOnICloud(const std::shared_ptr<cloud::Container>& container,
                                const std::shared_ptr<store::Context>& mainContext, std::function<void()> switchedOff) {
    storeAllOff();
    if (switchedOff) switchedOff();
    std::error_code ignored;
    std::filesystem::remove_all(NSFileManagerExtras::localAssetsDirectory().filePath(), ignored);

    // The engine goes before anything is deleted, so no deletion goes up.
    post(TLSyncManagerDidDisableSyncNotification);
    auto eraser = std::make_shared<store::Context>(store::ConcurrencyType::PrivateQueue);
    eraser->setParentContext(mainContext);
    bool erased = false;
    eraser->performBlockAndWait([&] {
        for (const char* entity : kSyncedEntities) {
            auto found = eraser->fetch(store::FetchRequest(entity));
            if (!found) continue;
            for (const auto& object : found.value()) eraser->deleteObject(object);
        }
        if (!eraser->hasChanges()) return;
        auto saved = eraser->save();
        if (!saved) TLLogError(TLLogContextGeneral, "error: %@", saved.error().description());
        erased = saved.ok();
    });
    if (erased)
        mainContext->performBlock([mainContext] {
            if (auto saved = mainContext->save(); !saved)
                TLLogError(TLLogContextGeneral, "error: %@", saved.error().description());
        });

    // The subscriptions of this device: the other devices keep theirs and their pushes.
    auto database = container->privateCloudDatabase();
    database->fetchAllSubscriptions(
        [database](const std::vector<cloud::Subscription>& subscriptions, const std::optional<cloud::Error>& error) {
            if (error || subscriptions.empty()) return;
            std::vector<std::string> ids;
            for (const auto& subscription : subscriptions) ids.push_back(subscription.subscriptionID);
            auto operation =
                std::make_shared<cloud::ModifySubscriptionsOperation>(std::vector<cloud::Subscription>{}, ids);
            operation->setQualityOfService(kUserInitiated);
            database->addOperation(operation);
        });
}
