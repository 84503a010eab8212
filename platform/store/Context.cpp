#include "platform/store/Context.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <set>
#include <unordered_set>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ThreadIdentity.h"
#include "platform/store/Comparison.h"
#include "platform/store/SQLTranslator.h"
#include "platform/store/Schema.h"
#include "platform/store/StoreError.h"

namespace store {

using foundation::Result;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

uint64_t bit(size_t property) { return uint64_t(1) << property; }

// An object an ancestor inserted, read from the ancestor's values alone (it
// has no row): a predicate over its attributes is answered without making an
// object for it.
class InsertedValues final : public KeyValueSource {
public:
    InsertedValues(const Entity& entity, const std::vector<std::pair<int, Value>>& values)
        : entity_(entity), values_(values) {}
    Value valueForKeyPath(const KeyPath& keyPath) const override {
        const int index = keyPath.size() == 1 ? entity_.propertyIndex(keyPath[0]) : -1;
        for (const auto& [i, value] : values_)
            if (i == index) return value;
        return {};
    }

private:
    const Entity& entity_;
    const std::vector<std::pair<int, Value>>& values_;
};

// Whether the predicate reads only attributes of the entity itself.
bool readsOnlyAttributes(const Predicate& predicate, const Entity& entity) {
    std::vector<KeyPath> paths;
    predicate.collectKeyPaths(paths);
    for (const auto& path : paths) {
        const Property* property = path.size() == 1 ? entity.property(path[0]) : nullptr;
        if (!property || !property->isAttribute()) return false;
    }
    return true;
}

void removeFrom(Context::Objects& objects, const ManagedObject* object) {
    objects.erase(std::remove_if(objects.begin(), objects.end(), [object](const auto& o) { return o.get() == object; }),
                  objects.end());
}

std::string orderBy(const Entity& entity, const SortDescriptors& sorts) {
    std::string sql;
    for (const auto& s : sorts)
        sql += "t." + Schema::column(*entity.property(s.key)) + (s.ascending ? " ASC, " : " DESC, ");
    return sql + "t.pk ASC";
}

foundation::Error noStoreError() {
    return makeError(ErrorCode::NoStore, "The context has neither a persistent store coordinator nor a parent context");
}

// The properties of a dictionary fetch: those it names (columns only), or every column.
Result<std::vector<int>> dictionaryProperties(const Entity& entity, const FetchRequest& request) {
    std::vector<int> properties;
    for (const auto& name : request.propertiesToFetch) {
        int index = entity.propertyIndex(name);
        if (index < 0 || !entity.property(index).hasColumn())
            return makeError(ErrorCode::InvalidRequest, "Cannot fetch " + name);
        properties.push_back(index);
    }
    if (properties.empty())
        for (size_t i = 0; i < entity.properties().size(); ++i)
            if (entity.properties()[i].hasColumn()) properties.push_back(static_cast<int>(i));
    return properties;
}

}  // namespace

Context::Context(std::shared_ptr<Coordinator> coordinator) {
    anchor_->context = this;
    setPersistentStoreCoordinator(std::move(coordinator));
}

Context::Context(ConcurrencyType type) : type_(type) {
    anchor_->context = this;
    if (type == ConcurrencyType::MainQueue) queue_ = dispatch::Queue::main();
    else if (type == ConcurrencyType::PrivateQueue) queue_ = dispatch::Queue::createSerial("store.context");
}

Context::~Context() {
    // Waits for objects dying elsewhere that are unregistering; later ones
    // find the anchor cleared.
    std::unique_lock anchorLock(anchor_->mutex);
    std::lock_guard registry(registryMutex_);
    registry_.forEach([](ManagedObject* object) { object->context_ = nullptr; });
    anchor_->context = nullptr;
}

void Context::setPersistentStoreCoordinator(std::shared_ptr<Coordinator> coordinator) {
    parent_.reset();
    coordinator_ = std::move(coordinator);
    model_ = coordinator_ ? coordinator_->model() : nullptr;
    if (auto self = weak_from_this().lock(); self && coordinator_) coordinator_->registerContext(self);
}

void Context::setParentContext(std::shared_ptr<Context> parent) {
    parent_ = std::move(parent);
    coordinator_ = parent_ ? parent_->coordinator_ : nullptr;
    model_ = parent_ ? parent_->model_ : nullptr;
    if (auto self = weak_from_this().lock(); self && coordinator_) coordinator_->registerContext(self);
}

void Context::performBlock(std::function<void()> block) {
    if (!queue_) {
        runBlock(block);
        return;
    }
    // The block keeps a shared context alive until it has run.
    queue_->async([this, self = weak_from_this().lock(), block = std::move(block)] { runBlock(block); });
}

void Context::performBlockAndWait(const std::function<void()>& block) {
    // The main thread may be running another queue's block in place of that
    // queue (a sync onto an idle queue does so): it still owns the main context.
    const bool here = !queue_ || queue_->isCurrent() ||
                      (type_ == ConcurrencyType::MainQueue && foundation::isMainThread());
    if (here) runBlock(block);
    else queue_->sync([&] { runBlock(block); });
}

