#pragma once
// The sync engine: mirrors the store's lists, clippings and asset files into
// the user's private cloud database, in the record zone "Tavlo Zone". The
// application delegate owns one while sync is on and none while it is off;
// the seven virtual operations are what it and the push handling call, so tests of the delegate stand
// in an engine of their own.
//
// The engine measures the server clock, marks never-uploaded objects, keeps
// the zone and this device's subscription, fetches the zone's changes after
// the stored token and applies them to the store through an import context
// under the main context, deletes what other devices deleted and starts over
// when the zone went away.
//
// Threads: completions of the cloud layer run on its operation queues, never
// the main one; the apply operations work on the import context's queue and
// wait for it, main-context saves wait for the main queue. Every block holds
// the engine weakly: when the engine goes away its operations are cancelled,
// its timers do nothing and an update bracket it opened is closed.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/cloud/Error.h"
#include "platform/cloud/Record.h"
#include "platform/cloud/RecordZoneID.h"
#include "platform/cloud/ServerChangeToken.h"
#include "platform/foundation/Date.h"

namespace cloud {
class Container;
class Database;
class DatabaseOperation;
class FetchRecordChangesOperation;
}  // namespace cloud

namespace foundation {
struct Error;
struct Notification;
}  // namespace foundation

namespace store {
class Context;
}

class Asset;
class Clipping;
class List;
class TLDatabaseManager;
class TLPasteboardManager;
class TLSyncedObject;

class TLCloudKitSyncManager : public std::enable_shared_from_this<TLCloudKitSyncManager> {
public:
    static constexpr const char* kTavloRecordZoneName = "Tavlo Zone";
    static constexpr const char* kTavloSubscriptionID = "Tavlo Zone Subscription";
    // Record names longer than this, or holding a NUL, are never applied.
    static constexpr size_t kMaxRecordNameBytes = 255;

    // The engine of the configured account's container, over the shared
    // database and pasteboard managers, or over the ones given (null: shared).
    TLCloudKitSyncManager();
    explicit TLCloudKitSyncManager(std::shared_ptr<cloud::Container> container,
                                   std::shared_ptr<TLDatabaseManager> databaseManager = nullptr,
                                   std::shared_ptr<TLPasteboardManager> pasteboardManager = nullptr);
    virtual ~TLCloudKitSyncManager();
    TLCloudKitSyncManager(const TLCloudKitSyncManager&) = delete;
    TLCloudKitSyncManager& operator=(const TLCloudKitSyncManager&) = delete;

    // The launch pass, with the main context (null: only the server clock);
    // returns at once. The engine must be held by a shared pointer.
    virtual void startCloudKitSync(std::shared_ptr<store::Context> context);
    // The launch pass's marking, on the root context's queue: sets `sync` on
    // every object never uploaded and on every object changed since the
    // version kept in its system fields, straight in the store.
    void markNeverUploadedObjects(const std::shared_ptr<store::Context>& root);
    // Binds the engine to the main context and makes its import context; with
    // null unbinds it.
    virtual void setManagedObjectContext(std::shared_ptr<store::Context> context);
    // Answers whether the record zone exists on the server (any failed look-up: NO).
    virtual void checkServerForTavloRecordZone(std::function<void(bool found)> completion);
    // Creates the record zone; answers whether it was created. A failure
    // switches sync off and posts TLSyncManagerEnableSyncErrorNotification.
    virtual void createTavloRecordZone(const cloud::RecordZoneID& zoneID, std::function<void(bool created)> completion);
    // The zone "Tavlo Zone" of the signed-in account.
    virtual cloud::RecordZoneID tavloRecordZoneID() const;
    // The full reconcile of the store with the server.
    virtual void runCloudKitDiagnostics();

    // TLUserDefaultsSyncEnabled of the settings suite.
    static bool syncEnabled();

    // Subscriptions: looks this device's up and saves it when missing; saves
    // it; deletes every subscription of this device.
    void checkSubscription();
    void subscribeForZoneUpdates();
    void unsubscribe();

    // Moves the stored token past the engine's own upload when asked to
    // (setShouldGetUpdatedToken), applying what other devices changed meanwhile.
    void getLatestServerChangeToken();
    void getLatestServerChangeToken(const cloud::RecordZoneID& zoneID,
                                    const std::optional<cloud::ServerChangeToken>& previousChangeToken);
    bool shouldGetUpdatedToken() const { return shouldGetUpdatedToken_; }
    void setShouldGetUpdatedToken(bool value) { shouldGetUpdatedToken_ = value; }

    // Fetches the zone's changes after the stored token (or the one given;
    // none: every record) and applies them. The completion may run twice (NO
    // at once, then the result of a follow-up fetch it started), off the main queue.
    virtual void fetchChangesFromCloudKitWithCompletion(std::function<void(bool success)> completion);
    void fetchChangesFromCloudKit(const std::optional<cloud::ServerChangeToken>& token,
                                  std::function<void(bool success)> completion);
    // MARK: Upload

