#pragma once
// One object of the store, registered in one context. Confined to its context's
// queue.
//
// An object fetched in bulk is a fault: it holds its identity and the values the
// fetch needed (sort keys, predicate columns); reading any other property loads
// the rest of its row then. A to-many relationship holds nothing: it is the set
// of destination objects whose inverse names this one, asked of the context
// (so it includes unsaved changes).
//
// Subclasses (the application's entity classes) add typed accessors over the
// protected helpers; they are made through the model's object factories.

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/store/Entity.h"
#include "platform/store/ObjectID.h"
#include "platform/store/Predicate.h"
#include "platform/store/SlotList.h"
#include "platform/store/Value.h"

namespace store {

class Context;

// How an object reaches its context from its destructor, which may run on
// another thread after the context has ended (an object handed on in a
// notification or held by a finished operation): the context's end clears it
// under the writer lock, so a destructor either unregisters first or finds
// nothing to unregister from.
struct ContextAnchor {
    std::shared_mutex mutex;
    Context* context = nullptr;
};

class ManagedObject : public KeyValueSource, public std::enable_shared_from_this<ManagedObject> {
public:
    ManagedObject() = default;
    ~ManagedObject() override;
    ManagedObject(const ManagedObject&) = delete;
    ManagedObject& operator=(const ManagedObject&) = delete;

    const Entity& entity() const { return *entity_; }
    const ObjectID& objectID() const { return id_; }
    // Null once the object was deleted and saved, or its context is gone.
    Context* managedObjectContext() const { return context_; }

    // Not every column is loaded yet.
    bool isFault() const { return (loaded_ & entity_->columnMask()) != entity_->columnMask(); }
    bool isInserted() const { return inserted_; }
    bool isUpdated() const { return !inserted_ && !deleted_ && (changed_ != 0); }
    bool isDeleted() const { return deleted_; }
    bool hasChanges() const { return inserted_ || deleted_ || changed_ != 0; }

    // Attributes give their value; a to-one relationship gives the destination's
    // ObjectID (as an object value) or nil; a to-many gives an array of IDs.
    Value valueForKey(std::string_view key) const;
    // Attributes take a value of their kind (numbers convert between integer,
    // double and boolean) or nil; a to-one relationship takes an object value or
    // nil. Answers false, changing nothing, for anything else.
    bool setValueForKey(std::string_view key, const Value& value);
    Value valueForKeyPath(const KeyPath& keyPath) const override;

    std::shared_ptr<ManagedObject> objectForKey(std::string_view key) const;
    // Sets a to-one relationship; the inverse (to-many) side follows by itself.
    bool setObjectForKey(std::string_view key, const std::shared_ptr<ManagedObject>& object);
    // The members of a to-many relationship, in primary-key order.
    std::vector<std::shared_ptr<ManagedObject>> objectsForKey(std::string_view key) const;
    void addObjectForKey(std::string_view key, const std::shared_ptr<ManagedObject>& object);
    void removeObjectForKey(std::string_view key, const std::shared_ptr<ManagedObject>& object);

    // Keys changed since the last save (or since insertion).
    std::vector<std::string> changedKeys() const;
    // Keys changed since the context last processed its pending changes (the
    // keys one change notification reports).
    std::vector<std::string> changedKeysForCurrentEvent() const;
    bool hasChangedKey(std::string_view key) const;

protected:
    // The members of a to-many relationship as the subclass T of their entity.
    template <class T>
    std::vector<std::shared_ptr<T>> objectsForKeyAs(std::string_view key) const {
        std::vector<std::shared_ptr<T>> out;
        for (auto& o : objectsForKey(key))
            if (auto t = std::dynamic_pointer_cast<T>(o)) out.push_back(std::move(t));
        return out;
    }
    std::optional<std::string> stringForKey(std::string_view key) const;
    // The string without a copy (null for nil): for values that may be large.
    std::shared_ptr<const std::string> sharedStringForKey(std::string_view key) const;
    std::optional<int64_t> integerForKey(std::string_view key) const;
    std::optional<double> doubleForKey(std::string_view key) const;
    std::optional<bool> boolForKey(std::string_view key) const;
    std::optional<foundation::Date> dateForKey(std::string_view key) const;
    std::optional<foundation::Data> dataForKey(std::string_view key) const;
    void setOptionalString(std::string_view key, const std::optional<std::string>& value);
    void setOptionalInteger(std::string_view key, std::optional<int64_t> value);
    void setOptionalDouble(std::string_view key, std::optional<double> value);
    void setOptionalBool(std::string_view key, std::optional<bool> value);
    void setOptionalDate(std::string_view key, const std::optional<foundation::Date>& value);
    void setOptionalData(std::string_view key, const std::optional<foundation::Data>& value);
    // Keeps the string itself, shared with its other holders (null: nil).
    void setSharedString(std::string_view key, std::shared_ptr<const std::string> value);

private:
    friend class Context;

    const Value* slot(int property) const;
    void storeSlot(int property, Value value);
    const Value& loadedValue(int property) const;  // fires the fault when needed
    void markChanged(int property);
    std::vector<std::string> keysOf(uint64_t mask) const;

    const Entity* entity_ = nullptr;
    ObjectID id_;
    Context* context_ = nullptr;
    std::shared_ptr<ContextAnchor> anchor_;
    // Loaded values; kept sparse so a fault stays small.
    SlotList slots_;
    uint64_t loaded_ = 0;
    uint64_t changed_ = 0;       // since the last save
    uint64_t eventChanged_ = 0;  // since the last processing of pending changes
    // Since a root context's save took its values for the store: what that
    // save did not write and must leave pending.
    uint64_t changedDuringSave_ = 0;
    bool inserted_ = false;
    bool deleted_ = false;
};

}  // namespace store