void Context::runBlock(const std::function<void()>& block) {
    ++performDepth_;
    block();
    if (--performDepth_ == 0) processPendingChanges();
}

void Context::noteEventChange() {
    if (type_ != ConcurrencyType::MainQueue || performDepth_ > 0 || processingScheduled_) return;
    std::weak_ptr<Context> self = weak_from_this();
    if (self.expired()) return;
    processingScheduled_ = true;
    queue_->async([self] {
        if (auto context = self.lock()) {
            context->processingScheduled_ = false;
            context->processPendingChanges();
        }
    });
}

std::shared_ptr<ManagedObject> Context::makeObject(const Entity& entity, int64_t pk) {
    const auto& factory = model_->objectFactory(entity.index());
    std::shared_ptr<ManagedObject> object = factory ? factory() : std::make_shared<ManagedObject>();
    object->entity_ = &entity;
    object->id_ = ObjectID{pk, entity.index()};
    object->context_ = this;
    object->anchor_ = anchor_;
    std::lock_guard registry(registryMutex_);
    registry_.insert(object.get());
    return object;
}

std::shared_ptr<ManagedObject> Context::sharedFor(const ManagedObject& object) const {
    return const_cast<ManagedObject&>(object).weak_from_this().lock();
}

void Context::unregister(const ManagedObject& object) {
    // Objects handed to other queues (in notifications) may die there.
    std::lock_guard registry(registryMutex_);
    registry_.erase(object.id_, &object);
}

void Context::detach(const std::shared_ptr<ManagedObject>& object) {
    Lock lock(mutex_);
    object->context_ = nullptr;
    object->anchor_.reset();
    std::lock_guard registry(registryMutex_);
    registry_.erase(object->id_, object.get());
}

std::shared_ptr<ManagedObject> Context::insertNewObject(std::string_view entityName) {
    assert(type_ != ConcurrencyType::MainQueue || foundation::isMainThread());  // the main context: main thread only
    if (!model_ || !coordinator_) return nullptr;
    const Entity* entity = model_->entity(entityName);
    if (!entity) return nullptr;
    auto object = makeObject(*entity, coordinator_->newPrimaryKey(entity->index()));
    {
        Lock lock(mutex_);
        object->inserted_ = true;
        object->loaded_ = entity->columnMask();  // a new object has every value (all nil)
        inserted_.push_back(object);
        eventInserted_.push_back(object);
    }
    noteEventChange();
    return object;
}

void Context::deleteObject(const std::shared_ptr<ManagedObject>& object) {
    assert(type_ != ConcurrencyType::MainQueue || foundation::isMainThread());  // the main context: main thread only
    if (!object || object->context_ != this || object->deleted_) return;
    {
        Lock lock(mutex_);
        if (!object->inserted_ && object->changed_ != 0) removeFrom(updated_, object.get());
        object->deleted_ = true;
        deleted_.push_back(object);
        eventDeleted_.push_back(object);
    }
    noteEventChange();
}

std::shared_ptr<ManagedObject> Context::objectRegisteredForID(const ObjectID& id) const {
    // A dying object is still found until it has unregistered; its weak
    // reference no longer locks by then.
    std::lock_guard registry(registryMutex_);
    ManagedObject* object = registry_.find(id);
    return object ? object->weak_from_this().lock() : nullptr;
}

std::shared_ptr<ManagedObject> Context::objectWithID(const ObjectID& id) {
    if (!model_) return nullptr;
    Lock lock(mutex_);
    if (auto object = objectRegisteredForID(id)) return object;
    if (id.isNull() || id.entity >= model_->entities().size()) return nullptr;
    return makeObject(model_->entity(id.entity), id.pk);
}

Result<std::shared_ptr<ManagedObject>> Context::existingObjectWithID(const ObjectID& id) {
    auto object = objectWithID(id);
    if (!object) return makeError(ErrorCode::InvalidRequest, "No such entity");
    if (object->inserted_) return object;
    const uint64_t missing = object->entity_->columnMask() & ~object->loaded_;
    auto values = loadValues(*object->entity_, id.pk, missing ? missing : 1);
    if (!values) return values.error();
    if (!values.value()) return makeError(ErrorCode::InvalidRequest, "The object is not in the store");
    if (missing) {
        Lock lock(mutex_);
        size_t next = 0;
        for (size_t i = 0; i < object->entity_->properties().size(); ++i) {
            if (!(missing & bit(i))) continue;
            if (!(object->loaded_ & bit(i))) object->storeSlot(static_cast<int>(i), std::move((*values.value())[next]));
            ++next;
        }
    }
    return object;
}

