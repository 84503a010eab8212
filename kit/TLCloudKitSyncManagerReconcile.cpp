// The sync engine's full reconcile: every record's comparison fields from the
// zone, compared with the store by identifier and date, then what is newer on
// the server downloaded and what is newer here uploaded.

#include <set>
#include <unordered_map>

#include "TLCloudKitSyncManager.h"
#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLCloudKitSyncManagerShared.h"
#include "kit/TLDatabaseManager.h"
#include "logging/TLLog.h"
#include "platform/cloud/Database.h"
#include "platform/cloud/FetchRecordChangesOperation.h"
#include "platform/cloud/FetchRecordsOperation.h"
#include "platform/foundation/Error.h"
#include "platform/store/Context.h"

using syncshared::postError;
using syncshared::postStatus;
using syncshared::printableName;

// One reconcile's working sets.
struct TLCloudKitSyncManager::Comparison {
    std::vector<cloud::RecordID> toFetch;
    std::vector<cloud::Record> toUpload;
    ObjectsByName objects;
};

namespace {

const char* yesNo(const TLSyncedObject& object) { return object.sync().value_or(false) ? "YES" : "NO"; }

}  // namespace

void TLCloudKitSyncManager::runCloudKitDiagnostics() {
    TLLogWarning(TLLogContextSync, "Running sync diagnostics to keep data in sync");
    auto lists = std::make_shared<std::vector<cloud::Record>>();
    auto clippings = std::make_shared<std::vector<cloud::Record>>();
    auto assets = std::make_shared<std::vector<cloud::Record>>();
    fetchAllLists(lists, clippings, assets, std::nullopt, [weak = weakSelf(), lists, clippings, assets](bool) {
        if (auto self = weak.lock()) self->compareListRecords(*lists, *clippings, *assets);
    });
    checkSubscription();
}

void TLCloudKitSyncManager::fetchAllLists(RecordArrays lists, RecordArrays clippings, RecordArrays assets,
                                          const std::optional<cloud::ServerChangeToken>& changeToken,
                                          std::function<void(bool)> completion) {
    TLLogInfo(TLLogContextSync, "Fetching all records from CloudKit");
    postStatus("Fetching records");
    auto operation = std::make_shared<cloud::FetchRecordChangesOperation>(tavloRecordZoneID(), changeToken);
    operation->setDesiredKeys({"name", "clippingID", "tavloDate", "addDate"});
    operation->setQualityOfService(25);
    // The blocks of one operation run one after the other.
    operation->setRecordChangedBlock([lists, clippings, assets](const cloud::Record& record) {
        if (record.recordType() == List::kEntityName) lists->push_back(record);
        else if (record.recordType() == Clipping::kEntityName) clippings->push_back(record);
        else if (record.recordType() == Asset::kEntityName) assets->push_back(record);
    });
    std::weak_ptr<cloud::FetchRecordChangesOperation> weakOperation = operation;
    operation->setFetchRecordChangesCompletionBlock(
        [weak = weakSelf(), weakOperation, lists, clippings, assets, completion = std::move(completion), hold = busy()](
            const std::optional<cloud::ServerChangeToken>& token, const std::optional<foundation::Data>&,
            const std::optional<cloud::Error>& error) {
            auto self = weak.lock();
            if (!self) return;
            if (error) {
                postError(*error);
                postStatus(std::nullopt);
                return;
            }
            auto operation = weakOperation.lock();
            if (operation && operation->moreComing()) {
                self->fetchAllLists(lists, clippings, assets, token, completion);
                return;
            }
            storeToken(token);
            TLLogInfo(TLLogContextSync, "All records fetched. %@ List. %@ Clipping. %@ Asset",
                      static_cast<int64_t>(lists->size()), static_cast<int64_t>(clippings->size()),
                      static_cast<int64_t>(assets->size()));
            postStatus("Checking for changes");
            if (completion) completion(true);
        });
    addOperation(operation);
}

