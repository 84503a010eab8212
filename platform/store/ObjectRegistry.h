#pragma once
// A context's registered objects by ID: plain pointers (objects remove
// themselves when they die) in pages of consecutive primary keys. Keys are
// handed out in order, so the objects of a large fetch fill a few pages that
// stay in the cache, and registering a hundred thousand of them costs no
// allocation per object. Confined to its context's queue.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/store/ObjectID.h"

namespace store {

class ManagedObject;

class ObjectRegistry {
public:
    ManagedObject* find(const ObjectID& id) const;
    // Registers the object under its ID, replacing any other object there.
    void insert(ManagedObject* object);
    // Removes the entry when it is this object.
    void erase(const ObjectID& id, const ManagedObject* object);
    size_t size() const { return count_; }

    template <class F>
    void forEach(F&& f) const {
        for (const auto& pages : entities_)
            for (const auto& [index, page] : pages)
                for (ManagedObject* o : page->objects)
                    if (o) f(o);
    }

private:
    static constexpr int kPageBits = 10;
    struct Page {
        std::array<ManagedObject*, size_t(1) << kPageBits> objects{};
        size_t count = 0;
    };
    using Pages = std::unordered_map<int64_t, std::unique_ptr<Page>>;

    Page* page(const ObjectID& id) const;

    std::vector<Pages> entities_;
    size_t count_ = 0;
    // The page of the last lookup: a fetch walks keys that are mostly close.
    mutable const Page* lastPage_ = nullptr;
    mutable ObjectID lastPageKey_{-1, 0};
};

}  // namespace store
