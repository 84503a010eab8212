#include "TLCloudKitSyncManager.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSDateCloudKit.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLCloudKitSyncManagerShared.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/Database.h"
#include "platform/cloud/FetchRecordChangesOperation.h"
#include "platform/cloud/ModifyRecordZonesOperation.h"
#include "platform/cloud/ModifySubscriptionsOperation.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/BatchUpdateRequest.h"
#include "platform/store/Context.h"
#include "platform/store/Predicate.h"

namespace {

namespace fs = std::filesystem;

using syncshared::postNotification;
using syncshared::postStatus;
using syncshared::printableName;
using syncshared::settings;

bool safeRecordName(const std::string& name) {
    return !name.empty() && name.size() <= TLCloudKitSyncManager::kMaxRecordNameBytes &&
           name.find('\0') == std::string::npos;
}

// Field readers: a value of another kind than the format gives is read as
// absent, with a log line, so a newer or damaged device cannot break the apply.
template <class T>
std::optional<T> field(const cloud::Record& record, const char* key, const char* kind) {
    auto value = record.objectForKey(key);
    if (!value) return std::nullopt;
    if (const T* typed = std::get_if<T>(&*value)) return *typed;
    TLLogWarning(TLLogContextSync, "Ignoring field \"%@\" of %@ record %@: not a %@ value", key, record.recordType(),
                 printableName(record.recordID().recordName), kind);
    return std::nullopt;
}
std::optional<std::string> stringField(const cloud::Record& r, const char* key) { return field<std::string>(r, key, "string"); }
std::optional<int64_t> integerField(const cloud::Record& r, const char* key) { return field<int64_t>(r, key, "integer"); }
std::optional<foundation::Date> dateField(const cloud::Record& r, const char* key) {
    return field<foundation::Date>(r, key, "date");
}

std::shared_ptr<store::Predicate const> equalTo(const char* key, const std::string& value) {
    return store::Predicate::withFormat(std::string(key) + " == %@", store::Value(value)).value();
}

template <class T>
std::shared_ptr<T> firstMatch(store::Context& context, const char* entity, const char* key, const std::string& value) {
    store::FetchRequest request(entity);
    request.predicate = equalTo(key, value);
    request.fetchLimit = 1;
    auto found = context.fetch(request);
    if (!found || found.value().empty()) return nullptr;
    return std::dynamic_pointer_cast<T>(found.value().front());
}

template <class T>
std::vector<std::shared_ptr<T>> allMatches(store::Context& context, const char* entity, const char* key,
                                           const std::string& value) {
    store::FetchRequest request(entity);
    if (key) request.predicate = equalTo(key, value);
    std::vector<std::shared_ptr<T>> out;
    if (auto found = context.fetch(request))
        for (const auto& object : found.value())
            if (auto typed = std::dynamic_pointer_cast<T>(object)) out.push_back(std::move(typed));
    return out;
}

// The newer-record rule: the record wins over an object never dated, or
// dated before the record.
bool recordIsNewer(const TLSyncedObject& object, const cloud::Record& record) {
    auto local = object.modifiedDate();
    if (!local) return true;
    return record.modificationDate() && *local < *record.modificationDate();
}

// Bookkeeping when the record did not win: the object is in step with the
// record (equal dates) and needs no upload, unless it was changed here later
// than the record, in which case its edit must still go up.
void keepInStep(TLSyncedObject& object, const cloud::Record& record, const foundation::Data& systemFields) {
    const auto local = object.modifiedDate();
    const bool editedLater = local && record.modificationDate() && *local > *record.modificationDate();
    if (!editedLater && object.sync().value_or(false)) object.setSync(false);
    object.setRecordSystemFields(systemFields);
}

const foundation::Date kPlaceholderDate(0);

// The server's answer for a zone the user deleted: missing, like 26.
constexpr int64_t kUserDeletedZone = 28;

}  // namespace

TLCloudKitSyncManager::TLCloudKitSyncManager() : TLCloudKitSyncManager(cloud::Container::defaultContainer()) {}

TLCloudKitSyncManager::TLCloudKitSyncManager(std::shared_ptr<cloud::Container> container,
                                             std::shared_ptr<TLDatabaseManager> databaseManager,
                                             std::shared_ptr<TLPasteboardManager> pasteboardManager)
    : container_(std::move(container)),
      database_(container_->privateCloudDatabase()),
      databaseManager_(std::move(databaseManager)),
      pasteboardManager_(std::move(pasteboardManager)) {}

TLCloudKitSyncManager::~TLCloudKitSyncManager() {
    for (auto token : observerTokens_) foundation::NotificationCenter::defaultCenter().removeObserver(token);
    {
        std::lock_guard lock(operationsMutex_);
        for (const auto& weak : operations_)
            if (auto operation = weak.lock()) operation->cancel();
    }
    // A bracket left open would keep every later save of the main context
    // out of the store file.
    if (openBrackets_.exchange(0) > 0) databaseManager().endUpdates();
}

TLDatabaseManager& TLCloudKitSyncManager::databaseManager() {
    if (!databaseManager_) databaseManager_ = TLDatabaseManager::sharedManager();
    return *databaseManager_;
}

TLPasteboardManager& TLCloudKitSyncManager::pasteboardManager() {
    if (!pasteboardManager_) pasteboardManager_ = TLPasteboardManager::sharedManager();
    return *pasteboardManager_;
}

void TLCloudKitSyncManager::addOperation(const std::shared_ptr<cloud::DatabaseOperation>& operation) {
    {
        std::lock_guard lock(operationsMutex_);
        std::erase_if(operations_, [](const std::weak_ptr<cloud::DatabaseOperation>& o) {
            auto held = o.lock();
            return !held || held->isFinished();
        });
        operations_.push_back(operation);
    }
    database_->addOperation(operation);
}

void TLCloudKitSyncManager::beginUpdates() {
    ++openBrackets_;
    databaseManager().beginUpdates();
}