void TLCloudKitSyncManager::compareEntity(const char* entity, const std::vector<cloud::Record>& records,
                                          Comparison& comparison) {
    auto& import = *importManagedObjectContext_;
    const char* key = syncshared::identifierKey(entity);
    store::FetchRequest request(entity);
    request.sortDescriptors = {{"modifiedDate", false}};
    // Every object's identifier, date, flag and system fields are read below:
    // one query for all of them instead of one per object.
    request.returnsObjectsAsFaults = false;
    // Every local object of the entity by identifier, newest first: one
    // look-up per record instead of a pass over every object.
    std::unordered_map<std::string, std::vector<std::shared_ptr<TLSyncedObject>>> unmatched;
    if (auto found = import.fetch(request))
        for (const auto& object : found.value()) {
            auto synced = std::dynamic_pointer_cast<TLSyncedObject>(object);
            const store::Value id = object->valueForKey(key);
            if (synced && id.kind() == store::Value::Kind::String) unmatched[id.string()].push_back(std::move(synced));
        }
    // Further objects of one identifier are copies of the newest.
    auto keepNewest = [&](std::vector<std::shared_ptr<TLSyncedObject>>& same) {
        for (size_t i = 1; i < same.size(); ++i) import.deleteObject(same[i]);
        return same.front();
    };

    for (const auto& record : records) {
        const std::string& name = record.recordID().recordName;
        auto it = unmatched.find(name);
        if (it == unmatched.end()) {
            TLLogDebug(TLLogContextSync, "%@ - RECORD IS NOT IN DATABASE", printableName(name));
            comparison.toFetch.push_back(record.recordID());
            continue;
        }
        auto object = keepNewest(it->second);
        unmatched.erase(it);
        const auto local = object->modifiedDate();
        const auto remote = record.modificationDate();
        if (local && remote && *local > *remote) {
            TLLogDebug(TLLogContextSync, "%@ - DATABASE OBJECT IS NEWER (%@)", name, yesNo(*object));
            cloud::Record upload = record;
            if (putObjectValues(upload, *object)) {
                comparison.toUpload.push_back(std::move(upload));
                comparison.objects[name] = object;
            }
        } else if (local && remote && *local < *remote) {
            TLLogDebug(TLLogContextSync, "%@ - CLOUD RECORD IS NEWER (%@)", name, yesNo(*object));
            comparison.toFetch.push_back(record.recordID());
        } else {
            TLLogDebug(TLLogContextSync, "%@ - IN SYNC (%@)", name, yesNo(*object));
            if (object->sync().value_or(false)) object->setSync(false);
            // Unchanged fields are not written again (a reconcile of a large
            // history in step would otherwise save every object).
            const foundation::Data fields = record.encodeSystemFields();
            if (object->recordSystemFields() != fields) object->setRecordSystemFields(fields);
        }
    }
    for (auto& [name, same] : unmatched) {
        auto object = keepNewest(same);
        if (std::string_view(entity) == List::kEntityName)
            TLLogDebug(TLLogContextSync, "%@ - DATABASE OBJECT NOT IN CLOUDKIT", name);
        else
            TLLogDebug(TLLogContextSync, "%@ - DATABASE OBJECT NOT IN CLOUDKIT (SYNC: %@)", name, yesNo(*object));
        if (auto record = newRecordForObject(*object)) {
            comparison.toUpload.push_back(std::move(*record));
            comparison.objects[name] = object;
        }
    }
}

void TLCloudKitSyncManager::compareListRecords(const std::vector<cloud::Record>& lists,
                                               const std::vector<cloud::Record>& clippings,
                                               const std::vector<cloud::Record>& assets) {
    auto import = importManagedObjectContext_;
    if (!import) {
        postStatus(std::nullopt);
        return;
    }
    auto comparison = std::make_shared<Comparison>();
    import->performBlockAndWait([&] {
        compareEntity(List::kEntityName, lists, *comparison);
        compareEntity(Clipping::kEntityName, clippings, *comparison);
        compareEntity(Asset::kEntityName, assets, *comparison);
        saveImportedChanges("Error saving database changes: %@");
    });

    // A record this device deleted and has yet to delete on the server is
    // not fetched back: the upload below deletes it there.
    if (auto pending = pendingDeletions(); !pending.empty()) {
        const std::set<std::string> deleted(pending.begin(), pending.end());
        std::erase_if(comparison->toFetch, [&](const cloud::RecordID& id) { return deleted.count(id.recordName) > 0; });
    }

    auto upload = [weak = weakSelf(), comparison, hold = busy()] {
        auto self = weak.lock();
        if (!self) return;
        self->saveRecordsToCloudKit(std::move(comparison->toUpload), std::move(comparison->objects),
                                    self->importManagedObjectContext_,
                                    [](bool, const std::optional<cloud::Error>& error) {
                                        // The date goes first: whoever sees the status cleared
                                        // finds the finished reconcile's date.
                                        syncshared::storeLastSyncDate();
                                        postStatus(std::nullopt);
                                        if (error) {
                                            TLLogWarning(TLLogContextSync, "Error saving records to CloudKit: %@",
                                                         error->description);
                                            postError(*error);
                                        }
                                    });
    };
    if (comparison->toFetch.empty()) {
        upload();
        return;
    }
    TLLogInfo(TLLogContextSync, "Fetching %@ records from CloudKit", static_cast<int64_t>(comparison->toFetch.size()));
    postStatus("Syncing from iCloud");
    fetchRecordsWithRecordIDs(comparison->toFetch, 0, upload);
}

