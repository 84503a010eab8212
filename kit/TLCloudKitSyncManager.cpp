#include "TLCloudKitSyncManager.h"

#include "platform/dispatch/Queue.h"

TLCloudKitSyncManager::TLCloudKitSyncManager() = default;
TLCloudKitSyncManager::~TLCloudKitSyncManager() = default;

void TLCloudKitSyncManager::startCloudKitSync(std::shared_ptr<store::Context> context) {
    setManagedObjectContext(std::move(context));
}

void TLCloudKitSyncManager::setManagedObjectContext(std::shared_ptr<store::Context> context) {
    managedObjectContext_ = std::move(context);
}

void TLCloudKitSyncManager::checkServerForTavloRecordZone(std::function<void(bool found)> completion) {
    if (completion) dispatch::Queue::global()->async([completion] { completion(false); });
}

void TLCloudKitSyncManager::createTavloRecordZone(const cloud::RecordZoneID&, std::function<void(bool created)> completion) {
    if (completion) dispatch::Queue::global()->async([completion] { completion(false); });
}

cloud::RecordZoneID TLCloudKitSyncManager::tavloRecordZoneID() const { return {kTavloRecordZoneName}; }

void TLCloudKitSyncManager::runCloudKitDiagnostics() {}