void TLCloudKitSyncManager::endUpdates() {
    int open = openBrackets_.load();
    while (open > 0 && !openBrackets_.compare_exchange_weak(open, open - 1)) {
    }
    databaseManager().endUpdates();
}

std::shared_ptr<void> TLCloudKitSyncManager::busy() const {
    ++*pending_;
    return std::shared_ptr<void>(nullptr, [pending = pending_](void*) { --*pending; });
}

bool TLCloudKitSyncManager::syncEnabled() { return settings()->boolForKey(TLUserDefaultsSyncEnabled); }

cloud::RecordZoneID TLCloudKitSyncManager::tavloRecordZoneID() const { return {kTavloRecordZoneName}; }


// MARK: - Contexts

void TLCloudKitSyncManager::setManagedObjectContext(std::shared_ptr<store::Context> context) {
    auto& center = foundation::NotificationCenter::defaultCenter();
    for (auto token : observerTokens_) center.removeObserver(token);
    observerTokens_.clear();
    managedObjectContext_ = std::move(context);
    importing_ = false;
    if (managedObjectContext_) {
        // Saves of the main context start uploads and reach the import context.
        const void* main = managedObjectContext_.get();
        observerTokens_.push_back(center.addObserver(store::Context::kWillSaveNotification, main,
                                                     [weak = weakSelf()](const foundation::Notification& n) {
                                                         if (auto self = weak.lock()) self->managedObjectContextWillSave(n);
                                                     }));
        observerTokens_.push_back(center.addObserver(store::Context::kDidSaveNotification, main,
                                                     [weak = weakSelf()](const foundation::Notification& n) {
                                                         if (auto self = weak.lock()) self->managedObjectContextDidSave(n);
                                                     }));
    }
    if (!managedObjectContext_) {
        importManagedObjectContext_.reset();
        return;
    }
    auto import = std::make_shared<store::Context>(store::ConcurrencyType::PrivateQueue);
    import->performBlock([import = import.get(), main = managedObjectContext_, hold = busy()] { import->setParentContext(main); });
    importManagedObjectContext_ = std::move(import);
}

// MARK: - Launch pass

void TLCloudKitSyncManager::startCloudKitSync(std::shared_ptr<store::Context> context) {
    TLLogInfo(TLLogContextSync, "Start CloudKit sync with context: %@", context ? "main context" : "none");
    postStatus("Connecting to iCloud");
    TLLogInfo(TLLogContextSync, "Fetching current server date");
    database_->saveRecord(cloud::Record("Tick"), [weak = weakSelf(), hold = busy(), context](const std::optional<cloud::Record>& record,
                                                                               const std::optional<cloud::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        self->measureServerClock(record, error);
        if (context) self->continueLaunchPass(context);
    });
}

void TLCloudKitSyncManager::measureServerClock(const std::optional<cloud::Record>& record,
                                               const std::optional<cloud::Error>& error) {
    if (error || !record || !record->modificationDate()) {
        TLLogWarning(TLLogContextSync, "%@", error ? error->line() : std::string("no server date"));
        return;
    }
    const foundation::Date serverDate = *record->modificationDate();
    const double offset = std::round(serverDate.timeIntervalSince(foundation::Date::now()));
    TLLogDebug(TLLogContextSync, "Server Date: %@", serverDate.description());
    TLLogDebug(TLLogContextSync, "Local Date: %@", foundation::Date::now().description());
    TLLogInfo(TLLogContextSync, "Server/client date offset: %@", offset);
    auto suite = settings();
    suite->setDouble(offset, TLUserDefaultsServerTimeOffset);
    suite->synchronize();
    database_->deleteRecordWithID(record->recordID(),
                                  [hold = busy()](const std::optional<cloud::RecordID>&, const std::optional<cloud::Error>& failed) {
                                      if (failed) TLLogWarning(TLLogContextSync, "%@", failed->line());
                                  });
}

void TLCloudKitSyncManager::continueLaunchPass(const std::shared_ptr<store::Context>& context) {
    TLLogInfo(TLLogContextSync, "Checking local data store for changes");
    auto root = context;
    while (root->parentContext()) root = root->parentContext();
    root->performBlockAndWait([&] { markNeverUploadedObjects(root); });
    setManagedObjectContext(context);

    auto token = storedToken();
    if (!token) {
        launchWithoutToken();
        return;
    }
    TLLogInfo(TLLogContextSync, "CloudKit change token found.");
    postStatus("Downloading changes from iCloud");
    fetchChangesFromCloudKit(token, [weak = weakSelf(), hold = busy()](bool success) {
        auto self = weak.lock();
        if (!self) return;
        postStatus("Syncing changes to iCloud");
        self->syncDatabaseToCloudKit([weak = self->weakSelf(), success](bool uploaded, const std::optional<cloud::Error>&) {
            if (auto self = weak.lock()) self->finishLaunchPass(uploaded || success);
        });
    });
}

void TLCloudKitSyncManager::markNeverUploadedObjects(const std::shared_ptr<store::Context>& root) {
    for (const char* entity : {Asset::kEntityName, Clipping::kEntityName, List::kEntityName}) {
        store::BatchUpdateRequest request(entity);
        request.predicate = store::Predicate::withFormat("recordSystemFields MATCHES %@ OR recordSystemFields == nil",
                                                         store::Value(".{0}"))
                                .value();
        request.propertiesToUpdate = {{"sync", store::Value(true)}};
        auto updated = store::executeBatchUpdate(*root, request);
        if (!updated) continue;
        TLLogDebug(TLLogContextSync, "%@ %@ objects to be uploaded", static_cast<int64_t>(updated.value().size()),
                   entity);
    }
    markObjectsChangedSinceUpload(root);
    if (root->hasChanges()) (void)root->save();
}