void TLCloudKitSyncManager::fetchRecordsWithRecordIDs(std::vector<cloud::RecordID> recordIDs, size_t startingIndex,
                                                      std::function<void()> completion) {
    const size_t end = std::min(recordIDs.size(), startingIndex + kMaxFetchBatch);
    std::vector<cloud::RecordID> batch(recordIDs.begin() + static_cast<ptrdiff_t>(startingIndex),
                                       recordIDs.begin() + static_cast<ptrdiff_t>(end));
    auto importSave = [weak = weakSelf()] {
        auto self = weak.lock();
        if (!self || !self->importManagedObjectContext_) return;
        self->importManagedObjectContext_->performBlockAndWait(
            [&] { self->saveImportedChanges("Error saving fetched records to local store: %@"); });
    };
    TLLogDebug(TLLogContextSync, "Fetch batch of %@ records from CloudKit", static_cast<int64_t>(batch.size()));
    beginUpdates();
    auto operation = std::make_shared<cloud::FetchRecordsOperation>(std::move(batch));
    operation->setQualityOfService(25);
    // The batch is saved once, when it is complete.
    operation->setPerRecordCompletionBlock([weak = weakSelf(), hold = busy()](
                                               const std::optional<cloud::Record>& record, const cloud::RecordID& recordID,
                                               const std::optional<cloud::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        if (error || !record)
            TLLogError(TLLogContextSync, "Error fetching record %@: %@", printableName(recordID.recordName),
                       error ? error->description : std::string("no record"));
        else
            self->applyChangedRecord(*record);
    });
    operation->setFetchRecordsCompletionBlock(
        [weak = weakSelf(), importSave, recordIDs = std::move(recordIDs), end, completion = std::move(completion),
         hold = busy()](const std::map<cloud::RecordID, cloud::Record>&, const std::optional<cloud::Error>& error) mutable {
            auto self = weak.lock();
            if (!self) return;
            importSave();
            self->endUpdates();
            if (error) {
                postError(*error);
                TLLogWarning(TLLogContextSync, "Error fetching records from CloudKit: %@", error->description);
            }
            if (end < recordIDs.size()) self->fetchRecordsWithRecordIDs(std::move(recordIDs), end, std::move(completion));
            else if (completion) completion();
        });
    addOperation(operation);
}

std::string TLCloudKitSyncManager::errorDescriptionForError(const foundation::Error& error) {
    static const char* const kTitles[] = {
        "CloudKit Internal Error",       // 1
        "CloudKit Partial Failure",      // 2
        "Network Unavailable",           // 3
        "Network Failure",               // 4
        "Bad Container",                 // 5
        "CloudKit Service Unavailable",  // 6
        "Request Rate Limited",          // 7
        "Missing Entitlement",           // 8
        "iCloud Not Authenticated",      // 9
        "Permission Failure",            // 10
        "Unknown Item",                  // 11
        "Invalid Arguments",             // 12
        "Results Truncated",             // 13
        "Server Record Changed",         // 14
        "Server Rejected Request",       // 15
        "Asset File Not Found",          // 16
        "Asset File Modified",           // 17
        "Incompatible Version",          // 18
        "Constraint Violation",          // 19
        "Operation Cancelled",           // 20
        "Change Token Expired",          // 21
        "Batch Request Failed",          // 22
        "CloudKit Zone Busy",            // 23
        "Bad Database",                  // 24
        "iCloud Quota Exceeded",         // 25
        "CloudKit Zone Not Found",       // 26
        "Limit Exceeded",                // 27
        "User Deleted Zone",             // 28
    };
    if (error.domain == cloud::Error::kDomain && error.code >= 1 && error.code <= 28) return kTitles[error.code - 1];
    return error.localizedDescription();
}
