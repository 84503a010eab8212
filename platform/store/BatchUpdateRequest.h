#pragma once
// Sets properties on every stored object of an entity that a predicate selects,
// in one transaction straight in the store, without loading the objects: the
// way to touch a whole large history at once. The predicate must be one the
// store answers in SQL; properties must be attributes outside the search index
// (nothing else keeps a copy of them).
//
// The write goes below every context, so afterwards each context over the
// coordinator refreshes the updated objects it has registered, on its own
// queue (the calling context at once, the others in a block queued on theirs),
// keeping any unsaved change of its own. A confinement context other than the
// caller is left to refresh itself.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/ObjectID.h"
#include "platform/store/Value.h"

namespace store {

class Context;
class Predicate;

struct BatchUpdateRequest {
    std::string entityName;
    std::shared_ptr<const Predicate> predicate;  // null: every object
    std::map<std::string, Value> propertiesToUpdate;

    BatchUpdateRequest() = default;
    explicit BatchUpdateRequest(std::string entity) : entityName(std::move(entity)) {}
};

// Runs the request through the context's coordinator and answers the IDs of
// the updated objects. Call on the context's queue.
foundation::Result<std::vector<ObjectID>> executeBatchUpdate(Context& context, const BatchUpdateRequest& request);

}  // namespace store