    // Upload completions: YES whenever an operation ended (look at the
    // error), NO only when a pass found nothing to send. Any thread.
    using UploadCompletion = std::function<void(bool ended, const std::optional<cloud::Error>& error)>;
    // Local objects by record name, each read and written on its context's queue.
    using ObjectsByName = std::map<std::string, std::shared_ptr<TLSyncedObject>>;
    // At most this many saves and deletions go in one modify.
    static constexpr size_t kMaxItemsPerOperation = 400;
    // Rounds of re-saving an operation's failed items before the rest waits
    // for the next pass.
    static constexpr int kMaxResaveRounds = 3;

    // Observers of the main context's saves, bound by setManagedObjectContext:
    // will-save lists deletions and starts a pass; did-save hands the save
    // on to the import context.
    void managedObjectContextWillSave(const foundation::Notification& notification);
    void managedObjectContextDidSave(const foundation::Notification& notification);
    // One upload pass of every object marked for upload and the pending
    // deletions; returns at once.
    virtual void syncDatabaseToCloudKit(UploadCompletion completion);
    // One modify (split past kMaxItemsPerOperation), with the pending
    // deletions that fit; objects are those the records came from, in context.
    void saveRecordsToCloudKit(std::vector<cloud::Record> records, ObjectsByName objects, UploadCompletion completion);
    void saveRecordsToCloudKit(std::vector<cloud::Record> records, ObjectsByName objects,
                               std::shared_ptr<store::Context> context, UploadCompletion completion);
    // Fetches the server's versions of failed items and saves them again with the local values.
    void fetchRecordsWithID(std::vector<cloud::RecordID> recordIDs, ObjectsByName objects,
                            std::shared_ptr<store::Context> context);

    // The pending deletions (TLUserDefaultsDeleteTransactions).
    static std::vector<std::string> pendingDeletions();

    // MARK: Reconcile

    // The zone fetch of every record's comparison fields, from the token given.
    using RecordArrays = std::shared_ptr<std::vector<cloud::Record>>;
    void fetchAllLists(RecordArrays lists, RecordArrays clippings, RecordArrays assets,
                       const std::optional<cloud::ServerChangeToken>& changeToken, std::function<void(bool)> completion);
    // Compares the records with the store on the import context and sends
    // what differs each way; the reconcile's completion posts its end.
    void compareListRecords(const std::vector<cloud::Record>& lists, const std::vector<cloud::Record>& clippings,
                            const std::vector<cloud::Record>& assets);
    // Fetches and applies the records from start on, 400 at a time, one batch after the other.
    static constexpr size_t kMaxFetchBatch = 400;
    void fetchRecordsWithRecordIDs(std::vector<cloud::RecordID> recordIDs, size_t startingIndex,
                                   std::function<void()> completion);
    // A title for a cloud error code from 1 to 28; any other error's own description.
    static std::string errorDescriptionForError(const foundation::Error& error);

    // Apply one downloaded record on the import context and wait for it,
    // without saving; a record of another type, or one whose names are unsafe,
    // is skipped with a log line.
    void saveListRecord(const cloud::Record& record);
    void saveClippingRecord(const cloud::Record& record);
    void saveAssetRecord(const cloud::Record& record);
    // Deletes the local object named by a deleted record, asynchronously on the
    // import context, unsaved: the fetch saves its page's changes at the page's end.
    void deleteObjectWithIDFromDatabase(const std::string& recordName);

    // Records for local objects, on the objects' context queue: a new record
    // in the zone, or the given one with the object's fields set.
    cloud::Record newRecordForList(const List& list) const;
    cloud::Record newRecordForClipping(const Clipping& clipping) const;
    cloud::Record newRecordForAsset(const Asset& asset) const;
    cloud::Record& updatedRecordForList(cloud::Record& record, const List& list) const;
    cloud::Record& updatedRecordForClipping(cloud::Record& record, const Clipping& clipping) const;
    cloud::Record& updatedRecordForAsset(cloud::Record& record, const Asset& asset) const;

    const std::shared_ptr<store::Context>& managedObjectContext() const { return managedObjectContext_; }
    const std::shared_ptr<store::Context>& importManagedObjectContext() const { return importManagedObjectContext_; }
    // YES only while imported changes are saved in the main context.
    bool importing() const { return importing_; }
    // The application's container and its private database, which every
    // cloud call of the engine goes to.
    const std::shared_ptr<cloud::Container>& container() const { return container_; }
    const std::shared_ptr<cloud::Database>& database() const { return database_; }

    // Whether nothing the engine started is still under way: no cloud call or
    // operation, no retry waiting for its time, no import work queued.
    bool isIdle() const { return *pending_ == 0; }

    // The delay before a retry for a busy, limited or unavailable service:
    // the server's retry-after rounded up, at least 1 s and at most 1 h; 30 s
    // when it gave none.
    static double retryDelay(const cloud::Error& error);

private:
    using Completion = std::function<void(bool)>;
    enum class ZoneLookUp { Found, NotFound, Failed };

