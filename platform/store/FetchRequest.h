#pragma once
// What a fetch asks for. Plain value; any thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/store/Predicate.h"
#include "platform/store/SortDescriptor.h"

namespace store {

struct FetchRequest {
    std::string entityName;
    std::shared_ptr<const Predicate> predicate;  // null: every object
    SortDescriptors sortDescriptors;             // empty: primary-key order
    int64_t fetchLimit = 0;                      // 0: no limit
    int64_t fetchOffset = 0;
    // Unsaved inserts, changes and deletions of the fetching context take part.
    bool includesPendingChanges = true;
    // false loads every property of the fetched objects at once; true (the
    // default) loads only what the fetch needed and the rest when it is read.
    bool returnsObjectsAsFaults = true;
    // Dictionary results: the properties to return, and whether equal rows are
    // returned once.
    std::vector<std::string> propertiesToFetch;
    bool returnsDistinctResults = false;
    // Fetched objects without unsaved changes always take the stored values; the
    // flag is kept for callers that set it.
    bool shouldRefreshRefetchedObjects = true;

    FetchRequest() = default;
    explicit FetchRequest(std::string entity) : entityName(std::move(entity)) {}
};

}  // namespace store
