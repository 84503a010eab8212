// The sync engine's upload side: the observers of the main context's saves,
// the upload pass, and the modify operation with its split, retry and re-save.

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>

#include "TLCloudKitSyncManager.h"
#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLCloudKitSyncManagerShared.h"
#include "kit/TLDatabaseManager.h"
#include "logging/TLLog.h"
#include "platform/cloud/Configuration.h"
#include "platform/cloud/Database.h"
#include "platform/cloud/FetchRecordsOperation.h"
#include "platform/cloud/ModifyRecordsOperation.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/Context.h"
#include "platform/store/Predicate.h"

using syncshared::postNotification;
using syncshared::postStatus;
using syncshared::printableName;
using syncshared::settings;

// One modify's arguments, carried through its split, retries and re-saves.
struct TLCloudKitSyncManager::Batch {
    std::vector<cloud::Record> records;
    // Shared by every part a batch is split into and by its continuation:
    // a first upload names tens of thousands of objects.
    std::shared_ptr<const ObjectsByName> objects = std::make_shared<const ObjectsByName>();
    std::shared_ptr<store::Context> context;
    UploadCompletion completion;
    // Sent by a reconcile: its failures never start another reconcile.
    bool fromReconcile = false;
    // Re-save rounds already behind this batch.
    int round = 0;
};

// What one operation's saved records give back to their objects: the
// server's system fields and date, gathered as the records come back and put
// in with the context's save.
struct TLCloudKitSyncManager::WriteBacks {
    struct Item {
        std::shared_ptr<TLSyncedObject> object;
        foundation::Data fields;
        std::optional<foundation::Date> date;
    };
    std::mutex mutex;
    std::vector<Item> items;
};

// An upload pass under way on the main queue: the records built so far.
struct TLCloudKitSyncManager::UploadPass {
    TLCloudKitSyncManager::UploadCompletion completion;
    size_t entity = 0;
    bool fetched = false;
    std::vector<std::shared_ptr<store::ManagedObject>> objects;
    size_t next = 0;
    std::vector<cloud::Record> records;
    TLCloudKitSyncManager::ObjectsByName byName;
    // Passes asked for while this one was building, started when it is done.
    std::vector<TLCloudKitSyncManager::UploadCompletion> followers;
};

namespace {

// No main-queue turn of a pass builds records for longer than this.
constexpr auto kSliceBudget = std::chrono::milliseconds(40);
constexpr const char* kUploadEntities[] = {List::kEntityName, Clipping::kEntityName, Asset::kEntityName};
// How long after a reconcile started by an upload error the next one may start.
constexpr const char* kErrorReconcileIntervalKey = "ErrorReconcileInterval";
constexpr double kDefaultErrorReconcileInterval = 600;

std::optional<std::string> recordNameOf(const store::ManagedObject& object) {
    if (const auto* clipping = dynamic_cast<const Clipping*>(&object)) return clipping->clippingID();
    if (const auto* list = dynamic_cast<const List*>(&object)) return list->listID();
    if (const auto* asset = dynamic_cast<const Asset*>(&object)) return asset->assetID();
    return std::nullopt;
}

// A clipping or list made only to hold what arrived before it: never
// uploaded and never changed here.
bool isPlaceholder(const TLSyncedObject& object) {
    return !object.modifiedDate() && !object.recordSystemFields();
}

std::string recordTypeFor(const std::vector<cloud::Record>& records, const cloud::RecordID& id) {
    for (const auto& record : records)
        if (record.recordID() == id) return record.recordType();
    return "unknown";
}

}  // namespace

std::vector<std::string> TLCloudKitSyncManager::pendingDeletions() {
    return settings()->stringArrayForKey(TLUserDefaultsDeleteTransactions).value_or(std::vector<std::string>{});
}

// MARK: - Observers