void Context::fulfillFault(ManagedObject& object) {
    const uint64_t missing = object.entity_->columnMask() & ~object.loaded_;
    if (!missing) return;
    auto row = loadValues(*object.entity_, object.id_.pk, missing);
    std::vector<Value> values;
    if (row && row.value()) values = std::move(*row.value());
    // An object that is gone (or unreadable) reads as nil rather than failing the caller.
    values.resize(static_cast<size_t>(std::popcount(missing)));
    Lock lock(mutex_);
    size_t next = 0;
    for (size_t i = 0; i < object.entity_->properties().size(); ++i) {
        if (!(missing & bit(i))) continue;
        if (!(object.loaded_ & bit(i))) object.storeSlot(static_cast<int>(i), std::move(values[next]));
        ++next;
    }
}

Result<std::optional<std::vector<Value>>> Context::loadValues(const Entity& entity, int64_t pk, uint64_t mask) {
    if (!coordinator_) return noStoreError();
    Pending pending;
    const bool held = parent_ && ancestorsPending(ObjectID{pk, entity.index()}, pending);
    if (held && pending.deleted) return std::optional<std::vector<Value>>();
    const uint64_t fromStore = held && pending.inserted ? 0 : mask & ~pending.mask;
    std::vector<Value> stored;
    if (fromStore) {
        auto row = coordinator_->loadRow(entity, pk, fromStore);
        if (!row) return row.error();
        if (!row.value()) return std::optional<std::vector<Value>>();
        stored = std::move(*row.value());
    }
    std::vector<Value> values;
    size_t next = 0;
    for (size_t i = 0; i < entity.properties().size(); ++i) {
        if (!(mask & bit(i))) continue;
        if (pending.mask & bit(i)) {
            auto it = std::find_if(pending.values.begin(), pending.values.end(),
                                   [i](const auto& v) { return v.first == static_cast<int>(i); });
            values.push_back(it != pending.values.end() ? it->second : Value());
        } else {
            values.push_back(next < stored.size() ? std::move(stored[next]) : Value());
            ++next;
        }
    }
    return std::optional<std::vector<Value>>(std::move(values));
}

void Context::absorb(Pending& into, const ManagedObject& object) {
    into.inserted = into.inserted || object.inserted_;
    into.deleted = into.deleted || object.deleted_;
    // A new object holds every value (the ones never set are nil); a changed
    // one only its changes, the rest is where it was read from.
    const uint64_t have = (object.inserted_ ? object.loaded_ : object.changed_) & object.entity_->columnMask() & ~into.mask;
    for (size_t i = 0; i < object.entity_->properties().size(); ++i) {
        if (!(have & bit(i))) continue;
        const Value* value = object.slot(static_cast<int>(i));
        into.values.emplace_back(static_cast<int>(i), value ? *value : Value());
    }
    into.mask |= have;
}

bool Context::ancestorsPending(const ObjectID& id, Pending& out) const {
    bool found = false;
    for (const Context* c = parent_.get(); c; c = c->parent_.get()) {
        Lock lock(c->mutex_);
        std::lock_guard registry(c->registryMutex_);
        const ManagedObject* object = c->registry_.find(id);
        if (!object || !object->hasChanges()) continue;
        absorb(out, *object);
        found = true;
    }
    return found;
}

Context::Overlay Context::ancestorsOverlay(uint32_t entity) const {
    Overlay overlay;
    for (const Context* c = parent_.get(); c; c = c->parent_.get()) {
        Lock lock(c->mutex_);
        for (const Objects* set : {&c->inserted_, &c->updated_, &c->deleted_})
            for (const auto& o : *set)
                if (o->id_.entity == entity) absorb(overlay[o->id_.pk], *o);
    }
    return overlay;
}

bool Context::ancestorsHavePendingChanges(uint32_t entity) const {
    for (const Context* c = parent_.get(); c; c = c->parent_.get()) {
        Lock lock(c->mutex_);
        if (c->hasPendingChanges(entity)) return true;
    }
    return false;
}

void Context::noteChanged(ManagedObject& object) {
    Lock lock(mutex_);
    if (auto shared = sharedFor(object)) updated_.push_back(std::move(shared));
}

bool Context::hasPendingChanges(uint32_t entity) const {
    for (const Objects* set : {&inserted_, &updated_, &deleted_})
        for (const auto& o : *set)
            if (o->id_.entity == entity) return true;
    return false;
}

