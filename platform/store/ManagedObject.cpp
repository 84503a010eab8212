#include "platform/store/ManagedObject.h"

#include <mutex>

#include "platform/store/Context.h"

namespace store {

namespace {
const Value kNil;

uint64_t bit(int property) { return uint64_t(1) << property; }
}  // namespace

ManagedObject::~ManagedObject() {
    if (!anchor_) return;
    std::shared_lock lock(anchor_->mutex);
    if (anchor_->context) anchor_->context->unregister(*this);
}

const Value* ManagedObject::slot(int property) const { return slots_.find(property); }

void ManagedObject::storeSlot(int property, Value value) {
    slots_.set(property, std::move(value));
    loaded_ |= bit(property);
}

const Value& ManagedObject::loadedValue(int property) const {
    if (!(loaded_ & bit(property)) && context_ && !inserted_)
        context_->fulfillFault(const_cast<ManagedObject&>(*this));
    const Value* v = slot(property);
    return v ? *v : kNil;
}

void ManagedObject::markChanged(int property) {
    bool wasClean = changed_ == 0;
    changed_ |= bit(property);
    eventChanged_ |= bit(property);
    changedDuringSave_ |= bit(property);
    if (!context_) return;
    if (wasClean && !inserted_ && !deleted_) context_->noteChanged(*this);
    context_->noteEventChange();
}

Value ManagedObject::valueForKey(std::string_view key) const {
    int index = entity_->propertyIndex(key);
    if (index < 0) return {};
    if (entity_->property(index).isToMany()) {
        std::vector<Value> ids;
        for (const auto& member : objectsForKey(key)) ids.emplace_back(member->objectID());
        return Value(std::move(ids));
    }
    return loadedValue(index);
}

bool ManagedObject::setValueForKey(std::string_view key, const Value& value) {
    int index = entity_->propertyIndex(key);
    if (index < 0 || deleted_) return false;
    // The context's children read its changed objects from their own threads.
    std::unique_lock<std::recursive_mutex> lock;
    if (context_) lock = std::unique_lock(context_->mutex_);
    const Property& p = entity_->property(index);
    Value stored;
    if (p.isToMany()) return false;
    if (p.isToOne()) {
        if (!value.isNull() && !(value.kind() == Value::Kind::Object && value.objectID().entity == p.destinationEntity))
            return false;
        stored = value;
    } else if (!value.isNull()) {
        switch (p.type) {
            case AttributeType::String:
                if (value.kind() != Value::Kind::String) return false;
                stored = value;
                break;
            case AttributeType::Integer:
                if (!value.isNumeric()) return false;
                stored = Value(value.integerValue());
                break;
            case AttributeType::Double:
                if (!value.isNumeric()) return false;
                stored = Value(value.doubleValue());
                break;
            case AttributeType::Boolean:
                if (!value.isNumeric()) return false;
                stored = Value(value.boolValue());
                break;
            case AttributeType::Date:
                if (value.kind() != Value::Kind::Date) return false;
                stored = value;
                break;
            case AttributeType::Binary:
                if (value.kind() != Value::Kind::Data) return false;
                stored = value;
                break;
        }
    }
    Value previous;
    if (p.isToOne()) previous = loadedValue(index);  // its inverse side changes too
    else if (const Value* current = slot(index); current && *current == stored) return true;
    if (p.isToOne() && previous == stored) return true;
    storeSlot(index, stored);
    markChanged(index);
    if (p.isToOne() && p.inverseIndex >= 0 && context_) {
        // The destinations' to-many sets changed: they report the key as changed.
        for (const Value* side : {&previous, &stored}) {
            if (side->isNull()) continue;
            auto destination = context_->objectWithID(side->objectID());
            if (destination && !destination->deleted_) destination->markChanged(p.inverseIndex);
        }
    }
    return true;
}

Value ManagedObject::valueForKeyPath(const KeyPath& keyPath) const {
    if (keyPath.empty()) return {};
    const ManagedObject* current = this;
    std::shared_ptr<ManagedObject> hold;
    for (size_t i = 0; i + 1 < keyPath.size(); ++i) {
        int index = current->entity_->propertyIndex(keyPath[i]);
        if (index < 0 || !current->entity_->property(index).isToOne() || !current->context_) return {};
        Value id = current->loadedValue(index);
        if (id.isNull()) return {};
        hold = current->context_->objectWithID(id.objectID());
        if (!hold) return {};
        current = hold.get();
    }
    return current->valueForKey(keyPath.back());
}

std::shared_ptr<ManagedObject> ManagedObject::objectForKey(std::string_view key) const {
    int index = entity_->propertyIndex(key);
    if (index < 0 || !entity_->property(index).isToOne() || !context_) return nullptr;
    const Value& id = loadedValue(index);
    return id.isNull() ? nullptr : context_->objectWithID(id.objectID());
}

bool ManagedObject::setObjectForKey(std::string_view key, const std::shared_ptr<ManagedObject>& object) {
    return setValueForKey(key, object ? Value(object->objectID()) : Value());
}

std::vector<std::shared_ptr<ManagedObject>> ManagedObject::objectsForKey(std::string_view key) const {
    const Property* p = entity_->property(key);
    if (!p || !p->isToMany() || !context_) return {};
    const Entity& destination = context_->model().entity(p->destinationEntity);
    FetchRequest request(destination.name());
    request.predicate = Predicate::comparison(p->inverse, Operator::Equal, Value(id_));
    auto members = context_->fetch(request);
    return members ? std::move(members.value()) : std::vector<std::shared_ptr<ManagedObject>>{};
}

void ManagedObject::addObjectForKey(std::string_view key, const std::shared_ptr<ManagedObject>& object) {
    const Property* p = entity_->property(key);
    if (p && p->isToMany() && object) object->setValueForKey(p->inverse, Value(id_));
}

void ManagedObject::removeObjectForKey(std::string_view key, const std::shared_ptr<ManagedObject>& object) {
    const Property* p = entity_->property(key);
    if (!p || !p->isToMany() || !object) return;
    if (object->valueForKey(p->inverse) == Value(id_)) object->setValueForKey(p->inverse, Value());
}

std::vector<std::string> ManagedObject::keysOf(uint64_t mask) const {
    std::vector<std::string> keys;
    for (size_t i = 0; i < entity_->properties().size(); ++i)
        if (mask & bit(static_cast<int>(i))) keys.push_back(entity_->properties()[i].name);
    return keys;
}

std::vector<std::string> ManagedObject::changedKeys() const { return keysOf(changed_); }
std::vector<std::string> ManagedObject::changedKeysForCurrentEvent() const { return keysOf(eventChanged_); }

bool ManagedObject::hasChangedKey(std::string_view key) const {
    int index = entity_->propertyIndex(key);
    return index >= 0 && (changed_ & bit(index));
}

std::optional<std::string> ManagedObject::stringForKey(std::string_view key) const {
    Value v = valueForKey(key);
    if (v.kind() != Value::Kind::String) return std::nullopt;
    return v.string();
}

std::shared_ptr<const std::string> ManagedObject::sharedStringForKey(std::string_view key) const {
    return valueForKey(key).sharedString();
}

std::optional<int64_t> ManagedObject::integerForKey(std::string_view key) const {
    Value v = valueForKey(key);
    if (!v.isNumeric()) return std::nullopt;
    return v.integerValue();
}

std::optional<double> ManagedObject::doubleForKey(std::string_view key) const {
    Value v = valueForKey(key);
    if (!v.isNumeric()) return std::nullopt;
    return v.doubleValue();
}

std::optional<bool> ManagedObject::boolForKey(std::string_view key) const {
    Value v = valueForKey(key);
    if (!v.isNumeric()) return std::nullopt;
    return v.boolValue();
}

std::optional<foundation::Date> ManagedObject::dateForKey(std::string_view key) const {
    Value v = valueForKey(key);
    if (v.kind() != Value::Kind::Date) return std::nullopt;
    return foundation::Date(v.dateSeconds());
}

std::optional<foundation::Data> ManagedObject::dataForKey(std::string_view key) const {
    Value v = valueForKey(key);
    if (v.kind() != Value::Kind::Data) return std::nullopt;
    return foundation::Data(v.data());
}

void ManagedObject::setOptionalString(std::string_view key, const std::optional<std::string>& value) {
    setValueForKey(key, value ? Value(*value) : Value());
}
void ManagedObject::setOptionalInteger(std::string_view key, std::optional<int64_t> value) {
    setValueForKey(key, value ? Value(*value) : Value());
}
void ManagedObject::setOptionalDouble(std::string_view key, std::optional<double> value) {
    setValueForKey(key, value ? Value(*value) : Value());
}
void ManagedObject::setOptionalBool(std::string_view key, std::optional<bool> value) {
    setValueForKey(key, value ? Value(*value) : Value());
}
void ManagedObject::setOptionalDate(std::string_view key, const std::optional<foundation::Date>& value) {
    setValueForKey(key, value ? Value::date(value->timeIntervalSince1970()) : Value());
}
void ManagedObject::setOptionalData(std::string_view key, const std::optional<foundation::Data>& value) {
    setValueForKey(key, value ? Value(Value::Bytes(value->bytes(), value->bytes() + value->length())) : Value());
}
void ManagedObject::setSharedString(std::string_view key, std::shared_ptr<const std::string> value) {
    setValueForKey(key, Value(std::move(value)));
}

}  // namespace store
