#include "kit/FRFetchedResultsController.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "platform/store/Comparison.h"

using store::ManagedObject;

namespace {

// An updated object whose sort keys changed, with its index before the re-sort.
struct FRFetchedResultsUpdate {
    std::shared_ptr<ManagedObject> object;
    uint64_t originalIndex = 0;
};

// Past this many look-ups in one notification, one pass over the array that
// records every object's index beats scanning the array for each of them.
constexpr size_t kLinearLookups = 16;

constexpr size_t kAbsent = static_cast<size_t>(-1);

}  // namespace

// Finds objects in the array while one notification removes some of them. Small
// notifications scan the array; large ones index it once and correct the
// recorded indexes by the removals since.
class FRFetchedResultsController::Positions {
public:
    Positions(const Objects& objects, size_t lookups) : objects_(objects) {
        if (lookups <= kLinearLookups) return;
        indexed_ = true;
        original_.reserve(objects.size());
        for (size_t i = 0; i < objects.size(); ++i) original_.emplace(objects[i].get(), i);
    }

    // The object's index now, kAbsent when it is not in the array.
    size_t find(const ManagedObject* object) const {
        if (!indexed_) {
            for (size_t i = 0; i < objects_.size(); ++i)
                if (objects_[i].get() == object) return i;
            return kAbsent;
        }
        auto it = original_.find(object);
        if (it == original_.end()) return kAbsent;
        auto below = std::lower_bound(removed_.begin(), removed_.end(), it->second);
        if (below != removed_.end() && *below == it->second) return kAbsent;
        return it->second - static_cast<size_t>(below - removed_.begin());
    }
    // Call before the object leaves the array.
    void willRemove(const ManagedObject* object) {
        if (!indexed_) return;
        auto it = original_.find(object);
        if (it == original_.end()) return;
        removed_.insert(std::upper_bound(removed_.begin(), removed_.end(), it->second), it->second);
    }
    // Membership only: still right after the array was re-sorted.
    bool contains(const ManagedObject* object) const {
        if (!indexed_) return find(object) != kAbsent;
        auto it = original_.find(object);
        return it != original_.end() && !std::binary_search(removed_.begin(), removed_.end(), it->second);
    }

private:
    const Objects& objects_;
    bool indexed_ = false;
    std::unordered_map<const ManagedObject*, size_t> original_;
    std::vector<size_t> removed_;  // original indexes, ascending
};

FRFetchedResultsController::FRFetchedResultsController(std::shared_ptr<store::Context> managedObjectContext,
                                                       std::shared_ptr<const store::FetchRequest> fetchRequest)
    : managedObjectContext_(std::move(managedObjectContext)), fetchRequest_(std::move(fetchRequest)) {
    auto& center = foundation::NotificationCenter::defaultCenter();
    observer_ = foundation::ObserverRegistration(
        center, center.addObserver(store::Context::kObjectsDidChangeNotification, managedObjectContext_.get(),
                                   [this](const foundation::Notification& n) { managedObjectContextObjectsDidChange(n); }));
}

FRFetchedResultsController::~FRFetchedResultsController() = default;

void FRFetchedResultsController::setDelegate(FRFetchedResultsControllerDelegate* delegate) {
    delegate_ = delegate;
    delegateWillChange_ = delegate && delegate->implementsControllerWillChangeContent();
    delegateDidChangeObject_ = delegate && delegate->implementsControllerDidChangeObject();
    delegateDidChange_ = delegate && delegate->implementsControllerDidChangeContent();
}

bool FRFetchedResultsController::performFetch(foundation::Error* error) {
    if (!fetchRequest_) return false;
    fetchedObjects_.clear();
    if (!managedObjectContext_) {
        if (error) *error = foundation::Error("FRFetchedResultsController", 1, "No managed object context");
    } else if (auto result = managedObjectContext_->fetch(*fetchRequest_)) {
        fetchedObjects_ = std::move(result.value());
    } else if (error) {
        *error = result.error();
    }
    sortKeys_.assign(fetchedObjects_.size(), {});
    return true;
}

std::shared_ptr<ManagedObject> FRFetchedResultsController::objectAtIndex(uint64_t index) const {
    return index < fetchedObjects_.size() ? fetchedObjects_[index] : nullptr;
}

FRFetchedResultsController::Objects FRFetchedResultsController::objectsAtIndexes(const std::vector<uint64_t>& indexes) const {
    Objects objects;
    for (uint64_t index : indexes)
        if (index < fetchedObjects_.size()) objects.push_back(fetchedObjects_[index]);
    return objects;
}

uint64_t FRFetchedResultsController::indexOfObject(const ManagedObject* object) const {
    for (size_t i = 0; i < fetchedObjects_.size(); ++i)
        if (fetchedObjects_[i].get() == object) return i;
    return kNotFound;
}