void TLCloudKitSyncManager::managedObjectContextWillSave(const foundation::Notification& notification) {
    // Set only inside blocks on the main context's queue, where this runs too.
    if (importing_) return;
    TLLogInfo(TLLogContextSync, "Received notification for changes made in local store");
    auto main = managedObjectContext_;
    if (!syncEnabled() || !main || notification.object != main.get()) return;

    std::vector<std::string> deleted;
    for (const auto& object : main->deletedObjects()) {
        auto synced = std::dynamic_pointer_cast<TLSyncedObject>(object);
        // A placeholder's record was never this device's to delete.
        if (!synced || isPlaceholder(*synced)) continue;
        if (auto name = recordNameOf(*synced); name && !name->empty()) deleted.push_back(*name);
    }
    TLLogDebug(TLLogContextSync, "%@ records deleted from local store", static_cast<int64_t>(deleted.size()));
    auto suite = settings();
    if (!deleted.empty()) {
        auto pending = pendingDeletions();
        std::set<std::string> listed(pending.begin(), pending.end());
        for (const auto& name : deleted)
            if (listed.insert(name).second) pending.push_back(name);
        foundation::PlistValue::Array array;
        for (const auto& name : pending) array.emplace_back(name);
        suite->setObject(foundation::PlistValue(std::move(array)), TLUserDefaultsDeleteTransactions);
    }
    suite->synchronize();

    postStatus("Syncing changes to iCloud");
    syncDatabaseToCloudKit([weak = weakSelf()](bool ended, const std::optional<cloud::Error>&) {
        syncshared::storeLastSyncDate();
        if (ended) {
            if (auto self = weak.lock()) {
                self->setShouldGetUpdatedToken(true);
                dispatch::after(3, dispatch::Queue::main(), [weak, hold = self->busy()] {
                    if (auto self = weak.lock()) self->getLatestServerChangeToken();
                });
            }
        }
        postStatus(std::nullopt);
    });
}

void TLCloudKitSyncManager::managedObjectContextDidSave(const foundation::Notification& notification) {
    auto import = importManagedObjectContext_;
    if (!import) return;
    import->performBlock([import, notification, hold = busy()] { import->mergeChangesFromContextDidSaveNotification(notification); });
}

// MARK: - Upload pass

void TLCloudKitSyncManager::syncDatabaseToCloudKit(UploadCompletion completion) {
    TLLogInfo(TLLogContextSync, "Uploading unsynced changes from local store to CloudKit");
    postNotification(TLSyncManagerUploadNotification);
    auto main = managedObjectContext_;
    if (!main) {
        if (completion) completion(false, std::nullopt);
        return;
    }
    auto pass = std::make_shared<UploadPass>();
    pass->completion = std::move(completion);
    // After the save that asked for the pass has finished.
    main->performBlock([weak = weakSelf(), pass, hold = busy()] {
        auto self = weak.lock();
        if (!self) return;
        // One pass builds at a time: a second would send the same objects twice.
        if (auto building = self->buildingPass_.lock()) {
            building->followers.push_back(std::move(pass->completion));
            return;
        }
        self->buildingPass_ = pass;
        self->buildRecordsInSlices(pass);
    });
}