Result<void> Context::applyDeleteRules(bool enforceDeny) {
    Lock lock(mutex_);
    for (size_t i = 0; i < deleted_.size(); ++i) {
        auto object = deleted_[i];
        const Entity& entity = *object->entity_;
        for (size_t pi = 0; pi < entity.properties().size(); ++pi) {
            const Property& p = entity.properties()[pi];
            if (p.isAttribute()) continue;
            if (p.isToOne()) {
                Value id = object->loadedValue(static_cast<int>(pi));
                if (id.isNull()) continue;
                auto destination = objectWithID(id.objectID());
                if (!destination || destination->deleted_) continue;
                if (p.deleteRule == DeleteRule::Deny && enforceDeny)
                    return makeError(ErrorCode::DeleteDenied, entity.name() + "." + p.name + " still names an object");
                if (p.deleteRule == DeleteRule::Cascade) deleteObject(destination);
                else if (p.deleteRule == DeleteRule::Nullify && p.inverseIndex >= 0)
                    destination->markChanged(p.inverseIndex);
                continue;
            }
            if (i < rulesApplied_ && p.deleteRule != DeleteRule::Deny) continue;
            auto members = object->objectsForKey(p.name);
            if (members.empty()) continue;
            if (p.deleteRule == DeleteRule::Deny) {
                if (enforceDeny)
                    return makeError(ErrorCode::DeleteDenied, entity.name() + "." + p.name + " still has objects");
                continue;
            }
            if (i < rulesApplied_) continue;
            for (auto& member : members) {
                if (p.deleteRule == DeleteRule::Cascade) deleteObject(member);
                else if (p.deleteRule == DeleteRule::Nullify) member->setValueForKey(p.inverse, Value());
            }
        }
    }
    rulesApplied_ = deleted_.size();
    // Objects inserted and deleted before any save simply vanish.
    Objects vanished;
    for (const auto& o : deleted_)
        if (o->inserted_) vanished.push_back(o);
    for (const auto& o : vanished) {
        removeFrom(inserted_, o.get());
        removeFrom(deleted_, o.get());
        detach(o);
    }
    rulesApplied_ = deleted_.size();
    return {};
}

Context::Event Context::takeEvent() {
    Lock lock(mutex_);
    Event event;
    std::unordered_set<const ManagedObject*> born;
    for (const auto& o : eventInserted_) {
        born.insert(o.get());
        if (o->context_ == this && !o->deleted_) event.inserted.push_back(o);
        o->eventChanged_ = 0;
    }
    // Inserted and deleted within one event: never reported.
    for (const auto& o : eventDeleted_) {
        if (!born.count(o.get())) event.deleted.push_back(o);
        o->eventChanged_ = 0;
    }
    for (const Objects* set : {&updated_, &inserted_})
        for (const auto& o : *set)
            if (o->eventChanged_ != 0 && !o->deleted_ && !born.count(o.get())) {
                event.updated.push_back(o);
                event.masks.push_back(o->eventChanged_);
            }
    eventInserted_.clear();
    eventDeleted_.clear();
    return event;
}

void Context::post(const char* name, const Event& event, const ChangedKeys* keys) {
    foundation::Notification notification{name, this, {}, {}};
    notification.userInfo[kInsertedObjectsKey] = event.inserted;
    notification.userInfo[kUpdatedObjectsKey] = event.updated;
    notification.userInfo[kDeletedObjectsKey] = event.deleted;
    if (keys) notification.userInfo[kUpdatedKeysKey] = *keys;
    foundation::NotificationCenter::defaultCenter().post(notification);
}

void Context::finishEvent(const Event& event) {
    // Only the reported keys: changes made by observers belong to the next event.
    Lock lock(mutex_);
    for (size_t i = 0; i < event.updated.size(); ++i) event.updated[i]->eventChanged_ &= ~event.masks[i];
}

void Context::processPendingChanges() {
    if (!model_) return;
    {
        Lock lock(mutex_);
        (void)applyDeleteRules(false);
    }
    Event event = takeEvent();
    if (event.empty()) return;
    post(kObjectsDidChangeNotification, event);
    finishEvent(event);
}

Result<void> Context::save() {
    assert(type_ != ConcurrencyType::MainQueue || foundation::isMainThread());  // the main context: main thread only
    if (!coordinator_) return noStoreError();
    processPendingChanges();
    if (!hasChanges()) return {};
    foundation::NotificationCenter::defaultCenter().post(foundation::Notification{kWillSaveNotification, this, {}, {}});
    processPendingChanges();  // what the will-save observers changed
    {
        Lock lock(mutex_);
        if (auto denied = applyDeleteRules(true); !denied) return denied.error();
    }
    if (!hasChanges()) return {};

    ChangeSet changes;
    ChangedKeys keys;
    const auto rowOf = [](const ManagedObject& o, uint64_t mask) {
        ChangeSet::Row row{o.id_.entity, o.id_.pk, {}};
        for (const auto& [index, value] : o.slots_)
            if (mask & bit(static_cast<size_t>(index)) && o.entity_->property(index).hasColumn())
                row.values.emplace_back(index, value);
        return row;
    };
    for (const auto& o : inserted_) changes.inserts.push_back(rowOf(*o, o->loaded_));
    for (const auto& o : updated_) {
        keys.emplace(o->id_, o->changedKeys());
        ChangeSet::Row row = rowOf(*o, o->changed_);
        if (!row.values.empty()) changes.updates.push_back(std::move(row));
    }
    for (const auto& o : deleted_) changes.deletes.push_back({o->id_.entity, o->id_.pk, {}});
    Event saved;
    saved.inserted = inserted_;
    saved.updated = updated_;
    saved.deleted = deleted_;

    if (parent_) {
        const std::shared_ptr<Context> parent = parent_;
        // A parent busy writing an earlier save takes the changes at once
        // rather than after the write, so this thread does not wait for it.
        if (!parent->absorbChildChangesDuringCommit(changes))
            parent->performBlockAndWait([&] { parent->absorbChildChanges(changes); });
    } else if (!changes.empty()) {
        {
            Lock lock(mutex_);
            for (const Objects* set : {&inserted_, &updated_, &deleted_})
                for (const auto& o : *set) o->changedDuringSave_ = 0;
        }
        {
            std::lock_guard commit(commitMutex_);
            committing_ = true;
        }
        auto written = coordinator_->commit(changes);
        std::lock_guard commit(commitMutex_);  // waits for a hand-over under way
        committing_ = false;
        // On failure everything stays pending, including what children
        // handed over during the write.
        if (!written) return written.error();
        clearWrittenChanges(saved.inserted, saved.updated, saved.deleted);
        post(kDidSaveNotification, saved, &keys);
        return {};
    }
    {
        Lock lock(mutex_);
        for (const auto& o : inserted_) {
            o->inserted_ = false;
            o->changed_ = 0;
        }
        for (const auto& o : updated_) o->changed_ = 0;
        for (const auto& o : deleted_) detach(o);
        inserted_.clear();
        updated_.clear();
        deleted_.clear();
        rulesApplied_ = 0;
    }
    post(kDidSaveNotification, saved, &keys);
    return {};
}

