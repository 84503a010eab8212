#pragma once
// The permanent identity of a stored object: its entity (by index in the model)
// and its primary key. Keys are handed out at insertion, so an ID never changes
// between insert and save. Plain value; any thread.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace store {

struct ObjectID {
    int64_t pk = 0;
    uint32_t entity = 0;

    bool isNull() const { return pk == 0; }
    bool operator==(const ObjectID& other) const = default;
    bool operator<(const ObjectID& other) const {
        return entity != other.entity ? entity < other.entity : pk < other.pk;
    }
};

struct ObjectIDHash {
    size_t operator()(const ObjectID& id) const noexcept {
        return std::hash<int64_t>()(id.pk) ^ (static_cast<size_t>(id.entity) << 48);
    }
};

}  // namespace store
