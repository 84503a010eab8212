#include "platform/store/ObjectRegistry.h"

#include "platform/store/ManagedObject.h"

namespace store {

namespace {
constexpr int64_t kPageMask = (int64_t(1) << 10) - 1;
}

ObjectRegistry::Page* ObjectRegistry::page(const ObjectID& id) const {
    const ObjectID key{id.pk >> kPageBits, id.entity};
    if (lastPage_ && key == lastPageKey_) return const_cast<Page*>(lastPage_);
    if (id.entity >= entities_.size()) return nullptr;
    auto it = entities_[id.entity].find(key.pk);
    if (it == entities_[id.entity].end()) return nullptr;
    lastPage_ = it->second.get();
    lastPageKey_ = key;
    return it->second.get();
}

ManagedObject* ObjectRegistry::find(const ObjectID& id) const {
    Page* p = page(id);
    return p ? p->objects[static_cast<size_t>(id.pk & kPageMask)] : nullptr;
}

void ObjectRegistry::insert(ManagedObject* object) {
    const ObjectID id = object->objectID();
    Page* p = page(id);
    if (!p) {
        if (id.entity >= entities_.size()) entities_.resize(id.entity + 1);
        auto& slot = entities_[id.entity][id.pk >> kPageBits];
        slot = std::make_unique<Page>();
        p = slot.get();
        lastPage_ = p;
        lastPageKey_ = ObjectID{id.pk >> kPageBits, id.entity};
    }
    ManagedObject*& entry = p->objects[static_cast<size_t>(id.pk & kPageMask)];
    if (!entry) {
        ++p->count;
        ++count_;
    }
    entry = object;
}

void ObjectRegistry::erase(const ObjectID& id, const ManagedObject* object) {
    Page* p = page(id);
    if (!p) return;
    ManagedObject*& entry = p->objects[static_cast<size_t>(id.pk & kPageMask)];
    if (!entry || (object && entry != object)) return;
    entry = nullptr;
    --count_;
    if (--p->count == 0) {
        if (lastPage_ == p) lastPage_ = nullptr;
        entities_[id.entity].erase(id.pk >> kPageBits);
    }
}

}  // namespace store