void TLCloudKitSyncManager::buildRecordsInSlices(std::shared_ptr<UploadPass> pass) {
    auto main = managedObjectContext_;
    if (!main) return;
    const auto start = std::chrono::steady_clock::now();
    auto overBudget = [&] { return std::chrono::steady_clock::now() - start > kSliceBudget; };
    auto continueLater = [&] {
        main->performBlock([weak = weakSelf(), pass, hold = busy()] {
            if (auto self = weak.lock()) self->buildRecordsInSlices(pass);
        });
    };

    while (pass->entity < std::size(kUploadEntities)) {
        const char* entity = kUploadEntities[pass->entity];
        if (!pass->fetched) {
            store::FetchRequest request(entity);
            request.predicate = store::Predicate::withFormat("sync == %@", store::Value(true)).value();
            auto found = main->fetch(request);
            pass->objects = found ? found.value() : std::vector<std::shared_ptr<store::ManagedObject>>{};
            pass->fetched = true;
            pass->next = 0;
            TLLogDebug(TLLogContextSync, "%@ %@ objects to upload", static_cast<int64_t>(pass->objects.size()), entity);
            if (overBudget()) return continueLater();
        }
        while (pass->next < pass->objects.size()) {
            auto object = std::dynamic_pointer_cast<TLSyncedObject>(pass->objects[pass->next++]);
            if (!object || !object->sync().value_or(false)) continue;
            auto name = recordNameOf(*object);
            if (!name || name->empty()) {
                TLLogWarning(TLLogContextSync, "Not uploading a %@ object without an identifier", entity);
                continue;
            }
            if (isSetAside(*name, object->modifiedDate())) continue;
            std::optional<cloud::Record> record;
            if (auto fields = object->recordSystemFields(); fields && !fields->empty()) {
                record = cloud::Record::withSystemFields(*fields);
                // The change is sent all the same, as a new record; a conflict
                // with the server's version settles through the re-save.
                if (!record || record->recordID().recordName != *name) {
                    TLLogWarning(TLLogContextSync, "Stored system fields of %@ cannot be read: sending a new record",
                                 *name);
                    record.reset();
                }
            }
            if (!record || !putObjectValues(*record, *object)) record = newRecordForObject(*object);
            if (!record) continue;
            object->setSync(false);
            pass->records.push_back(std::move(*record));
            pass->byName[*name] = object;
            if (overBudget()) return continueLater();
        }
        pass->objects.clear();
        pass->fetched = false;
        ++pass->entity;
    }

    // The save of every object built gets a turn of its own when this slice
    // has used its time.
    if (overBudget()) return continueLater();
    if (main->hasChanges()) (void)main->save();
    buildingPass_.reset();
    for (auto& follower : pass->followers) syncDatabaseToCloudKit(std::move(follower));
    if (!pass->records.empty()) {
        saveRecordsToCloudKit(std::move(pass->records), std::move(pass->byName), main, std::move(pass->completion));
    } else if (!pendingDeletions().empty()) {
        saveRecordsToCloudKit({}, {}, main, std::move(pass->completion));
    } else if (pass->completion) {
        pass->completion(false, std::nullopt);
    }
}

bool TLCloudKitSyncManager::putObjectValues(cloud::Record& record, const TLSyncedObject& object) const {
    if (const auto* list = dynamic_cast<const List*>(&object); list && record.recordType() == List::kEntityName)
        updatedRecordForList(record, *list);
    else if (const auto* clipping = dynamic_cast<const Clipping*>(&object);
             clipping && record.recordType() == Clipping::kEntityName)
        updatedRecordForClipping(record, *clipping);
    else if (const auto* asset = dynamic_cast<const Asset*>(&object); asset && record.recordType() == Asset::kEntityName)
        updatedRecordForAsset(record, *asset);
    else
        return false;
    return true;
}

std::optional<cloud::Record> TLCloudKitSyncManager::newRecordForObject(const TLSyncedObject& object) const {
    if (const auto* list = dynamic_cast<const List*>(&object)) return newRecordForList(*list);
    if (const auto* clipping = dynamic_cast<const Clipping*>(&object)) return newRecordForClipping(*clipping);
    if (const auto* asset = dynamic_cast<const Asset*>(&object)) return newRecordForAsset(*asset);
    return std::nullopt;
}

// MARK: - Modify operation

void TLCloudKitSyncManager::saveRecordsToCloudKit(std::vector<cloud::Record> records, ObjectsByName objects,
                                                  UploadCompletion completion) {
    saveRecordsToCloudKit(std::move(records), std::move(objects), managedObjectContext_, std::move(completion));
}

void TLCloudKitSyncManager::saveRecordsToCloudKit(std::vector<cloud::Record> records, ObjectsByName objects,
                                                  std::shared_ptr<store::Context> context, UploadCompletion completion) {
    auto batch = std::make_shared<Batch>();
    batch->records = std::move(records);
    batch->objects = std::make_shared<const ObjectsByName>(std::move(objects));
    batch->fromReconcile = context && context == importManagedObjectContext_;
    batch->context = std::move(context);
    batch->completion = std::move(completion);
    sendBatch(std::move(batch));
}