bool Context::isWritingToStore() const {
    std::lock_guard commit(commitMutex_);
    return committing_;
}

bool Context::absorbChildChangesDuringCommit(const ChangeSet& changes) {
    std::lock_guard commit(commitMutex_);
    if (!committing_) return false;
    {
        // Readers on other threads see the hand-over whole or not at all.
        Lock lock(mutex_);
        absorbChildChanges(changes);
    }
    // This context's objects-did-change, on its own queue once the write ends.
    performBlock([] {});
    return true;
}

void Context::clearWrittenChanges(const Objects& inserted, const Objects& updated, const Objects& deleted) {
    Lock lock(mutex_);
    const auto in = [](const Objects& set) {
        std::unordered_set<const ManagedObject*> members;
        for (const auto& o : set) members.insert(o.get());
        return [members = std::move(members)](const std::shared_ptr<ManagedObject>& o) { return members.count(o.get()) > 0; };
    };
    const auto wasInserted = in(inserted), wasUpdated = in(updated), wasDeleted = in(deleted);
    // Written objects keep as pending only what changed during the write; a new
    // object is in the store now, so later changes make it an updated one (and
    // a deletion during the write removes its row at the next save).
    Objects stillUpdated;
    for (const auto& o : updated_)
        if (!wasUpdated(o)) stillUpdated.push_back(o);
    for (const Objects* set : {&inserted, &updated})
        for (const auto& o : *set) {
            o->inserted_ = false;
            o->changed_ = o->changedDuringSave_;
            if (o->changed_ != 0 && !o->deleted_) stillUpdated.push_back(o);
        }
    std::erase_if(inserted_, wasInserted);
    updated_ = std::move(stillUpdated);
    for (const auto& o : deleted) detach(o);
    std::erase_if(deleted_, wasDeleted);
    // Objects deleted during the write have not had their delete rules run.
    rulesApplied_ = 0;
}

void Context::absorbChildChanges(const ChangeSet& changes) {
    for (const auto& row : changes.inserts) {
        const Entity& entity = model_->entity(row.entity);
        auto object = objectRegisteredForID(ObjectID{row.pk, row.entity});
        if (!object) object = makeObject(entity, row.pk);
        {
            Lock lock(mutex_);
            object->slots_.clear();
            object->inserted_ = true;
            object->loaded_ = entity.columnMask();
            inserted_.push_back(object);
            eventInserted_.push_back(object);
        }
        // Through the setter, so the inverse sides of relationships change too.
        for (const auto& [index, value] : row.values) object->setValueForKey(entity.property(index).name, value);
    }
    for (const auto& row : changes.updates) {
        auto object = objectWithID(ObjectID{row.pk, row.entity});
        if (!object) continue;
        for (const auto& [index, value] : row.values) object->setValueForKey(object->entity().property(index).name, value);
    }
    for (const auto& row : changes.deletes) deleteObject(objectWithID(ObjectID{row.pk, row.entity}));
}

void Context::rollback() {
    Lock lock(mutex_);
    for (const auto& o : inserted_) detach(o);
    for (const Objects* set : {&updated_, &deleted_})
        for (const auto& o : *set) {
            if (o->inserted_) continue;
            o->changed_ = o->eventChanged_ = 0;
            o->deleted_ = false;
            o->slots_.clear();
            o->loaded_ = 0;
        }
    inserted_.clear();
    updated_.clear();
    deleted_.clear();
    eventInserted_.clear();
    eventDeleted_.clear();
    rulesApplied_ = 0;
}