void TLCloudKitSyncManager::markObjectsChangedSinceUpload(const std::shared_ptr<store::Context>& root) {
    // An edit whose upload never got an answer (the operation failed as a
    // whole, or the program ended first) left the object unmarked; its
    // change date is still later than the version kept in its system fields.
    static const auto candidates =
        store::Predicate::withFormat("(sync == nil OR sync == NO) AND modifiedDate != nil AND recordSystemFields != nil")
            .value();
    for (const char* entity : {Asset::kEntityName, Clipping::kEntityName, List::kEntityName}) {
        const char* key = syncshared::identifierKey(entity);
        store::FetchRequest request(entity);
        request.predicate = candidates;
        request.propertiesToFetch = {key, "modifiedDate", "recordSystemFields"};
        auto rows = root->fetchDictionaries(request);
        if (!rows) continue;
        std::vector<store::Value> changed;
        auto valueOf = [](const store::Context::Dictionary& row, const char* name) {
            auto it = row.find(name);
            return it == row.end() ? store::Value() : it->second;
        };
        for (const auto& row : rows.value()) {
            const store::Value id = valueOf(row, key), modified = valueOf(row, "modifiedDate"),
                               fields = valueOf(row, "recordSystemFields");
            if (id.kind() != store::Value::Kind::String || modified.kind() != store::Value::Kind::Date ||
                fields.kind() != store::Value::Kind::Data)
                continue;
            const auto& bytes = fields.data();
            auto stored = cloud::Record::withSystemFields(foundation::Data(bytes.data(), bytes.size()));
            // Unreadable fields are sent as a new record when the object
            // changes; they say nothing about an edit.
            if (!stored || !stored->modificationDate()) continue;
            if (modified.dateSeconds() > stored->modificationDate()->timeIntervalSince1970()) changed.push_back(id);
        }
        if (changed.empty()) continue;
        store::BatchUpdateRequest update(entity);
        update.predicate = store::Predicate::withFormat(std::string(key) + " IN %@", store::Value(std::move(changed))).value();
        update.propertiesToUpdate = {{"sync", store::Value(true)}};
        if (auto updated = store::executeBatchUpdate(*root, update))
            TLLogDebug(TLLogContextSync, "%@ %@ objects changed since their upload", static_cast<int64_t>(updated.value().size()),
                       entity);
    }
}

void TLCloudKitSyncManager::launchWithoutToken() {
    TLLogInfo(TLLogContextSync, "CloudKit change token NOT found.");
    auto suite = settings();
    suite->setBool(true, TLUserDefaultsSyncEnabled);
    suite->synchronize();
    postStatus("Looking for record zone");
    lookUpZone([weak = weakSelf(), hold = busy()](ZoneLookUp answer, const std::optional<cloud::Error>&) {
        auto self = weak.lock();
        if (!self) return;
        switch (answer) {
            case ZoneLookUp::Failed:
                // The server could not say: nothing is created or switched off,
                // the next launch or sync-now tries again.
                postStatus(std::nullopt);
                return;
            case ZoneLookUp::Found:
                self->subscribeForZoneUpdates();
                postStatus("Downloading changes from iCloud");
                self->fetchChangesFromCloudKit(std::nullopt, [weak](bool success) {
                    auto self = weak.lock();
                    if (!self) return;
                    postStatus("Syncing changes to iCloud");
                    self->syncDatabaseToCloudKit([weak, success](bool uploaded, const std::optional<cloud::Error>&) {
                        if (auto self = weak.lock()) self->finishLaunchPass(uploaded || success);
                    });
                });
                return;
            case ZoneLookUp::NotFound:
                postStatus("Creating record zone");
                self->createTavloRecordZone(self->tavloRecordZoneID(), [weak](bool created) {
                    auto self = weak.lock();
                    if (!self) return;
                    if (!created) {
                        postStatus("Error connecting to iCloud: Sync disabled.");
                        dispatch::after(5, dispatch::Queue::main(), [] { postStatus(std::nullopt); });
                        return;
                    }
                    self->subscribeForZoneUpdates();
                    postStatus("Syncing changes to iCloud");
                    self->syncDatabaseToCloudKit([weak](bool, const std::optional<cloud::Error>&) {
                        if (auto self = weak.lock()) self->finishLaunchPass(true);
                    });
                });
                return;
        }
    });
}

void TLCloudKitSyncManager::finishLaunchPass(bool recordLastSync) {
    // The date first: the cleared status shows the last-sync line, which
    // should already read this pass's end.
    if (recordLastSync) syncshared::storeLastSyncDate();
    postStatus(std::nullopt);
}

// MARK: - Zone and subscription

void TLCloudKitSyncManager::lookUpZone(std::function<void(ZoneLookUp, const std::optional<cloud::Error>&)> completion) {
    TLLogInfo(TLLogContextSync, "Looking for Tavlo Record Zone in CloudKit");
    postNotification(TLSyncManagerCheckingForRecordZoneNotification);
    database_->fetchRecordZoneWithID(
        tavloRecordZoneID(), [completion = std::move(completion), hold = busy()](const std::optional<cloud::RecordZoneID>&,
                                                                  const std::optional<cloud::Error>& error) {
            if (!error) {
                TLLogInfo(TLLogContextSync, "Tavlo Record Zone found");
                completion(ZoneLookUp::Found, error);
                return;
            }
            TLLogWarning(TLLogContextSync, "Error fetching Tavlo Record Zone: %@", error->description);
            // Only the server's "no such zone" (or "the user deleted it") means
            // it is missing; any other failure says nothing about the zone.
            const bool missing = error->code == cloud::Error::kZoneNotFound || error->code == kUserDeletedZone;
            completion(missing ? ZoneLookUp::NotFound : ZoneLookUp::Failed, error);
        });
}

void TLCloudKitSyncManager::checkServerForTavloRecordZone(std::function<void(bool found)> completion) {
    lookUpZone([completion = std::move(completion)](ZoneLookUp answer, const std::optional<cloud::Error>&) {
        if (completion) completion(answer == ZoneLookUp::Found);
    });
}