void TLCloudKitSyncManager::splitBatch(const std::shared_ptr<Batch>& batch) {
    // Halved, and halved again while a part is over the operation limit. The
    // parts are worked out first and each copies only its own records: copying
    // the whole batch at every halving held the main queue for seconds on a
    // first upload of tens of thousands of records.
    std::vector<std::pair<size_t, size_t>> parts;
    auto halve = [&parts](auto& self, size_t from, size_t to) -> void {
        if (to - from <= kMaxItemsPerOperation) {
            parts.emplace_back(from, to);
            return;
        }
        const size_t middle = from + (to - from) / 2;
        self(self, from, middle);
        self(self, middle, to);
    };
    const size_t count = batch->records.size();
    halve(halve, 0, count / 2);
    halve(halve, count / 2, count);
    const auto partOf = [](const Batch& whole, std::pair<size_t, size_t> range, bool last) {
        auto part = std::make_shared<Batch>();
        part->records.assign(whole.records.begin() + static_cast<ptrdiff_t>(range.first),
                             whole.records.begin() + static_cast<ptrdiff_t>(range.second));
        part->objects = whole.objects;
        part->context = whole.context;
        // The last part answers for the batch, as the second half always did.
        if (last) part->completion = whole.completion;
        part->fromReconcile = whole.fromReconcile;
        part->round = whole.round;
        TLLogInfo(TLLogContextSync, "Upload %@ record changes to CloudKit", static_cast<int64_t>(part->records.size()));
        return part;
    };
    sendPart(partOf(*batch, parts[0], parts.size() == 1));
    // The other parts one a main-queue turn: copying tens of thousands of
    // records for their operations would otherwise hold the main queue in one
    // turn.
    for (size_t i = 1; i < parts.size(); ++i)
        dispatch::Queue::main()->async(
            [weak = weakSelf(), batch, range = parts[i], last = i + 1 == parts.size(), partOf, hold = busy()] {
                if (auto self = weak.lock()) self->sendPart(partOf(*batch, range, last));
            });
}

void TLCloudKitSyncManager::sendBatch(std::shared_ptr<Batch> batch) {
    TLLogInfo(TLLogContextSync, "Upload %@ record changes to CloudKit", static_cast<int64_t>(batch->records.size()));
    if (batch->records.size() > kMaxItemsPerOperation) {
        splitBatch(batch);
        return;
    }
    sendPart(std::move(batch));
}

void TLCloudKitSyncManager::sendPart(std::shared_ptr<Batch> batch) {
    std::vector<cloud::RecordID> deletions;
    for (const auto& name : pendingDeletions()) deletions.push_back(cloud::RecordID{name, tavloRecordZoneID()});
    TLLogInfo(TLLogContextSync, "Delete %@ records from CloudKit", static_cast<int64_t>(deletions.size()));
    if (batch->records.size() + deletions.size() > kMaxItemsPerOperation)
        deletions.resize(kMaxItemsPerOperation - batch->records.size());
    if (batch->records.empty() && deletions.empty()) {
        if (batch->completion) batch->completion(true, std::nullopt);
        return;
    }
    beginUpdates();
    auto operation = std::make_shared<cloud::ModifyRecordsOperation>(batch->records, deletions);
    operation->setQualityOfService(25);
    auto writeBacks = std::make_shared<WriteBacks>();
    operation->setPerRecordCompletionBlock([weak = weakSelf(), batch, writeBacks, hold = busy()](const std::optional<cloud::Record>& record,
                                                                                      const cloud::RecordID& recordID,
                                                                                      const std::optional<cloud::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        if (error) {
            TLLogWarning(TLLogContextSync, "Error saving %@ record with ID %@: %@", recordTypeFor(batch->records, recordID),
                         printableName(recordID.recordName), error->description);
            // Changed there, deleted there or held back by another item:
            // the partial failure sends it again; anything else waits for a
            // later pass.
            const bool resent = error->code == cloud::Error::kServerRecordChanged ||
                                error->code == cloud::Error::kBatchRequestFailed ||
                                error->code == cloud::Error::kUnknownItem;
            if (!resent) self->markForUpload(batch, {recordID.recordName});
            return;
        }
        if (!record) return;
        TLLogDebug(TLLogContextSync, "Uploaded %@ record with ID %@ to CloudKit", record->recordType(),
                   printableName(recordID.recordName));
        self->writeBack(batch, *record, *writeBacks);
    });
    operation->setModifyRecordsCompletionBlock(
        [weak = weakSelf(), batch, deletions, writeBacks, hold = busy()](const std::vector<cloud::Record>&,
                                                                         const std::vector<cloud::RecordID>&,
                                                                         const std::optional<cloud::Error>& error) {
            auto self = weak.lock();
            if (!self) return;
            self->modifyCompleted(batch, deletions, error, *writeBacks);
        });
    addOperation(operation);
}

