#pragma once
// A managed object context over a coordinator: the objects it registered (one
// instance per ID), their unsaved inserts, changes and deletions, fetches that
// see those unsaved changes, and saves that write them as one transaction.
// Confined to one queue (the caller's).
//
// Objects are registered weakly: an object nobody holds and that has no unsaved
// change is dropped, so a large fetch costs memory only while its result lives.
// Objects with unsaved changes are held by the context until saved or rolled back.
//
// Delete rules are applied when pending changes are processed (at the latest at
// the start of a save): nullify clears the inverse of the related objects,
// cascade deletes them, deny makes the save fail while related objects remain.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/Coordinator.h"
#include "platform/store/FetchRequest.h"
#include "platform/store/ManagedObject.h"
#include "platform/store/ObjectRegistry.h"

namespace store {

class Context {
public:
    using Objects = std::vector<std::shared_ptr<ManagedObject>>;
    using Dictionary = std::map<std::string, Value>;

    explicit Context(std::shared_ptr<Coordinator> coordinator);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    const std::shared_ptr<Coordinator>& persistentStoreCoordinator() const { return coordinator_; }
    const Model& model() const { return *model_; }

    // A new, empty object of the entity, or null for an unknown entity.
    std::shared_ptr<ManagedObject> insertNewObject(std::string_view entityName);
    void deleteObject(const std::shared_ptr<ManagedObject>& object);

    foundation::Result<Objects> fetch(const FetchRequest& request);
    foundation::Result<std::vector<ObjectID>> fetchObjectIDs(const FetchRequest& request);
    // One dictionary per object (or per distinct row) with the propertiesToFetch
    // (all column properties when empty); to-one relationships give object IDs.
    foundation::Result<std::vector<Dictionary>> fetchDictionaries(const FetchRequest& request);
    foundation::Result<int64_t> count(const FetchRequest& request);

    // The registered object for the ID, or a new fault for it (not checked
    // against the store until a property is read).
    std::shared_ptr<ManagedObject> objectWithID(const ObjectID& id);
    // The object, loaded; an error when the store has no such row.
    foundation::Result<std::shared_ptr<ManagedObject>> existingObjectWithID(const ObjectID& id);
    std::shared_ptr<ManagedObject> objectRegisteredForID(const ObjectID& id) const;

    bool hasChanges() const { return !inserted_.empty() || !updated_.empty() || !deleted_.empty(); }
    const Objects& insertedObjects() const { return inserted_; }
    const Objects& updatedObjects() const { return updated_; }
    const Objects& deletedObjects() const { return deleted_; }

    // Applies delete rules and starts a new change event (the per-event changed
    // keys are cleared).
    void processPendingChanges();
    // Writes every unsaved change in one transaction. On error nothing is
    // written and the changes stay pending, so a later save can write them.
    foundation::Result<void> save();
    // Forgets every unsaved change.
    void rollback();
    // Turns the object back into a fault; with mergeChanges its unsaved changes
    // stay (only unchanged values are dropped), without, they are forgotten.
    void refreshObject(const std::shared_ptr<ManagedObject>& object, bool mergeChanges);

private:
    friend class ManagedObject;
    struct Candidate;

    std::shared_ptr<ManagedObject> makeObject(const Entity& entity, int64_t pk);
    std::shared_ptr<ManagedObject> sharedFor(const ManagedObject& object) const;
    void unregister(const ManagedObject& object);
    void fulfillFault(ManagedObject& object);
    void noteChanged(ManagedObject& object);
    void detach(const std::shared_ptr<ManagedObject>& object);
    bool hasPendingChanges(uint32_t entity) const;
    foundation::Result<void> applyDeleteRules(bool enforceDeny);
    foundation::Result<Objects> run(const FetchRequest& request, const Entity& entity, const std::vector<int>& extra);
    foundation::Result<const Entity*> entityFor(const FetchRequest& request) const;

    std::shared_ptr<Coordinator> coordinator_;
    std::shared_ptr<const Model> model_;
    ObjectRegistry registry_;
    Objects inserted_, updated_, deleted_;
    size_t rulesApplied_ = 0;  // deleted_ objects whose delete rules have run
};

}  // namespace store