void TLCloudKitSyncManager::createTavloRecordZone(const cloud::RecordZoneID& zoneID,
                                                  std::function<void(bool created)> completion) {
    TLLogInfo(TLLogContextSync, "Creating Tavlo Record Zone in CloudKit");
    postNotification(TLSyncManagerCreatingRecordZoneNotification);
    auto operation = std::make_shared<cloud::ModifyRecordZonesOperation>(std::vector<cloud::RecordZoneID>{zoneID},
                                                                         std::vector<cloud::RecordZoneID>{});
    operation->setQualityOfService(25);
    operation->setModifyRecordZonesCompletionBlock(
        [completion = std::move(completion), hold = busy()](const std::vector<cloud::RecordZoneID>&,
                                             const std::vector<cloud::RecordZoneID>&,
                                             const std::optional<cloud::Error>& error) {
            if (error) {
                TLLogError(TLLogContextSync, "Error creating Tavlo Record Zone: %@", error->description);
                TLLogWarning(TLLogContextSync, "Sync Disabled");
                dispatch::Queue::main()->async([failure = *error] {
                    foundation::Notification notification{TLSyncManagerEnableSyncErrorNotification, nullptr,
                                                          failure.toFoundationError(), {}};
                    foundation::NotificationCenter::defaultCenter().post(notification);
                });
                auto suite = settings();
                suite->setBool(false, TLUserDefaultsSyncEnabled);
                suite->synchronize();
                if (completion) completion(false);
                return;
            }
            TLLogInfo(TLLogContextSync, "Tavlo Record Zone created");
            if (completion) completion(true);
        });
    addOperation(operation);
}

void TLCloudKitSyncManager::checkSubscription() {
    TLLogInfo(TLLogContextSync, "Checking if device has a Tavlo Record Zone subscription");
    database_->fetchSubscriptionWithID(kTavloSubscriptionID, [weak = weakSelf(), hold = busy()](const std::optional<cloud::Subscription>&,
                                                                                const std::optional<cloud::Error>& error) {
        if (!error) {
            postNotification(TLSyncManagerDidSubscribeNotification);
            return;
        }
        if (auto self = weak.lock()) self->subscribeForZoneUpdates();
    });
}

void TLCloudKitSyncManager::subscribeForZoneUpdates() {
    TLLogInfo(TLLogContextSync, "Subscribing for Tavlo Record Zone update notifications");
    postNotification(TLSyncManagerSubscriptionNotification);
    cloud::Subscription subscription{kTavloSubscriptionID, tavloRecordZoneID(), true, ""};
    auto operation = std::make_shared<cloud::ModifySubscriptionsOperation>(std::vector<cloud::Subscription>{subscription},
                                                                           std::vector<std::string>{});
    operation->setQualityOfService(25);
    operation->setModifySubscriptionsCompletionBlock(
        [hold = busy()](const std::vector<cloud::Subscription>&, const std::vector<std::string>&,
           const std::optional<cloud::Error>& error) {
            if (error) return;
            TLLogInfo(TLLogContextSync, "Tavlo Record Zone subscription added");
            postNotification(TLSyncManagerDidSubscribeNotification);
        });
    addOperation(operation);
}

void TLCloudKitSyncManager::unsubscribe() {
    database_->fetchAllSubscriptions([weak = weakSelf(), hold = busy()](const std::vector<cloud::Subscription>& subscriptions,
                                                         const std::optional<cloud::Error>& error) {
        auto self = weak.lock();
        if (!self || error || subscriptions.empty()) return;
        std::vector<std::string> ids;
        for (const auto& s : subscriptions) ids.push_back(s.subscriptionID);
        auto operation = std::make_shared<cloud::ModifySubscriptionsOperation>(std::vector<cloud::Subscription>{}, ids);
        operation->setQualityOfService(25);
        self->addOperation(operation);
    });
}

// MARK: - Token

std::optional<cloud::ServerChangeToken> TLCloudKitSyncManager::storedToken() const {
    auto bytes = settings()->dataForKey(TLUserDefaultsCloudKitServerChangeToken);
    if (!bytes) return std::nullopt;
    auto token = cloud::ServerChangeToken::unarchive(*bytes);
    if (!token)
        TLLogWarning(TLLogContextSync, "Stored CloudKit change token cannot be read. Fetch all records");
    return token;
}

void TLCloudKitSyncManager::storeToken(const std::optional<cloud::ServerChangeToken>& token) {
    auto suite = settings();
    if (token) suite->setObject(token->archive(), TLUserDefaultsCloudKitServerChangeToken);
    else suite->removeObjectForKey(TLUserDefaultsCloudKitServerChangeToken);
    suite->synchronize();
}

void TLCloudKitSyncManager::getLatestServerChangeToken() {
    if (!shouldGetUpdatedToken_) return;
    getLatestServerChangeToken(tavloRecordZoneID(), storedToken());
    shouldGetUpdatedToken_ = false;
}

void TLCloudKitSyncManager::getLatestServerChangeToken(const cloud::RecordZoneID& zoneID,
                                                       const std::optional<cloud::ServerChangeToken>& previousChangeToken) {
    if (!importManagedObjectContext_) return;
    TLLogInfo(TLLogContextSync, "Fetching latest server change token from CloudKit");
    postNotification(TLSyncManagerFetchChangesNotification);
    auto operation = std::make_shared<cloud::FetchRecordChangesOperation>(zoneID, previousChangeToken);
    operation->setQualityOfService(25);
    // Besides this device's own upload the pages hold what other devices
    // changed since the token: the token may move past them only once they
    // are applied here.
    operation->setRecordChangedBlock([weak = weakSelf(), hold = busy()](const cloud::Record& record) {
        if (auto self = weak.lock()) self->applyChangedRecord(record);
    });
    operation->setRecordWithIDWasDeletedBlock([weak = weakSelf(), hold = busy()](const cloud::RecordID& recordID, const std::string&) {
        if (auto self = weak.lock()) self->deleteObjectWithIDFromDatabase(recordID.recordName);
    });
    std::weak_ptr<cloud::FetchRecordChangesOperation> weakOperation = operation;
    operation->setFetchRecordChangesCompletionBlock(
        [weak = weakSelf(), hold = busy(), zoneID, weakOperation](const std::optional<cloud::ServerChangeToken>& token,
                                                   const std::optional<foundation::Data>&,
                                                   const std::optional<cloud::Error>& error) {
            auto self = weak.lock();
            auto operation = weakOperation.lock();
            if (!self || error || !operation) return;
            auto import = self->importManagedObjectContext_;
            if (!import) return;
            auto store = [weak, zoneID, token, more = operation->moreComing()] {
                auto self = weak.lock();
                if (!self) return;
                if (more) {
                    self->getLatestServerChangeToken(zoneID, token);
                } else if (token) {
                    TLLogInfo(TLLogContextSync, "Latest server change token saved");
                    storeToken(token);
                }
            };
            // After the records this page delivered are saved.
            import->performBlock([weak, store] {
                auto self = weak.lock();
                if (!self) return;
                if (self->saveImportedChanges("Error saving records to local store: %@")) store();
            });
        });
    addOperation(operation);
}