void TLCloudKitSyncManager::modifyCompleted(const std::shared_ptr<Batch>& batch,
                                            const std::vector<cloud::RecordID>& deletionsSent,
                                            const std::optional<cloud::Error>& error, WriteBacks& writeBacks) {
    std::vector<std::string> names;
    for (const auto& record : batch->records) names.push_back(record.recordID().recordName);
    if (error) {
        switch (error->code) {
            case cloud::Error::kLimitExceeded:
                if (batch->records.size() > 1) {
                    TLLogWarning(TLLogContextSync, "Save operation limit exceeded. Split into two operations.");
                    splitBatch(batch);
                } else {
                    // Halving one record gives the same record again: it is
                    // this item's own failure.
                    setAside(batch, names, error->description);
                }
                break;
            case cloud::Error::kPartialFailure: handlePartialFailure(batch, *error); break;
            case cloud::Error::kZoneBusy:
            case cloud::Error::kServiceUnavailable:
            case cloud::Error::kRequestRateLimited:
                TLLogWarning(TLLogContextSync, "CloudKit is busy or unavailable. Will retry save operation in 30s");
                dispatch::after(retryDelay(*error), dispatch::Queue::main(), [weak = weakSelf(), batch, hold = busy()] {
                    if (auto self = weak.lock()) self->sendBatch(batch);
                });
                break;
            default:
                TLLogError(TLLogContextSync, "Error uploading changes to CloudKit: %@", error->description);
                // Nothing of the batch reached the server: its edits wait for the next pass.
                markForUpload(batch, names);
                if (!batch->fromReconcile) reconcileAfterUploadError();
                break;
        }
    } else {
        std::vector<std::string> sent;
        for (const auto& id : deletionsSent) sent.push_back(id.recordName);
        auto continuation = std::make_shared<Batch>();
        continuation->objects = batch->objects;
        continuation->context = batch->context;
        continuation->fromReconcile = batch->fromReconcile;
        // The list changes on the main queue only; the rest go out after.
        dispatch::Queue::main()->async([weak = weakSelf(), sent, continuation, hold = busy()] {
            auto self = weak.lock();
            if (!self) return;
            self->removePendingDeletions(sent);
            if (!pendingDeletions().empty()) self->sendBatch(continuation);
        });
        TLLogInfo(TLLogContextSync, "All changes uploaded to CloudKit");
        postNotification(TLSyncManagerDidFinishUploadingNotification);
    }

    saveBatchContext(batch->context, writeBacks);
    if (batch->completion) batch->completion(true, error);
    endUpdates();
}

void TLCloudKitSyncManager::removePendingDeletions(const std::vector<std::string>& names) {
    if (names.empty()) return;
    const std::set<std::string> sent(names.begin(), names.end());
    foundation::PlistValue::Array rest;
    for (const auto& name : pendingDeletions())
        if (!sent.count(name)) rest.emplace_back(name);
    auto suite = settings();
    suite->setObject(foundation::PlistValue(std::move(rest)), TLUserDefaultsDeleteTransactions);
    suite->synchronize();
}

