#pragma once
// A managed object context: the objects it registered (one instance per ID),
// their unsaved inserts, changes and deletions, fetches that see those unsaved
// changes, and saves that hand them on.
//
// A context either owns a coordinator (a root context, whose save writes one
// transaction) or has a parent context (whose save hands its changes to the
// parent, which then holds them as its own unsaved changes and reports them to
// its observers). A child sees its ancestors' unsaved changes in its fetches
// and faults, read under their locks, so a child never waits on a parent's
// queue to read.
//
// Threads: a context is confined to its queue. A main-queue context is used on
// the main thread, a private-queue context inside performBlock() and
// performBlockAndWait(), a confinement context (made over a coordinator) on the
// caller's thread. Its objects follow the same rule. Other threads only read
// a context's unsaved state (its children, under its lock) and drop objects
// they were handed (the registry is locked).
//
// Objects are registered weakly: an object nobody holds and that has no unsaved
// change is dropped, so a large fetch costs memory only while its result lives.
// Objects with unsaved changes are held by the context until saved or rolled back.
//
// Delete rules are applied when pending changes are processed (at the latest at
// the start of a save): nullify clears the inverse of the related objects,
// cascade deletes them, deny makes the save fail while related objects remain.
//
// A fetch answers from the store for objects without unsaved changes and
// evaluates its predicate in memory for this context's inserted and changed
// objects of the fetched entity; an unsaved change of a related object (a list
// renamed but not saved) is seen by "list.name" only once it is saved.
//
// Notifications (foundation::NotificationCenter::defaultCenter(), object: the
// context, delivered on the context's queue):
// - objects-did-change, each time pending changes are processed: at the end of
//   every outermost perform block, at the start of a save, after a child's
//   save or a merge, and for a main-queue context used directly on the main
//   thread once per turn of the main queue. It carries the objects inserted,
//   updated and deleted since the last one; while it is delivered, each
//   object's changedKeysForCurrentEvent() are the keys this event changed.
// - will-save, before a save writes anything: delete rules have run, and the
//   pending sets are what the save will write (observers may still change them).
// - did-save, after a successful save: the objects it inserted, updated and
//   deleted, and the keys it wrote for each updated object.
// A save with nothing to save posts neither will-save nor did-save.
//
// While a root context's save writes to the store, a child's save hands its
// changes over at once on the child's thread rather than waiting for the
// write (a large clipping's write holds the root's queue for a second or
// more); the root's save then clears only what it wrote, so the handed-over
// changes stay pending for its next save. A write that fails keeps them all.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Notification.h"
#include "platform/foundation/Result.h"
#include "platform/store/Coordinator.h"
#include "platform/store/FetchRequest.h"
#include "platform/store/ManagedObject.h"
#include "platform/store/ObjectRegistry.h"

namespace store {

struct RowQuery;
struct SQLCondition;

enum class ConcurrencyType { Confinement, PrivateQueue, MainQueue };

// How a save settles values that changed in the store since they were read.
// A store has one writer, its root context, so no row ever changes behind a
// context's back: the policy is kept for the callers that set it and never has
// to decide.
enum class MergePolicy { Error, MergeByPropertyStoreTrump, MergeByPropertyObjectTrump, Overwrite, Rollback };

class Context : public std::enable_shared_from_this<Context> {
public:
    using Objects = std::vector<std::shared_ptr<ManagedObject>>;
    using Dictionary = std::map<std::string, Value>;
    // For each updated object of a did-save notification, the keys the save wrote.
    using ChangedKeys = std::map<ObjectID, std::vector<std::string>>;

    static constexpr const char* kObjectsDidChangeNotification = "ContextObjectsDidChangeNotification";
    static constexpr const char* kWillSaveNotification = "ContextWillSaveNotification";
    static constexpr const char* kDidSaveNotification = "ContextDidSaveNotification";
    // User-info keys: Objects, in the order the changes were made.
    static constexpr const char* kInsertedObjectsKey = "inserted";
    static constexpr const char* kUpdatedObjectsKey = "updated";
    static constexpr const char* kDeletedObjectsKey = "deleted";
    // Did-save only: ChangedKeys.
    static constexpr const char* kUpdatedKeysKey = "updatedKeys";