// MARK: - Change fetch

void TLCloudKitSyncManager::fetchChangesFromCloudKitWithCompletion(std::function<void(bool success)> completion) {
    fetchChangesFromCloudKit(storedToken(), std::move(completion));
}

double TLCloudKitSyncManager::retryDelay(const cloud::Error& error) {
    if (!error.retryAfter) return 30;
    return std::clamp(std::ceil(*error.retryAfter), 1.0, 3600.0);
}

void TLCloudKitSyncManager::fetchChangesFromCloudKit(const std::optional<cloud::ServerChangeToken>& token,
                                                     std::function<void(bool success)> completion) {
    if (!importManagedObjectContext_) {
        // Records fetched now could not be applied, and the token would move past them.
        TLLogError(TLLogContextSync, "Cannot fetch updates from CloudKit: no local store bound");
        if (completion) completion(false);
        return;
    }
    TLLogInfo(TLLogContextSync, token ? "Fetching updates from CloudKit using change token"
                                      : "Fetching all records from CloudKit");
    beginUpdates();
    postNotification(TLSyncManagerFetchChangesNotification);
    auto operation = std::make_shared<cloud::FetchRecordChangesOperation>(tavloRecordZoneID(), token);
    operation->setQualityOfService(25);
    // Each record is applied to the import context as it comes; the page is
    // saved once, at its end (a save per record made a first download of
    // thousands of records several times slower).
    operation->setRecordChangedBlock([weak = weakSelf(), hold = busy()](const cloud::Record& record) {
        if (auto self = weak.lock()) self->applyChangedRecord(record);
    });
    operation->setRecordWithIDWasDeletedBlock([weak = weakSelf(), hold = busy()](const cloud::RecordID& recordID, const std::string&) {
        if (auto self = weak.lock()) self->deleteObjectWithIDFromDatabase(recordID.recordName);
    });
    std::weak_ptr<cloud::FetchRecordChangesOperation> weakOperation = operation;
    operation->setFetchRecordChangesCompletionBlock(
        [weak = weakSelf(), hold = busy(), weakOperation, token, completion = std::move(completion)](
            const std::optional<cloud::ServerChangeToken>& newToken, const std::optional<foundation::Data>&,
            const std::optional<cloud::Error>& error) {
            if (auto self = weak.lock()) self->fetchCompleted(weakOperation.lock(), token, newToken, error, completion);
        });
    addOperation(operation);
}

void TLCloudKitSyncManager::fetchCompleted(const std::shared_ptr<cloud::FetchRecordChangesOperation>& operation,
                                           const std::optional<cloud::ServerChangeToken>& startToken,
                                           const std::optional<cloud::ServerChangeToken>& newToken,
                                           const std::optional<cloud::Error>& error, const Completion& completion) {
    postStatus("fetchrecordchangescompletionblock");
    auto import = importManagedObjectContext_;
    if (!error && import) {
        const bool more = operation && operation->moreComing();
        // After the page's records and deletions, queued before this on the
        // import context: the token moves past them only once they are saved.
        import->performBlock([weak = weakSelf(), hold = busy(), newToken, more, completion] {
            auto self = weak.lock();
            if (!self) return;
            const bool saved = self->saveImportedChanges("Error saving records to local store: %@");
            if (!saved) {
                self->endUpdates();
                if (completion) completion(false);
                return;
            }
            TLLogInfo(TLLogContextSync, "Save new CloudKit change token.");
            storeToken(newToken);
            if (more) {
                TLLogInfo(TLLogContextSync, "More record changes coming. Continue fetch operation");
                // Its bracket opens before this one closes.
                self->fetchChangesFromCloudKit(newToken, completion);
                self->endUpdates();
                return;
            }
            TLLogInfo(TLLogContextSync, "All record changes have been fetched");
            TLLogInfo(TLLogContextSync, "All record changes have been saved to the local store");
            self->endUpdates();
            if (completion) completion(true);
            postNotification(TLSyncManagerDidFinishFetchingChangesNotification);
        });
        return;
    }
    endUpdates();
    if (!error) {
        if (completion) completion(false);
        return;
    }

    TLLogError(TLLogContextSync, "Error fetching updates from CloudKit: %@", error->description);
    switch (error->code) {
        case cloud::Error::kChangeTokenExpired:
            TLLogWarning(TLLogContextSync, "Server change token has expired. Fetch all records");
            storeToken(std::nullopt);
            fetchChangesFromCloudKit(std::nullopt, completion);
            break;
        case cloud::Error::kServiceUnavailable:
        case cloud::Error::kRequestRateLimited:
        case cloud::Error::kZoneBusy: {
            TLLogWarning(TLLogContextSync, "Will retry fetch operation in 30s");
            dispatch::after(retryDelay(*error), dispatch::Queue::main(), [weak = weakSelf(), hold = busy(), startToken, completion] {
                if (auto self = weak.lock()) self->fetchChangesFromCloudKit(startToken, completion);
            });
            break;
        }
        case cloud::Error::kZoneNotFound: resetZone(); break;
        default: break;
    }
    if (completion) completion(false);
}

// MARK: - Saving imported changes