void Context::refreshObject(const std::shared_ptr<ManagedObject>& object, bool mergeChanges) {
    if (!object || object->context_ != this || object->inserted_) return;
    Lock lock(mutex_);
    if (!mergeChanges) {
        if (object->changed_ != 0 && !object->deleted_) removeFrom(updated_, object.get());
        if (object->deleted_) {
            removeFrom(deleted_, object.get());
            rulesApplied_ = std::min(rulesApplied_, deleted_.size());
        }
        object->changed_ = object->eventChanged_ = 0;
        object->deleted_ = false;
    }
    uint64_t keep = mergeChanges ? object->changed_ : 0;
    object->slots_.keep(keep);
    object->loaded_ &= keep;
}

void Context::mergeChangesFromContextDidSaveNotification(const foundation::Notification& notification) {
    if (!model_) return;
    static const Objects kNone;
    auto objectsFor = [&notification](const char* key) -> const Objects& {
        const Objects* objects = notification.info<Objects>(key);
        return objects ? *objects : kNone;
    };
    const ChangedKeys* keys = notification.info<ChangedKeys>(kUpdatedKeysKey);
    // Only the saved objects' IDs are read: they belong to another context.
    Event event;
    for (const auto& source : objectsFor(kInsertedObjectsKey)) {
        auto object = objectWithID(source->objectID());
        if (!object) continue;
        if (!object->hasChanges()) refreshObject(object, false);
        event.inserted.push_back(std::move(object));
    }
    for (const auto& source : objectsFor(kUpdatedObjectsKey)) {
        auto object = objectWithID(source->objectID());
        if (!object) continue;
        refreshObject(object, true);
        uint64_t mask = object->entity_->columnMask();
        if (keys)
            if (auto it = keys->find(object->id_); it != keys->end()) {
                mask = 0;
                for (const auto& key : it->second)
                    if (int index = object->entity_->propertyIndex(key); index >= 0) mask |= bit(static_cast<size_t>(index));
            }
        {
            Lock lock(mutex_);
            object->eventChanged_ |= mask;
        }
        event.updated.push_back(std::move(object));
        event.masks.push_back(mask);
    }
    for (const auto& source : objectsFor(kDeletedObjectsKey)) {
        auto object = objectRegisteredForID(source->objectID());
        if (!object) continue;
        {
            Lock lock(mutex_);
            for (Objects* set : {&inserted_, &updated_, &deleted_}) removeFrom(*set, object.get());
            rulesApplied_ = std::min(rulesApplied_, deleted_.size());
            object->deleted_ = true;
            object->eventChanged_ = 0;
            detach(object);
        }
        event.deleted.push_back(std::move(object));
    }
    if (event.empty()) return;
    post(kObjectsDidChangeNotification, event);
    finishEvent(event);
}

Result<const Entity*> Context::entityFor(const FetchRequest& request) const {
    if (!model_ || !coordinator_) return noStoreError();
    const Entity* entity = model_->entity(request.entityName);
    if (!entity) return makeError(ErrorCode::InvalidRequest, "Unknown entity " + request.entityName);
    for (const auto& s : request.sortDescriptors) {
        const Property* p = entity->property(s.key);
        if (!p || !p->hasColumn()) return makeError(ErrorCode::InvalidRequest, "Cannot sort by " + s.key);
    }
    if (request.predicate)
        if (auto valid = SQLTranslator(*model_, *entity).validate(*request.predicate); !valid) return valid.error();
    return entity;
}

Result<Context::Objects> Context::run(const FetchRequest& request, const Entity& entity, const std::vector<int>& extra) {
    assert(type_ != ConcurrencyType::MainQueue || foundation::isMainThread());  // the main context: main thread only
    // The ancestors' unsaved changes count as stored. They are read before the
    // store, so a change that a save moves rootward meanwhile is seen at one
    // level or the other.
    const Overlay overlay = parent_ ? ancestorsOverlay(entity.index()) : Overlay();
    Lock lock(mutex_);
    const bool own = request.includesPendingChanges && hasPendingChanges(entity.index());
    const bool pending = own || !overlay.empty();
    SQLCondition condition;
    if (request.predicate) condition = SQLTranslator(*model_, entity).translate(*request.predicate);
    // With nothing unsaved to merge and a predicate SQL says whole, the store
    // matches, sorts and pages alone.
    const bool pushAll = condition.complete && !pending;

    Objects result;
    // Objects whose values an ancestor changed: matched here, like our own changes.
    ObjectSet affected;
    auto read = readStoredRows(request, rowQueryFor(request, entity, extra, condition, pushAll), overlay, result,
                               affected);
    if (!read) return read.error();
    if (pending) addPendingObjects(request, entity, overlay, own, result, affected);
    // Stored rows were matched by SQL; changed and new objects (and every
    // object when SQL could not say it all) are matched here.
    if (request.predicate && (!condition.complete || pending))
        std::erase_if(result, [&](const std::shared_ptr<ManagedObject>& o) {
            return (!condition.complete || o->hasChanges() || affected.count(o.get())) &&
                   !request.predicate->evaluate(*o);
        });
    if (!pushAll) sortAndPage(request, result);
    return result;
}

