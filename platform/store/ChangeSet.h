#pragma once
// The rows one save writes: inserted rows with their values, updated rows with
// only their changed columns, deleted rows. Built by a context, written by the
// store in one transaction. Plain value.

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/store/Value.h"

namespace store {

struct ChangeSet {
    struct Row {
        uint32_t entity = 0;
        int64_t pk = 0;
        // (property index, value) for column properties; to-one values are objects.
        std::vector<std::pair<int, Value>> values;
    };
    std::vector<Row> inserts;
    std::vector<Row> updates;
    std::vector<Row> deletes;  // values unused

    bool empty() const { return inserts.empty() && updates.empty() && deletes.empty(); }
};

}  // namespace store
