#include "platform/store/BatchUpdateRequest.h"

#include "platform/store/Context.h"
#include "platform/store/Coordinator.h"
#include "platform/store/ManagedObject.h"
#include "platform/store/Predicate.h"
#include "platform/store/SQLTranslator.h"
#include "platform/store/StoreError.h"

namespace store {

namespace {

void refresh(Context& context, const std::vector<ObjectID>& ids) {
    for (const ObjectID& id : ids)
        if (auto object = context.objectRegisteredForID(id)) context.refreshObject(object, true);
}

}  // namespace

foundation::Result<std::vector<ObjectID>> executeBatchUpdate(Context& context, const BatchUpdateRequest& request) {
    const auto& coordinator = context.persistentStoreCoordinator();
    if (!coordinator) return makeError(ErrorCode::NoStore, "The context has no persistent store coordinator");
    const Model& model = *coordinator->model();
    const Entity* entity = model.entity(request.entityName);
    if (!entity) return makeError(ErrorCode::InvalidRequest, "Batch update of unknown entity \"" + request.entityName + "\"");

    std::vector<std::pair<int, Value>> values;
    for (const auto& [key, value] : request.propertiesToUpdate) {
        const int index = entity->propertyIndex(key);
        const Property* property = index < 0 ? nullptr : &entity->property(index);
        if (!property || !property->isAttribute() || property->searchable)
            return makeError(ErrorCode::InvalidRequest,
                             "Batch update cannot set \"" + key + "\" of " + request.entityName);
        if (!value.isNull() && !SQLTranslator::valueFitsAttribute(property->type, value))
            return makeError(ErrorCode::InvalidRequest, "Batch update value of the wrong kind for \"" + key + "\"");
        values.emplace_back(index, value);
    }

    SQLCondition condition;
    if (request.predicate) {
        SQLTranslator translator(model, *entity);
        if (auto valid = translator.validate(*request.predicate); !valid) return valid.error();
        condition = translator.translate(*request.predicate);
        if (!condition.complete)
            return makeError(ErrorCode::InvalidPredicate,
                             "Batch update predicate needs the objects in memory: " + request.predicate->format());
    }
    auto pks = coordinator->updateRows(*entity, values, condition.sql, condition.binds);
    if (!pks) return pks.error();

    std::vector<ObjectID> ids;
    ids.reserve(pks.value().size());
    for (int64_t pk : pks.value()) ids.push_back(ObjectID{pk, entity->index()});
    if (ids.empty()) return ids;

    refresh(context, ids);
    for (const auto& other : coordinator->contexts()) {
        if (other.get() == &context || other->concurrencyType() == ConcurrencyType::Confinement) continue;
        other->performBlock([weak = std::weak_ptr<Context>(other), ids] {
            if (auto held = weak.lock()) refresh(*held, ids);
        });
    }
    return ids;
}

}  // namespace store