RowQuery Context::rowQueryFor(const FetchRequest& request, const Entity& entity, const std::vector<int>& extra,
                              const SQLCondition& condition, bool pushAll) {
    // Read what the fetch itself needs: sort keys, and the predicate's keys
    // when the predicate is (partly) evaluated here.
    std::set<int> columns(extra.begin(), extra.end());
    for (const auto& s : request.sortDescriptors) columns.insert(entity.propertyIndex(s.key));
    if (request.predicate && !pushAll) {
        std::vector<KeyPath> paths;
        request.predicate->collectKeyPaths(paths);
        for (const auto& path : paths)
            if (const Property* p = entity.property(path[0]); p && p->hasColumn())
                columns.insert(entity.propertyIndex(path[0]));
    }
    if (!request.returnsObjectsAsFaults)
        for (size_t i = 0; i < entity.properties().size(); ++i)
            if (entity.properties()[i].hasColumn()) columns.insert(static_cast<int>(i));

    RowQuery query;
    query.entity = &entity;
    query.properties.assign(columns.begin(), columns.end());
    query.where = condition.sql;
    query.binds = condition.binds;
    if (pushAll) {
        query.orderBy = orderBy(entity, request.sortDescriptors);
        query.limit = request.fetchLimit;
        query.offset = request.fetchOffset;
    }
    return query;
}

Result<void> Context::readStoredRows(const FetchRequest& request, const RowQuery& query, const Overlay& overlay,
                                     Objects& result, ObjectSet& affected) {
    const Entity& entity = *query.entity;
    const size_t width = query.properties.size();
    return coordinator_->forEachRow(query, [&](int64_t pk, std::vector<Value>& values) {
        const Pending* held = nullptr;
        if (!overlay.empty())
            if (auto it = overlay.find(pk); it != overlay.end()) held = &it->second;
        if (held && held->deleted) return;
        ObjectID id{pk, entity.index()};
        auto object = objectRegisteredForID(id);
        if (object && request.includesPendingChanges && object->deleted_) return;
        if (!object) {
            object = makeObject(entity, id.pk);
        } else if (!object->hasChanges()) {
            // Objects without unsaved changes take the stored values afresh.
            object->slots_.clear();
            object->loaded_ = 0;
        }
        if (!object->hasChanges()) {
            object->slots_.reserve(width);
            for (size_t c = 0; c < width; ++c) object->storeSlot(query.properties[c], std::move(values[c]));
            if (held)
                for (const auto& [index, value] : held->values) object->storeSlot(index, value);
        }
        if (held) affected.insert(object.get());
        result.push_back(std::move(object));
    });
}

void Context::addPendingObjects(const FetchRequest& request, const Entity& entity, const Overlay& overlay, bool own,
                                Objects& result, ObjectSet& affected) {
    std::unordered_set<const ManagedObject*> seen;
    for (const auto& o : result) seen.insert(o.get());
    // The ancestors' new objects, and their changed ones that the store's
    // values did not match. A new object that the predicate refuses on
    // its values is passed over before it costs an object here, so that
    // lookups stay cheap while ancestors hold many unsaved inserts.
    const bool screenInserts = request.predicate && readsOnlyAttributes(*request.predicate, entity);
    for (const auto& [pk, held] : overlay) {
        if (held.deleted) continue;
        if (screenInserts && held.inserted && !objectRegisteredForID(ObjectID{pk, entity.index()}) &&
            !request.predicate->evaluate(InsertedValues(entity, held.values)))
            continue;
        auto object = objectWithID(ObjectID{pk, entity.index()});
        if (!object || seen.count(object.get()) || (request.includesPendingChanges && object->deleted_)) continue;
        if (!object->hasChanges()) {
            if (held.inserted) {
                object->slots_.clear();
                object->loaded_ = 0;
            }
            for (const auto& [index, value] : held.values) object->storeSlot(index, value);
        }
        affected.insert(object.get());
        seen.insert(object.get());
        result.push_back(std::move(object));
    }
    if (own)
        for (const Objects* set : {&updated_, &inserted_})
            for (const auto& o : *set)
                if (o->id_.entity == entity.index() && !o->deleted_ && !seen.count(o.get())) result.push_back(o);
}