    std::weak_ptr<TLCloudKitSyncManager> weakSelf() { return weak_from_this(); }
    // Counts as work under way for as long as a copy of it lives (captured
    // by the blocks of a call, an operation, a retry or queued import work).
    std::shared_ptr<void> busy() const;
    TLDatabaseManager& databaseManager();
    TLPasteboardManager& pasteboardManager();
    void addOperation(const std::shared_ptr<cloud::DatabaseOperation>& operation);
    void beginUpdates();
    void endUpdates();

    void measureServerClock(const std::optional<cloud::Record>& record, const std::optional<cloud::Error>& error);
    void continueLaunchPass(const std::shared_ptr<store::Context>& context);
    void markObjectsChangedSinceUpload(const std::shared_ptr<store::Context>& root);
    void launchWithoutToken();
    void finishLaunchPass(bool recordLastSync);
    void lookUpZone(std::function<void(ZoneLookUp, const std::optional<cloud::Error>&)> completion);

    // The stored token; nothing when absent, and a warning when undecodable.
    std::optional<cloud::ServerChangeToken> storedToken() const;
    static void storeToken(const std::optional<cloud::ServerChangeToken>& token);

    void applyChangedRecord(const cloud::Record& record);
    // The import context when the record is of the type and its name is
    // usable (a log line when not); null otherwise.
    std::shared_ptr<store::Context> contextForApplying(const cloud::Record& record, const char* recordType) const;
    void fetchCompleted(const std::shared_ptr<cloud::FetchRecordChangesOperation>& operation,
                        const std::optional<cloud::ServerChangeToken>& startToken,
                        const std::optional<cloud::ServerChangeToken>& newToken,
                        const std::optional<cloud::Error>& error, const Completion& completion);
    // On the import context's queue: saves it, then the main context with
    // importing set; answers NO only when the import save failed.
    bool saveImportedChanges(const char* failureFormat);
    void saveMainContextImporting();
    void resetZone();

    // The object's values put on a record of its type (false: another
    // type), or a new record for it (none for an object of another entity).
    bool putObjectValues(cloud::Record& record, const TLSyncedObject& object) const;
    std::optional<cloud::Record> newRecordForObject(const TLSyncedObject& object) const;

    struct Batch;
    struct UploadPass;
    struct Comparison;
    void sendBatch(std::shared_ptr<Batch> batch);
    // Sends a batch within the operation limit.
    void sendPart(std::shared_ptr<Batch> batch);
    void splitBatch(const std::shared_ptr<Batch>& batch);
    void handlePartialFailure(const std::shared_ptr<Batch>& batch, const cloud::Error& error);
    void setAside(const std::shared_ptr<Batch>& batch, const std::vector<std::string>& names, const std::string& why);
    void markForUpload(const std::shared_ptr<Batch>& batch, const std::vector<std::string>& names);
    struct WriteBacks;
    void modifyCompleted(const std::shared_ptr<Batch>& batch, const std::vector<cloud::RecordID>& deletionsSent,
                         const std::optional<cloud::Error>& error, WriteBacks& writeBacks);
    void writeBack(const std::shared_ptr<Batch>& batch, const cloud::Record& record, WriteBacks& writeBacks);
    void saveBatchContext(const std::shared_ptr<store::Context>& context, WriteBacks& writeBacks);
    void reconcileAfterUploadError();
    void buildRecordsInSlices(std::shared_ptr<UploadPass> pass);
    void compareEntity(const char* entity, const std::vector<cloud::Record>& records, Comparison& comparison);
    void fetchRecordsToResave(std::vector<cloud::RecordID> recordIDs, const std::shared_ptr<Batch>& batch, int round);
    // Whether the record failed for good this run and the object has not changed since.
    bool isSetAside(const std::string& name, const std::optional<foundation::Date>& modifiedDate);
    void removePendingDeletions(const std::vector<std::string>& names);
    std::vector<uint64_t> observerTokens_;
    // The pass building its records (main queue only).
    std::weak_ptr<UploadPass> buildingPass_;
    // Records that failed for good, with the object's change date then.
    std::mutex setAsideMutex_;
    std::map<std::string, std::optional<foundation::Date>> setAside_;
    // When the last reconcile started from an upload error began (Clock time).
    std::atomic<double> lastErrorReconcile_{-1e300};

    std::shared_ptr<cloud::Container> container_;
    std::shared_ptr<cloud::Database> database_;
    std::shared_ptr<TLDatabaseManager> databaseManager_;
    std::shared_ptr<TLPasteboardManager> pasteboardManager_;
    std::shared_ptr<store::Context> managedObjectContext_;
    std::shared_ptr<store::Context> importManagedObjectContext_;
    std::atomic<bool> importing_{false};
    std::atomic<bool> shouldGetUpdatedToken_{false};
    // Update brackets this engine opened and has not closed yet.
    std::atomic<int> openBrackets_{0};
    // Shared with the busy tokens, which may outlive the engine.
    std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
    std::mutex operationsMutex_;
    std::vector<std::weak_ptr<cloud::DatabaseOperation>> operations_;
};