bool TLCloudKitSyncManager::saveImportedChanges(const char* failureFormat) {
    auto import = importManagedObjectContext_;
    if (!import) return false;
    if (!import->hasChanges()) return true;
    auto saved = import->save();
    if (!saved) {
        TLLogError(TLLogContextSync, failureFormat, saved.error().description());
        return false;
    }
    saveMainContextImporting();
    return true;
}

void TLCloudKitSyncManager::saveMainContextImporting() {
    auto main = managedObjectContext_;
    if (!main) return;
    main->performBlockAndWait([&] {
        importing_ = true;
        (void)main->save();
        importing_ = false;
    });
}

// MARK: - Applying records

void TLCloudKitSyncManager::applyChangedRecord(const cloud::Record& record) {
    const std::string& type = record.recordType();
    TLLogDebug(TLLogContextSync, "Fetched changed %@ record with ID %@", type, printableName(record.recordID().recordName));
    if (type == List::kEntityName) saveListRecord(record);
    else if (type == Clipping::kEntityName) saveClippingRecord(record);
    else if (type == Asset::kEntityName) saveAssetRecord(record);
    else TLLogWarning(TLLogContextSync, "Skipping record of unknown type %@", printableName(type));
}

std::shared_ptr<store::Context> TLCloudKitSyncManager::contextForApplying(const cloud::Record& record,
                                                                          const char* recordType) const {
    if (record.recordType() != recordType) return nullptr;
    const std::string& name = record.recordID().recordName;
    if (!safeRecordName(name)) {
        TLLogWarning(TLLogContextSync, "Skipping %@ record with unusable ID %@", record.recordType(), printableName(name));
        return nullptr;
    }
    if (!importManagedObjectContext_) return nullptr;
    TLLogInfo(TLLogContextSync, "Saving %@ record with ID %@ to local store", record.recordType(), name);
    return importManagedObjectContext_;
}

void TLCloudKitSyncManager::saveListRecord(const cloud::Record& record) {
    auto import = contextForApplying(record, List::kEntityName);
    if (!import) return;
    const std::string& name = record.recordID().recordName;
    const foundation::Data systemFields = record.encodeSystemFields();
    const auto listName = stringField(record, "name");
    import->performBlockAndWait([&] {
        auto list = firstMatch<List>(*import, List::kEntityName, "listID", name);
        if (list) {
            if (recordIsNewer(*list, record)) {
                TLLogDebug(TLLogContextSync, "Update %@ object with ID %@ on local store", record.recordType(), name);
                list->setListID(name);
                list->setName(listName);
                list->setModifiedDate(record.modificationDate());
                if (list->sync().value_or(false)) list->setSync(false);
                list->setRecordSystemFields(systemFields);
            } else {
                TLLogDebug(TLLogContextSync, "%@ object with ID %@ is already in sync", record.recordType(), name);
                keepInStep(*list, record, systemFields);
            }
            return;
        }
        TLLogDebug(TLLogContextSync, "Insert %@ object with ID %@ to local store", record.recordType(), name);
        list = std::dynamic_pointer_cast<List>(import->insertNewObject(List::kEntityName));
        list->setListID(name);
        list->setName(listName);
        list->setModifiedDate(record.modificationDate());
        list->setSync(false);
        list->setRecordSystemFields(systemFields);
    });
}

void TLCloudKitSyncManager::saveClippingRecord(const cloud::Record& record) {
    auto import = contextForApplying(record, Clipping::kEntityName);
    if (!import) return;
    const std::string& name = record.recordID().recordName;
    const foundation::Data systemFields = record.encodeSystemFields();

    // The "list" field: a reference names the list; any other value is read as no list.
    std::optional<std::string> listName;
    if (auto value = record.objectForKey("list")) {
        const auto* reference = std::get_if<cloud::Reference>(&*value);
        if (reference && safeRecordName(reference->recordID.recordName)) listName = reference->recordID.recordName;
        else
            TLLogWarning(TLLogContextSync, "Ignoring field \"list\" of Clipping record %@: not a usable reference",
                         name);
    }

    import->performBlockAndWait([&] {
        auto clipping = firstMatch<Clipping>(*import, Clipping::kEntityName, "clippingID", name);
        if (clipping) {
            if (!recordIsNewer(*clipping, record)) {
                TLLogDebug(TLLogContextSync, "%@ object with ID %@ is already in sync", record.recordType(), name);
                keepInStep(*clipping, record, systemFields);
                return;
            }
            TLLogDebug(TLLogContextSync, "Update %@ object with ID %@ on local store", record.recordType(), name);
        } else {
            TLLogDebug(TLLogContextSync, "Insert %@ object with ID %@ to local store", record.recordType(), name);
            clipping = std::dynamic_pointer_cast<Clipping>(import->insertNewObject(Clipping::kEntityName));
        }
        clipping->setClippingID(name);
        clipping->setModifiedDate(record.modificationDate());
        auto addDate = dateField(record, "addDate");
        clipping->setAddDate(addDate ? addDate : record.creationDate());
        auto tavloDate = dateField(record, "tavloDate");
        if (!tavloDate) tavloDate = dateField(record, "saveDate");
        clipping->setTavloDate(tavloDate ? *tavloDate : NSDateCloudKit::currentServerDate());
        clipping->setPasteboardIndex(integerField(record, "pasteboardIndex"));
        clipping->setIndex(integerField(record, "index"));
        clipping->setItems(integerField(record, "items"));
        clipping->setText(stringField(record, "text"));
        clipping->setUrl(stringField(record, "url"));
        clipping->setUrlName(stringField(record, "urlName"));
        clipping->setImage(stringField(record, "image"));
        clipping->setColor(integerField(record, "color"));
        clipping->setDeviceName(stringField(record, "deviceName"));
        clipping->setTavloStyle(integerField(record, "tavloStyle"));
        clipping->setTavloTemplate(stringField(record, "tavloTemplate"));
        clipping->setUrlSource(stringField(record, "urlSource"));
        clipping->setSync(false);
        clipping->setRecordSystemFields(systemFields);

        if (!listName) {
            if (clipping->list()) clipping->setList(nullptr);
            return;
        }
        auto current = clipping->list();
        if (current && current->listID() == listName) return;
        auto list = firstMatch<List>(*import, List::kEntityName, "listID", *listName);
        if (list) {
            TLLogDebug(TLLogContextSync, "Add relationship Clipping (%@) > List (%@)", name, *listName);
        } else {
            TLLogDebug(TLLogContextSync, "Add relationship Clipping (%@) > List (%@) by inserting new list object", name,
                       *listName);
            list = std::dynamic_pointer_cast<List>(import->insertNewObject(List::kEntityName));
            list->setName(std::string());
            list->setModifiedDate(kPlaceholderDate);
            list->setListID(*listName);
        }
        clipping->setList(list);
    });
}

