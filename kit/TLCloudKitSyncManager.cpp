#include "TLCloudKitSyncManager.h"

#include "platform/cloud/Container.h"
#include "platform/cloud/Database.h"
#include "platform/cloud/ModifyRecordZonesOperation.h"

TLCloudKitSyncManager::TLCloudKitSyncManager() : TLCloudKitSyncManager(cloud::Container::defaultContainer()) {}

TLCloudKitSyncManager::TLCloudKitSyncManager(std::shared_ptr<cloud::Container> container)
    : container_(std::move(container)), database_(container_->privateCloudDatabase()) {}

TLCloudKitSyncManager::~TLCloudKitSyncManager() = default;

void TLCloudKitSyncManager::startCloudKitSync(std::shared_ptr<store::Context> context) {
    setManagedObjectContext(std::move(context));
}

void TLCloudKitSyncManager::setManagedObjectContext(std::shared_ptr<store::Context> context) {
    managedObjectContext_ = std::move(context);
}

void TLCloudKitSyncManager::checkServerForTavloRecordZone(std::function<void(bool found)> completion) {
    database_->fetchRecordZoneWithID(tavloRecordZoneID(),
                                     [completion](const std::optional<cloud::RecordZoneID>&,
                                                  const std::optional<cloud::Error>& error) {
                                         if (completion) completion(!error);
                                     });
}

void TLCloudKitSyncManager::createTavloRecordZone(const cloud::RecordZoneID& zoneID,
                                                  std::function<void(bool created)> completion) {
    auto operation = std::make_shared<cloud::ModifyRecordZonesOperation>(std::vector<cloud::RecordZoneID>{zoneID},
                                                                         std::vector<cloud::RecordZoneID>{});
    operation->setQualityOfService(25);
    operation->setModifyRecordZonesCompletionBlock(
        [completion](const std::vector<cloud::RecordZoneID>&, const std::vector<cloud::RecordZoneID>&,
                     const std::optional<cloud::Error>& error) {
            if (completion) completion(!error);
        });
    database_->addOperation(operation);
}

cloud::RecordZoneID TLCloudKitSyncManager::tavloRecordZoneID() const { return {kTavloRecordZoneName}; }

void TLCloudKitSyncManager::runCloudKitDiagnostics() {}