void Context::sortAndPage(const FetchRequest& request, Objects& result) {
    struct Keyed {
        std::vector<Value> keys;
        std::shared_ptr<ManagedObject> object;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(result.size());
    for (auto& o : result) {
        Keyed k{{}, std::move(o)};
        for (const auto& s : request.sortDescriptors) k.keys.push_back(k.object->valueForKey(s.key));
        keyed.push_back(std::move(k));
    }
    const auto& sorts = request.sortDescriptors;
    std::stable_sort(keyed.begin(), keyed.end(), [&sorts](const Keyed& a, const Keyed& b) {
        for (size_t i = 0; i < sorts.size(); ++i) {
            int c = orderValues(a.keys[i], b.keys[i]);
            if (c != 0) return sorts[i].ascending ? c < 0 : c > 0;
        }
        return a.object->objectID().pk < b.object->objectID().pk;
    });
    result.clear();
    size_t begin = std::min(keyed.size(), static_cast<size_t>(std::max<int64_t>(0, request.fetchOffset)));
    size_t end = request.fetchLimit > 0 ? std::min(keyed.size(), begin + static_cast<size_t>(request.fetchLimit))
                                        : keyed.size();
    for (size_t i = begin; i < end; ++i) result.push_back(std::move(keyed[i].object));
}

Result<Context::Objects> Context::fetch(const FetchRequest& request) {
    auto entity = entityFor(request);
    if (!entity) return entity.error();
    return run(request, *entity.value(), {});
}

Result<std::vector<ObjectID>> Context::fetchObjectIDs(const FetchRequest& request) {
    auto objects = fetch(request);
    if (!objects) return objects.error();
    std::vector<ObjectID> ids;
    ids.reserve(objects.value().size());
    for (const auto& o : objects.value()) ids.push_back(o->objectID());
    return ids;
}

Result<std::vector<Context::Dictionary>> Context::fetchDictionaries(const FetchRequest& request) {
    auto found = entityFor(request);
    if (!found) return found.error();
    const Entity& entity = *found.value();
    auto named = dictionaryProperties(entity, request);
    if (!named) return named.error();
    const std::vector<int>& properties = named.value();
    std::vector<std::vector<Value>> rows;
    const bool pending = (request.includesPendingChanges && hasPendingChanges(entity.index())) ||
                         ancestorsHavePendingChanges(entity.index());
    SQLCondition condition;
    if (request.predicate) condition = SQLTranslator(*model_, entity).translate(*request.predicate);
    if (request.returnsDistinctResults && condition.complete && !pending && request.sortDescriptors.empty() &&
        request.fetchLimit == 0 && request.fetchOffset == 0) {
        // Distinct values straight from SQL: no object is made.
        RowQuery query{&entity, properties, condition.sql, condition.binds, {}, 0, 0, true};
        auto result = coordinator_->fetchRows(query);
        if (!result) return result.error();
        for (size_t r = 0; r < result.value().count(); ++r)
            rows.emplace_back(result.value().values.begin() + static_cast<ptrdiff_t>(r * properties.size()),
                              result.value().values.begin() + static_cast<ptrdiff_t>((r + 1) * properties.size()));
    } else {
        auto objects = run(request, entity, properties);
        if (!objects) return objects.error();
        for (const auto& o : objects.value()) {
            std::vector<Value> row;
            for (int p : properties) row.push_back(o->loadedValue(p));
            rows.push_back(std::move(row));
        }
        if (request.returnsDistinctResults) {
            auto less = [](const std::vector<Value>& a, const std::vector<Value>& b) {
                for (size_t i = 0; i < a.size(); ++i)
                    if (int c = orderValues(a[i], b[i]); c != 0) return c < 0;
                return false;
            };
            std::set<std::vector<Value>, decltype(less)> seen(less);
            std::erase_if(rows, [&seen](const std::vector<Value>& row) { return !seen.insert(row).second; });
        }
    }
    std::vector<Dictionary> dictionaries;
    dictionaries.reserve(rows.size());
    for (const auto& row : rows) {
        Dictionary d;
        for (size_t i = 0; i < properties.size(); ++i) d.emplace(entity.property(properties[i]).name, row[i]);
        dictionaries.push_back(std::move(d));
    }
    return dictionaries;
}

Result<int64_t> Context::count(const FetchRequest& request) {
    assert(type_ != ConcurrencyType::MainQueue || foundation::isMainThread());  // the main context: main thread only
    auto found = entityFor(request);
    if (!found) return found.error();
    const Entity& entity = *found.value();
    // A distinct request counts what fetchDictionaries answers: each
    // combination of its properties once.
    std::vector<int> distinct;
    if (request.returnsDistinctResults) {
        auto properties = dictionaryProperties(entity, request);
        if (!properties) return properties.error();
        distinct = std::move(properties.value());
    }
    SQLCondition condition;
    if (request.predicate) condition = SQLTranslator(*model_, entity).translate(*request.predicate);
    int64_t n;
    const bool pending = (request.includesPendingChanges && hasPendingChanges(entity.index())) ||
                         ancestorsHavePendingChanges(entity.index());
    if (condition.complete && !pending) {
        auto counted = coordinator_->countRows(entity, condition.sql, condition.binds, distinct);
        if (!counted) return counted.error();
        n = std::max<int64_t>(0, counted.value() - std::max<int64_t>(0, request.fetchOffset));
        if (request.fetchLimit > 0) n = std::min(n, request.fetchLimit);
        return n;
    }
    if (!distinct.empty()) {
        auto rows = fetchDictionaries(request);
        if (!rows) return rows.error();
        return static_cast<int64_t>(rows.value().size());
    }
    auto objects = run(request, entity, {});
    if (!objects) return objects.error();
    return static_cast<int64_t>(objects.value().size());
}

}  // namespace store