void TLCloudKitSyncManager::handlePartialFailure(const std::shared_ptr<Batch>& batch, const cloud::Error& error) {
    TLLogWarning(TLLogContextSync, "Save operation partial failure on %@ records. Will fetch records and resave.",
                 static_cast<int64_t>(error.partialErrors.size()));
    std::vector<cloud::RecordID> resave;
    std::vector<cloud::Record> resend;
    std::vector<std::string> failed;
    std::string why;
    for (const auto& record : batch->records) {
        auto it = error.partialErrors.find(record.recordID());
        if (it == error.partialErrors.end() || !it->second) continue;
        const cloud::Error& own = *it->second;
        switch (own.code) {
            case cloud::Error::kServerRecordChanged: resave.push_back(record.recordID()); break;
            // Held back only by another item's failure.
            case cloud::Error::kBatchRequestFailed: resend.push_back(record); break;
            case cloud::Error::kUnknownItem: {
                // Deleted on the server while edited here: the edit goes up as a new record.
                cloud::Record fresh(record.recordType(), record.recordID());
                for (const auto& key : record.changedKeys()) fresh.setObject(key, record.objectForKey(key));
                resend.push_back(std::move(fresh));
                break;
            }
            default:
                failed.push_back(record.recordID().recordName);
                why = own.description;
                break;
        }
    }
    if (!failed.empty()) setAside(batch, failed, why);
    if (resave.empty() && resend.empty()) return;
    if (batch->round + 1 >= kMaxResaveRounds) {
        std::vector<std::string> left;
        for (const auto& id : resave) left.push_back(id.recordName);
        for (const auto& record : resend) left.push_back(record.recordID().recordName);
        setAside(batch, left, "still failing after " + std::to_string(kMaxResaveRounds) + " rounds");
        return;
    }
    auto nextRound = [weak = weakSelf(), batch, resave, resend, hold = busy()] {
        auto self = weak.lock();
        if (!self) return;
        if (!resend.empty()) {
            auto next = std::make_shared<Batch>(*batch);
            next->records = resend;
            next->completion = nullptr;
            ++next->round;
            self->sendBatch(next);
        }
        if (!resave.empty()) self->fetchRecordsToResave(resave, batch, batch->round + 1);
    };
    // The first round at once, later ones after a growing pause (1 s, 2 s).
    if (batch->round == 0) dispatch::Queue::main()->async(std::move(nextRound));
    else dispatch::after(static_cast<double>(1 << (batch->round - 1)), dispatch::Queue::main(), std::move(nextRound));
}

void TLCloudKitSyncManager::setAside(const std::shared_ptr<Batch>& batch, const std::vector<std::string>& names,
                                     const std::string& why) {
    for (const auto& name : names) {
        TLLogError(TLLogContextSync, "Record %@ cannot be uploaded (%@): set aside until it changes again",
                   printableName(name), why);
    }
    auto context = batch->context;
    if (!context) return;
    context->performBlock([weak = weakSelf(), batch, names, hold = busy()] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->setAsideMutex_);
        for (const auto& name : names) {
            auto it = batch->objects->find(name);
            if (it == batch->objects->end() || !it->second) continue;
            it->second->setSync(true);
            self->setAside_[name] = it->second->modifiedDate();
        }
    });
}

bool TLCloudKitSyncManager::isSetAside(const std::string& name, const std::optional<foundation::Date>& modifiedDate) {
    std::lock_guard lock(setAsideMutex_);
    auto it = setAside_.find(name);
    if (it == setAside_.end()) return false;
    if (it->second == modifiedDate) return true;
    // Changed since: worth another try.
    setAside_.erase(it);
    return false;
}

void TLCloudKitSyncManager::markForUpload(const std::shared_ptr<Batch>& batch, const std::vector<std::string>& names) {
    auto context = batch->context;
    if (!context) return;
    context->performBlock([batch, names, hold = busy()] {
        for (const auto& name : names) {
            auto it = batch->objects->find(name);
            if (it == batch->objects->end() || !it->second || it->second->isDeleted()) continue;
            if (!it->second->sync().value_or(false)) it->second->setSync(true);
        }
    });
}

void TLCloudKitSyncManager::writeBack(const std::shared_ptr<Batch>& batch, const cloud::Record& record,
                                      WriteBacks& writeBacks) {
    auto it = batch->objects->find(record.recordID().recordName);
    if (!batch->context || it == batch->objects->end() || !it->second) return;
    std::lock_guard lock(writeBacks.mutex);
    writeBacks.items.push_back({it->second, record.encodeSystemFields(), record.modificationDate()});
}

void TLCloudKitSyncManager::saveBatchContext(const std::shared_ptr<store::Context>& context, WriteBacks& writeBacks) {
    if (!context) return;
    std::vector<WriteBacks::Item> items;
    {
        std::lock_guard lock(writeBacks.mutex);
        items.swap(writeBacks.items);
    }
    const auto put = [](const WriteBacks::Item& item) {
        const auto& object = item.object;
        if (object->isDeleted()) return;
        object->setRecordSystemFields(item.fields);
        // Edited again since its record was built: that edit still has to go
        // up, over the version just saved.
        if (object->sync().value_or(false)) return;
        // The server's date, so a device clock running ahead never makes this
        // version look newer than a later edit elsewhere.
        object->setModifiedDate(item.date);
    };
    if (context == importManagedObjectContext_) {
        // The write-back reaches the main context and the store, not an upload.
        context->performBlockAndWait([&] {
            for (const auto& item : items) put(item);
            saveImportedChanges("Error saving database changes: %@");
        });
        return;
    }
    // The main context takes them a slice at a time, each with its save, so
    // a part of 400 records never holds the main queue in one turn.
    constexpr size_t kSlice = 100;
    size_t from = 0;
    do {
        const size_t to = std::min(items.size(), from + kSlice);
        context->performBlockAndWait([&] {
            for (size_t i = from; i < to; ++i) put(items[i]);
            importing_ = true;
            if (context->hasChanges()) (void)context->save();
            importing_ = false;
        });
        from = to;
    } while (from < items.size());
}