    // A root context confined to the caller's thread.
    explicit Context(std::shared_ptr<Coordinator> coordinator);
    // A context without a store yet: give it a coordinator or a parent (once,
    // before it is used; for a private-queue context from inside its queue).
    explicit Context(ConcurrencyType type);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    ConcurrencyType concurrencyType() const { return type_; }
    // Null for a confinement context.
    const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
    void setPersistentStoreCoordinator(std::shared_ptr<Coordinator> coordinator);
    // The parent must already have its store (or its own parent).
    void setParentContext(std::shared_ptr<Context> parent);
    const std::shared_ptr<Context>& parentContext() const { return parent_; }
    // The coordinator this context reads and writes through: its own, or its
    // root's. Null when it has neither; every fetch and save then fails.
    const std::shared_ptr<Coordinator>& persistentStoreCoordinator() const { return coordinator_; }
    // Null without a coordinator or parent.
    const std::shared_ptr<const Model>& managedObjectModel() const { return model_; }
    const Model& model() const { return *model_; }

    // Runs the block on the context's queue, later (a confinement context runs
    // it at once). Pending changes are processed when the block ends.
    void performBlock(std::function<void()> block);
    // Runs the block on the context's queue and returns when it has run; a
    // block already on that queue (or on the main thread for a main-queue
    // context) runs at once, so nesting is safe. Pending changes are processed
    // when the outermost block ends.
    void performBlockAndWait(const std::function<void()>& block);

    // Every fetch reads the store (and the ancestors' unsaved changes), so no
    // row value is ever older than this; kept for the callers that set it.
    double stalenessInterval() const { return stalenessInterval_; }
    void setStalenessInterval(double seconds) { stalenessInterval_ = seconds; }
    MergePolicy mergePolicy() const { return mergePolicy_; }
    void setMergePolicy(MergePolicy policy) { mergePolicy_ = policy; }

    // A new, empty object of the entity, or null for an unknown entity.
    std::shared_ptr<ManagedObject> insertNewObject(std::string_view entityName);
    void deleteObject(const std::shared_ptr<ManagedObject>& object);

    foundation::Result<Objects> fetch(const FetchRequest& request);
    foundation::Result<std::vector<ObjectID>> fetchObjectIDs(const FetchRequest& request);
    // One dictionary per object (or per distinct row) with the propertiesToFetch
    // (all column properties when empty); to-one relationships give object IDs.
    foundation::Result<std::vector<Dictionary>> fetchDictionaries(const FetchRequest& request);
    // The objects a fetch would answer; for a request of distinct results, the
    // dictionaries fetchDictionaries would answer.
    foundation::Result<int64_t> count(const FetchRequest& request);

    // The registered object for the ID, or a new fault for it (not checked
    // against the store until a property is read).
    std::shared_ptr<ManagedObject> objectWithID(const ObjectID& id);
    // The object, loaded; an error when the store has no such row.
    foundation::Result<std::shared_ptr<ManagedObject>> existingObjectWithID(const ObjectID& id);
    std::shared_ptr<ManagedObject> objectRegisteredForID(const ObjectID& id) const;

    bool hasChanges() const { return !inserted_.empty() || !updated_.empty() || !deleted_.empty(); }
    // Whether this root context's save is writing to the store right now (a
    // child's save then hands its changes over without waiting). Any thread.
    bool isWritingToStore() const;
    const Objects& insertedObjects() const { return inserted_; }
    const Objects& updatedObjects() const { return updated_; }
    const Objects& deletedObjects() const { return deleted_; }

    // Applies delete rules, posts objects-did-change for what changed since the
    // last time (nothing when nothing did) and starts a new change event.
    void processPendingChanges();
    // A root writes every unsaved change in one transaction; a child hands them
    // to its parent (waiting on the parent's queue). On error nothing is
    // written and the changes stay pending, so a later save can write them.
    foundation::Result<void> save();
    // Forgets every unsaved change.
    void rollback();
    // Turns the object back into a fault; with mergeChanges its unsaved changes
    // stay (only unchanged values are dropped), without, they are forgotten.
    void refreshObject(const std::shared_ptr<ManagedObject>& object, bool mergeChanges);
    // Takes in another context's did-save: updated objects registered here are
    // refreshed (keeping this context's own changes), deleted ones leave it, and
    // objects-did-change reports all of it. Call on this context's queue, for a
    // save that this context's ancestors (or store) already hold.
    void mergeChangesFromContextDidSaveNotification(const foundation::Notification& notification);

private:
    friend class ManagedObject;
    // An ancestor's unsaved state of one object: nearer ancestors' values win.
    struct Pending {
        bool inserted = false;
        bool deleted = false;
        uint64_t mask = 0;  // the properties in values
        std::vector<std::pair<int, Value>> values;
    };
    // The ancestors' unsaved objects of one entity, by primary key.
    using Overlay = std::unordered_map<int64_t, Pending>;
    struct Event {
        Objects inserted, updated, deleted;
        std::vector<uint64_t> masks;  // the reported keys of each updated object
        bool empty() const { return inserted.empty() && updated.empty() && deleted.empty(); }
    };