void FRFetchedResultsController::report(const std::shared_ptr<ManagedObject>& object, uint64_t index,
                                        FRFetchedResultsChangeType type, uint64_t newIndex) {
    if (!willChangeSent_) {
        willChangeSent_ = true;
        if (delegateWillChange_) delegate_->controllerWillChangeContent(*this);
    }
    if (delegateDidChangeObject_) delegate_->controller(*this, object, index, type, newIndex);
}

FRFetchedResultsController::SortKeys FRFetchedResultsController::sortKeysOf(const ManagedObject& object) const {
    SortKeys keys;
    keys.reserve(fetchRequest_->sortDescriptors.size());
    for (const auto& s : fetchRequest_->sortDescriptors) keys.push_back(object.valueForKey(s.key));
    return keys;
}

const FRFetchedResultsController::SortKeys& FRFetchedResultsController::keysAt(size_t index) {
    SortKeys& keys = sortKeys_[index];
    if (keys.empty()) keys = sortKeysOf(*fetchedObjects_[index]);
    return keys;
}

int FRFetchedResultsController::compareKeys(const SortKeys& a, const SortKeys& b) const {
    const auto& sorts = fetchRequest_->sortDescriptors;
    for (size_t i = 0; i < sorts.size(); ++i) {
        int c = store::orderValues(a[i], b[i]);
        if (c != 0) return sorts[i].ascending ? c : -c;
    }
    return 0;
}