void TLCloudKitSyncManager::saveAssetRecord(const cloud::Record& record) {
    if (record.recordType() != Asset::kEntityName) return;
    const std::string& name = record.recordID().recordName;
    TLLogInfo(TLLogContextSync, "Saving %@ record with ID %@ to local store", record.recordType(), printableName(name));
    const auto clippingID = stringField(record, "clippingID");
    const auto filename = stringField(record, "filename");
    // Every path comes from the checked helpers: a record naming anything
    // outside its clipping's folder is not applied at all.
    const auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clippingID);
    const auto target = filename ? NSFileManagerExtras::URLForAssetFile(clippingID, *filename) : std::nullopt;
    if (!safeRecordName(name) || !folder || !target) {
        TLLogWarning(TLLogContextSync, "Skipping Asset record %@: unusable clipping ID or file name",
                     printableName(name));
        return;
    }
    auto import = importManagedObjectContext_;
    if (!import) return;

    if (auto value = record.objectForKey("data")) {
        if (const auto* asset = std::get_if<cloud::Asset>(&*value); asset && !asset->fileURL.empty()) {
            std::error_code ec;
            const fs::path dir = folder->filePath();
            if (!fs::is_directory(fs::symlink_status(dir, ec))) {
                fs::remove(dir, ec);
                fs::create_directories(dir, ec);
            }
            const fs::path file = target->filePath();
            if (fs::exists(fs::symlink_status(file, ec))) fs::remove_all(file, ec);
            TLLogDebug(TLLogContextSync, "Save asset file to %@", file.string());
            fs::copy_file(asset->fileURL, file, ec);
        } else {
            TLLogWarning(TLLogContextSync, "Asset record %@ came without its file", name);
        }
    } else {
        TLLogWarning(TLLogContextSync, "Asset record %@ came without its file", name);
    }

    const foundation::Data systemFields = record.encodeSystemFields();
    import->performBlockAndWait([&] {
        auto asset = firstMatch<Asset>(*import, Asset::kEntityName, "assetID", name);
        if (!asset) {
            TLLogDebug(TLLogContextSync, "Insert %@ object with ID %@ to local store", record.recordType(), name);
            asset = std::dynamic_pointer_cast<Asset>(import->insertNewObject(Asset::kEntityName));
        }
        if (recordIsNewer(*asset, record)) {
            TLLogDebug(TLLogContextSync, "Update %@ object with ID %@ on local store", record.recordType(), name);
            asset->setAssetID(name);
            asset->setFilename(filename);
            asset->setModifiedDate(record.modificationDate());
            asset->setSync(false);
            asset->setRecordSystemFields(systemFields);
        } else {
            TLLogDebug(TLLogContextSync, "%@ object with ID %@ is already in sync", record.recordType(), name);
            keepInStep(*asset, record, systemFields);
        }
        if (asset->clipping()) return;
        auto clipping = firstMatch<Clipping>(*import, Clipping::kEntityName, "clippingID", *clippingID);
        if (clipping) {
            TLLogDebug(TLLogContextSync, "Add relationship Asset (%@) > Clipping (%@)", name, *clippingID);
        } else {
            TLLogDebug(TLLogContextSync, "Add relationship Asset (%@) > Clipping (%@) by inserting new clipping object",
                       name, *clippingID);
            clipping = std::dynamic_pointer_cast<Clipping>(import->insertNewObject(Clipping::kEntityName));
            clipping->setClippingID(*clippingID);
            clipping->setSync(false);
            clipping->setTavloDate(kPlaceholderDate);
        }
        asset->setClipping(clipping);
    });
}

// MARK: - Deletions

void TLCloudKitSyncManager::deleteObjectWithIDFromDatabase(const std::string& recordName) {
    TLLogInfo(TLLogContextSync, "Deleting object with ID %@ from local store", printableName(recordName));
    auto import = importManagedObjectContext_;
    if (!import || !safeRecordName(recordName)) return;
    import->performBlock([weak = weakSelf(), hold = busy(), recordName] {
        auto self = weak.lock();
        if (!self) return;
        auto& import = *self->importManagedObjectContext_;
        const bool isList = recordName.starts_with("F-") || recordName.starts_with(List::kIDPrefix);
        const bool isClippingOrAsset = recordName.starts_with(Clipping::kIDPrefix);
        const bool hasPoint = recordName.find('.') != std::string::npos;
        if (isList) {
            for (const auto& list : allMatches<List>(import, List::kEntityName, "listID", recordName))
                import.deleteObject(list);
        } else if (isClippingOrAsset && !hasPoint) {
            for (const auto& clipping : allMatches<Clipping>(import, Clipping::kEntityName, "clippingID", recordName)) {
                if (auto clippingID = clipping->clippingID()) self->pasteboardManager().deleteAssetsForClippingWithID(*clippingID);
                import.deleteObject(clipping);
            }
        } else if (isClippingOrAsset) {
            for (const auto& asset : allMatches<Asset>(import, Asset::kEntityName, "assetID", recordName)) {
                auto clipping = asset->clipping();
                auto filename = asset->filename();
                if (clipping && filename)
                    if (auto file = NSFileManagerExtras::URLForAssetFile(clipping->clippingID(), *filename)) {
                        std::error_code ec;
                        if (fs::exists(fs::symlink_status(file->filePath(), ec))) fs::remove(file->filePath(), ec);
                    }
                import.deleteObject(asset);
            }
        }
        // Saved with the rest of its page.
    });
}