    std::shared_ptr<ManagedObject> makeObject(const Entity& entity, int64_t pk);
    std::shared_ptr<ManagedObject> sharedFor(const ManagedObject& object) const;
    void unregister(const ManagedObject& object);
    void fulfillFault(ManagedObject& object);
    // The values of the properties in mask (ascending order) as this context's
    // ancestors and store hold them; nothing when the object does not exist.
    foundation::Result<std::optional<std::vector<Value>>> loadValues(const Entity& entity, int64_t pk, uint64_t mask);
    void noteChanged(ManagedObject& object);
    // Called for every change: a main-queue context used outside a perform
    // block processes its changes once the current turn of the main queue ends.
    void noteEventChange();
    void detach(const std::shared_ptr<ManagedObject>& object);
    bool hasPendingChanges(uint32_t entity) const;
    bool ancestorsHavePendingChanges(uint32_t entity) const;
    Overlay ancestorsOverlay(uint32_t entity) const;
    bool ancestorsPending(const ObjectID& id, Pending& out) const;
    static void absorb(Pending& into, const ManagedObject& object);
    foundation::Result<void> applyDeleteRules(bool enforceDeny);
    using ObjectSet = std::unordered_set<const ManagedObject*>;
    // A fetch in steps: the stored rows the query selects (with the ancestors'
    // unsaved values laid over them), then the unsaved objects the store does
    // not hold yet, then the in-memory match of changed objects, then the sort
    // and page when the store could not do them.
    foundation::Result<Objects> run(const FetchRequest& request, const Entity& entity, const std::vector<int>& extra);
    static RowQuery rowQueryFor(const FetchRequest& request, const Entity& entity, const std::vector<int>& extra,
                                const SQLCondition& condition, bool pushAll);
    foundation::Result<void> readStoredRows(const FetchRequest& request, const RowQuery& query, const Overlay& overlay,
                                            Objects& result, ObjectSet& affected);
    void addPendingObjects(const FetchRequest& request, const Entity& entity, const Overlay& overlay, bool own,
                           Objects& result, ObjectSet& affected);
    static void sortAndPage(const FetchRequest& request, Objects& result);
    foundation::Result<const Entity*> entityFor(const FetchRequest& request) const;
    void runBlock(const std::function<void()>& block);
    Event takeEvent();
    void post(const char* name, const Event& event, const ChangedKeys* keys = nullptr);
    void finishEvent(const Event& event);
    // On the parent's queue: a child's saved changes become this context's own.
    void absorbChildChanges(const ChangeSet& changes);
    // A child's save while this root context's own save is writing to the
    // store: the changes are taken in at once on the child's thread instead of
    // waiting behind the write on this context's queue. Answers false when no
    // write is under way.
    bool absorbChildChangesDuringCommit(const ChangeSet& changes);
    // After a root save wrote its changes: the saved objects lose what was
    // written; what children handed over meanwhile stays pending.
    void clearWrittenChanges(const Objects& inserted, const Objects& updated, const Objects& deleted);

    ConcurrencyType type_ = ConcurrencyType::Confinement;
    std::shared_ptr<dispatch::Queue> queue_;
    std::shared_ptr<Context> parent_;
    std::shared_ptr<Coordinator> coordinator_;
    std::shared_ptr<const Model> model_;
    double stalenessInterval_ = -1;
    MergePolicy mergePolicy_ = MergePolicy::Error;
    // Guards what other threads read or write: the registry, the pending sets
    // and the state of the objects in them. This context's own thread reads
    // without it and writes with it; it is recursive because writes nest (a
    // change fires a fault that registers an object). Lock order: a context,
    // then its ancestors, then the coordinator; never held while waiting on a
    // queue or calling out.
    mutable std::recursive_mutex mutex_;
    std::shared_ptr<ContextAnchor> anchor_ = std::make_shared<ContextAnchor>();
    // Guards registry_ alone and is taken last, after mutex_ and the anchor:
    // an object dying on any thread unregisters under the anchor's reader
    // lock and this one, never mutex_, so the context may destroy objects
    // while holding mutex_.
    mutable std::mutex registryMutex_;
    ObjectRegistry registry_;
    Objects inserted_, updated_, deleted_;
    size_t rulesApplied_ = 0;  // deleted_ objects whose delete rules have run
    // Inserted and deleted since the last objects-did-change.
    Objects eventInserted_, eventDeleted_;
    // A root context's save holds committing_ while only the store is being
    // written (its objects untouched): a child's hand-over may then change
    // them under commitMutex_, which the save takes again before it reads them.
    mutable std::mutex commitMutex_;
    bool committing_ = false;
    int performDepth_ = 0;             // on the context's queue
    bool processingScheduled_ = false;  // main-queue contexts, on the main thread
};

}  // namespace store