size_t FRFetchedResultsController::lowerBound(const SortKeys& keys) {
    size_t lo = 0, hi = fetchedObjects_.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (compareKeys(keysAt(mid), keys) < 0) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

size_t FRFetchedResultsController::upperBound(const SortKeys& keys) {
    size_t lo = 0, hi = fetchedObjects_.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (compareKeys(keysAt(mid), keys) <= 0) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

void FRFetchedResultsController::removeAt(size_t index) {
    fetchedObjects_.erase(fetchedObjects_.begin() + static_cast<std::ptrdiff_t>(index));
    sortKeys_.erase(sortKeys_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::vector<size_t> FRFetchedResultsController::place(std::vector<Placement>& placements) {
    std::vector<size_t> byPosition(placements.size());
    for (size_t i = 0; i < byPosition.size(); ++i) byPosition[i] = i;
    std::sort(byPosition.begin(), byPosition.end(), [&](size_t a, size_t b) {
        const Placement& pa = placements[a];
        const Placement& pb = placements[b];
        if (pa.base != pb.base) return pa.base < pb.base;
        int c = compareKeys(pa.keys, pb.keys);
        return c != 0 ? c < 0 : pa.order < pb.order;
    });
    // Widen the array and fill it from the back, so each object that stays moves
    // once whatever the number of placements.
    const size_t staying = fetchedObjects_.size();
    fetchedObjects_.resize(staying + placements.size());
    sortKeys_.resize(staying + placements.size());
    std::vector<size_t> finalIndex(placements.size());
    size_t from = staying;  // objects [0, from) are not moved yet
    size_t to = fetchedObjects_.size();
    for (size_t rank = byPosition.size(); rank-- > 0;) {
        Placement& p = placements[byPosition[rank]];
        while (from > p.base) {
            --from, --to;
            fetchedObjects_[to] = std::move(fetchedObjects_[from]);
            sortKeys_[to] = std::move(sortKeys_[from]);
        }
        --to;
        fetchedObjects_[to] = std::move(p.object);
        sortKeys_[to] = std::move(p.keys);
        finalIndex[byPosition[rank]] = to;
    }
    return finalIndex;
}

void FRFetchedResultsController::managedObjectContextObjectsDidChange(const foundation::Notification& notification) {
    if (!fetchRequest_) return;
    static const Objects kNone;
    const Objects* found = notification.info<Objects>(store::Context::kInsertedObjectsKey);
    const Objects& inserted = found ? *found : kNone;
    found = notification.info<Objects>(store::Context::kUpdatedObjectsKey);
    const Objects& updated = found ? *found : kNone;
    found = notification.info<Objects>(store::Context::kDeletedObjectsKey);
    const Objects& deleted = found ? *found : kNone;

    const store::FetchRequest& request = *fetchRequest_;
    const auto& predicate = request.predicate;
    const bool sorted = !request.sortDescriptors.empty();
    willChangeSent_ = false;
    Objects insertList;
    std::vector<FRFetchedResultsUpdate> moveList;
    auto belongs = [&request](const ManagedObject& o) { return o.entity().name() == request.entityName; };
    auto matches = [&predicate](const ManagedObject& o) { return !predicate || predicate->evaluate(o); };
    Positions positions(fetchedObjects_, deleted.size() + updated.size() + inserted.size());

    // 1. Deletions.
    for (const auto& object : deleted) {
        if (!belongs(*object)) continue;
        size_t index = positions.find(object.get());
        if (index == kAbsent) continue;
        positions.willRemove(object.get());
        removeAt(index);
        report(object, index, FRFetchedResultsChangeType::Delete, kNotFound);
    }

    // 2. Updates: leaving, entering, changing in place, or moving.
    for (const auto& object : updated) {
        if (!belongs(*object)) continue;
        const bool match = matches(*object);
        size_t index = positions.find(object.get());
        if (!match && index != kAbsent) {
            positions.willRemove(object.get());
            removeAt(index);
            report(object, index, FRFetchedResultsChangeType::Delete, kNotFound);
        } else if (match && index == kAbsent) {
            insertList.push_back(object);
        } else if (match) {
            bool sortKeyChanged = false;
            if (sorted) {
                const auto changed = object->changedKeysForCurrentEvent();
                for (const auto& s : request.sortDescriptors)
                    sortKeyChanged = sortKeyChanged || std::find(changed.begin(), changed.end(), s.key) != changed.end();
            }
            if (sortKeyChanged) moveList.push_back({object, index});
            else report(object, index, FRFetchedResultsChangeType::Update, index);
        }
    }

    // 3. Moves: a stable re-sort, done by taking the moved objects out and
    // putting each back where a stable sort of the whole array would put it.
    if (!moveList.empty() && sorted) {
        struct Moved {
            size_t index;  // in the array as it is now
            size_t update;  // in moveList
        };
        std::vector<Moved> moved;
        for (size_t u = 0; u < moveList.size(); ++u) moved.push_back({positions.find(moveList[u].object.get()), u});
        std::sort(moved.begin(), moved.end(), [](const Moved& a, const Moved& b) { return a.index < b.index; });
        // Close the gaps, keeping the order of the objects that stay.
        size_t write = 0, next = 0;
        for (size_t read = 0; read < fetchedObjects_.size(); ++read) {
            if (next < moved.size() && moved[next].index == read) {
                ++next;
                continue;
            }
            if (write != read) {
                fetchedObjects_[write] = std::move(fetchedObjects_[read]);
                sortKeys_[write] = std::move(sortKeys_[read]);
            }
            ++write;
        }
        fetchedObjects_.resize(write);
        sortKeys_.resize(write);
        std::vector<Placement> placements;
        for (size_t rank = 0; rank < moved.size(); ++rank) {
            const auto& object = moveList[moved[rank].update].object;
            Placement p{object, sortKeysOf(*object), 0, moved[rank].index};
            // A stable sort keeps the moved object after the tying objects that
            // stood before it and before those that stood after it: the
            // objects that stood before it are the first (index - rank) ones.
            size_t before = moved[rank].index - rank;
            p.base = std::clamp(before, lowerBound(p.keys), upperBound(p.keys));
            placements.push_back(std::move(p));
        }
        std::vector<size_t> newIndex = place(placements);
        std::vector<size_t> order(moved.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return newIndex[a] < newIndex[b]; });
        for (size_t i : order) {
            const auto& update = moveList[moved[i].update];
            report(update.object, update.originalIndex, FRFetchedResultsChangeType::Move, newIndex[i]);
        }
    }

    // 4. Inserts, after the updated objects that started to match. An object
    // that a fetch already found (one made before its insert was processed) is
    // not added twice.
    for (const auto& object : inserted)
        if (belongs(*object) && matches(*object) && !positions.contains(object.get())) insertList.push_back(object);
    if (!insertList.empty()) {
        if (sorted) {
            std::vector<Placement> placements;
            for (size_t i = 0; i < insertList.size(); ++i) {
                Placement p{insertList[i], sortKeysOf(*insertList[i]), 0, i};
                p.base = upperBound(p.keys);  // after every object it ties with
                placements.push_back(std::move(p));
            }
            std::vector<size_t> newIndex = place(placements);
            for (size_t i = 0; i < insertList.size(); ++i)
                report(insertList[i], kNotFound, FRFetchedResultsChangeType::Insert, newIndex[i]);
        } else {
            const size_t first = fetchedObjects_.size();
            for (const auto& object : insertList) {
                fetchedObjects_.push_back(object);
                sortKeys_.emplace_back();
            }
            for (size_t i = first; i < fetchedObjects_.size(); ++i)
                report(fetchedObjects_[i], kNotFound, FRFetchedResultsChangeType::Insert, i);
        }
    }

    if (willChangeSent_ && delegateDidChange_) delegate_->controllerDidChangeContent(*this);
}
