#pragma once
// Lightweight migration between two versions of a model: entities and
// attributes (and to-one relationships) that were added or removed. Anything
// else (a changed type, destination or kind, or a store written by a newer
// model) is an incompatible-model error. Stateless; any thread.

#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/Model.h"

namespace store {

struct MigrationPlan {
    // Run in order inside one transaction.
    std::vector<std::string> statements;
    // Entities whose store-made indexes are dropped before the statements and
    // made anew after them (dropping a column needs its indexes gone).
    std::set<std::string> reindexedEntities;
    // Entities whose search table is to be filled anew after the statements.
    std::set<std::string> researchedEntities;
};

class Migration {
public:
    static foundation::Result<MigrationPlan> plan(const Model& stored, const Model& current);
};

}  // namespace store