// MARK: - Zone reset

void TLCloudKitSyncManager::resetZone() {
    TLLogError(TLLogContextSync, "Tavlo Record Zone was not found. Sync Disabled.");
    auto suite = settings();
    suite->setBool(false, TLUserDefaultsSyncEnabled);
    suite->removeObjectForKey(TLUserDefaultsCloudKitServerChangeToken);
    suite->synchronize();
    std::error_code ec;
    fs::remove_all(NSFileManagerExtras::localAssetsDirectory().filePath(), ec);
    auto import = importManagedObjectContext_;
    if (!import) return;
    import->performBlock([weak = weakSelf(), hold = busy()] {
        auto self = weak.lock();
        if (!self) return;
        auto& import = *self->importManagedObjectContext_;
        for (const char* entity : {List::kEntityName, Clipping::kEntityName, Asset::kEntityName})
            if (auto all = import.fetch(store::FetchRequest(entity)))
                for (const auto& object : all.value()) import.deleteObject(object);
        self->saveImportedChanges("Error saving records to local store: %@");
        auto suite = settings();
        suite->setBool(true, TLUserDefaultsSyncEnabled);
        suite->synchronize();
        self->checkServerForTavloRecordZone([weak](bool found) {
            auto self = weak.lock();
            if (!self) return;
            if (found) {
                self->runCloudKitDiagnostics();
                return;
            }
            self->createTavloRecordZone(self->tavloRecordZoneID(), [weak](bool created) {
                if (auto self = weak.lock(); self && created) self->runCloudKitDiagnostics();
            });
        });
    });
}

// MARK: - Record builders

cloud::Record TLCloudKitSyncManager::newRecordForList(const List& list) const {
    const std::string name = list.listID().value_or("");
    TLLogInfo(TLLogContextSync, "Create new List record with ID %@", name);
    cloud::Record record(List::kEntityName, cloud::RecordID{name, tavloRecordZoneID()});
    return updatedRecordForList(record, list);
}

cloud::Record TLCloudKitSyncManager::newRecordForClipping(const Clipping& clipping) const {
    const std::string name = clipping.clippingID().value_or("");
    TLLogInfo(TLLogContextSync, "Create new Clipping record with ID %@", name);
    cloud::Record record(Clipping::kEntityName, cloud::RecordID{name, tavloRecordZoneID()});
    return updatedRecordForClipping(record, clipping);
}

cloud::Record TLCloudKitSyncManager::newRecordForAsset(const Asset& asset) const {
    const std::string name = asset.assetID().value_or("");
    TLLogInfo(TLLogContextSync, "Create new Asset record with ID %@", name);
    cloud::Record record(Asset::kEntityName, cloud::RecordID{name, tavloRecordZoneID()});
    return updatedRecordForAsset(record, asset);
}

namespace {

template <class T>
std::optional<cloud::FieldValue> valueOf(const std::optional<T>& v) {
    if (!v) return std::nullopt;
    return cloud::FieldValue(*v);
}

}  // namespace

cloud::Record& TLCloudKitSyncManager::updatedRecordForList(cloud::Record& record, const List& list) const {
    TLLogInfo(TLLogContextSync, "Update List record with ID %@", list.listID().value_or(""));
    record.setObject("name", valueOf(list.name()));
    return record;
}

cloud::Record& TLCloudKitSyncManager::updatedRecordForClipping(cloud::Record& record, const Clipping& clipping) const {
    TLLogInfo(TLLogContextSync, "Update Clipping record with ID %@", clipping.clippingID().value_or(""));
    record.setObject("addDate", valueOf(clipping.addDate()));
    record.setObject("tavloDate", valueOf(clipping.tavloDate()));
    record.setObject("index", valueOf(clipping.index()));
    record.setObject("items", valueOf(clipping.items()));
    record.setObject("text", valueOf(clipping.text()));
    record.setObject("url", valueOf(clipping.url()));
    record.setObject("urlName", valueOf(clipping.urlName()));
    record.setObject("image", valueOf(clipping.image()));
    record.setObject("color", valueOf(clipping.color()));
    record.setObject("deviceName", valueOf(clipping.deviceName()));
    record.setObject("pasteboardIndex", valueOf(clipping.pasteboardIndex()));
    record.setObject("urlSource", valueOf(clipping.urlSource()));
    record.setObject("tavloStyle", valueOf(clipping.tavloStyle()));
    record.setObject("tavloTemplate", valueOf(clipping.tavloTemplate()));
    auto list = clipping.list();
    auto listID = list ? list->listID() : std::nullopt;
    if (listID)
        record.setObject("list", cloud::Reference{cloud::RecordID{*listID, tavloRecordZoneID()}, cloud::Reference::None});
    else
        record.setObject("list", std::nullopt);
    return record;
}

cloud::Record& TLCloudKitSyncManager::updatedRecordForAsset(cloud::Record& record, const Asset& asset) const {
    TLLogInfo(TLLogContextSync, "Update Asset record with ID %@", asset.assetID().value_or(""));
    auto clipping = asset.clipping();
    auto clippingID = clipping ? clipping->clippingID() : std::nullopt;
    auto filename = asset.filename();
    if (clippingID && filename)
        if (auto file = NSFileManagerExtras::URLForAssetFile(clippingID, *filename)) {
            std::error_code ec;
            if (fs::exists(file->filePath(), ec)) record.setObject("data", cloud::Asset{file->filePath()});
        }
    record.setObject("filename", valueOf(filename));
    record.setObject("clippingID", valueOf(clippingID));
    if (clippingID)
        record.setObject("clipping",
                         cloud::Reference{cloud::RecordID{*clippingID, tavloRecordZoneID()}, cloud::Reference::DeleteSelf});
    else
        record.setObject("clipping", std::nullopt);
    return record;
}