void TLCloudKitSyncManager::reconcileAfterUploadError() {
    auto cloudSettings = foundation::UserDefaults::suite(cloud::Configuration::kSuiteName);
    double interval = kDefaultErrorReconcileInterval;
    if (auto value = cloudSettings->objectForKey(kErrorReconcileIntervalKey); !value.isNull())
        interval = cloudSettings->doubleForKey(kErrorReconcileIntervalKey);
    const double now = dispatch::Clock::now();
    double last = lastErrorReconcile_.load();
    // An error the reconcile cannot mend (quota, an oversized record) would
    // otherwise loop upload, reconcile, upload.
    if (now - last < interval) {
        TLLogInfo(TLLogContextSync, "Not reconciling again after an upload error within %@ s", interval);
        return;
    }
    if (!lastErrorReconcile_.compare_exchange_strong(last, now)) return;
    dispatch::Queue::main()->async([weak = weakSelf(), hold = busy()] {
        if (auto self = weak.lock()) self->runCloudKitDiagnostics();
    });
}

// MARK: - Re-save

void TLCloudKitSyncManager::fetchRecordsWithID(std::vector<cloud::RecordID> recordIDs, ObjectsByName objects,
                                               std::shared_ptr<store::Context> context) {
    auto batch = std::make_shared<Batch>();
    batch->objects = std::make_shared<const ObjectsByName>(std::move(objects));
    batch->fromReconcile = context && context == importManagedObjectContext_;
    batch->context = std::move(context);
    fetchRecordsToResave(std::move(recordIDs), batch, 0);
}

void TLCloudKitSyncManager::fetchRecordsToResave(std::vector<cloud::RecordID> recordIDs,
                                                 const std::shared_ptr<Batch>& batch, int round) {
    TLLogInfo(TLLogContextSync, "Fetch %@ records from CloudKit to update", static_cast<int64_t>(recordIDs.size()));
    auto collected = std::make_shared<std::vector<cloud::Record>>();
    auto operation = std::make_shared<cloud::FetchRecordsOperation>(std::move(recordIDs));
    operation->setQualityOfService(25);
    operation->setPerRecordCompletionBlock([weak = weakSelf(), batch, collected, hold = busy()](
                                               const std::optional<cloud::Record>& fetched, const cloud::RecordID& recordID,
                                               const std::optional<cloud::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        if (error || !fetched) {
            TLLogError(TLLogContextSync, "Error fetching record %@: %@", printableName(recordID.recordName),
                       error ? error->description : std::string("no record"));
            return;
        }
        TLLogInfo(TLLogContextSync, "Fetched %@ record with ID %@", fetched->recordType(), printableName(recordID.recordName));
        auto it = batch->objects->find(recordID.recordName);
        if (it == batch->objects->end() || !it->second || !batch->context) return;
        cloud::Record record = *fetched;
        bool built = false;
        // The object's current values, read on its own queue.
        batch->context->performBlockAndWait([&] { built = self->putObjectValues(record, *it->second); });
        if (built) collected->push_back(std::move(record));
    });
    operation->setFetchRecordsCompletionBlock(
        [weak = weakSelf(), batch, collected, round, hold = busy()](const std::map<cloud::RecordID, cloud::Record>&,
                                                                    const std::optional<cloud::Error>& error) {
            auto self = weak.lock();
            if (!self) return;
            if (error) TLLogError(TLLogContextSync, "Error fetching records to update: %@", error->description);
            if (collected->empty()) return;
            auto next = std::make_shared<Batch>(*batch);
            next->records = std::move(*collected);
            next->completion = nullptr;
            next->round = round;
            self->sendBatch(next);
        });
    addOperation(operation);
}
