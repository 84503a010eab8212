#pragma once
// One key of a fetch's order. Objects that tie on every descriptor keep the
// order of their primary keys, in SQL and in memory alike, so a result's order
// is fully determined. Plain value; any thread.

#include <string>
#include <vector>

namespace store {

struct SortDescriptor {
    std::string key;
    bool ascending = true;
};

using SortDescriptors = std::vector<SortDescriptor>;

}  // namespace store
