#pragma once
// Keeps the result of one fetch live: it fetches once, then turns every
// objects-did-change notification of its context into a short series of reports
// (insert, delete, move, update, each with indexes into the flat array of
// fetched objects) sent to a delegate between a will-change and a did-change
// call. There are no sections.
//
// Runs on its context's queue (the main queue for the main context): the
// notifications arrive there and the delegate is called synchronously inside
// the context's change processing.
//
// The array stays in the request's order between notifications. Re-sorting is
// stable (objects that tie keep their order, and new objects go after the ones
// they tie with), and only the moved and new objects are placed by binary
// search, so one insert into a hundred thousand objects costs a few
// comparisons and one shift of the array.

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Notification.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/store/Context.h"
#include "platform/store/FetchRequest.h"
#include "platform/store/ManagedObject.h"

class FRFetchedResultsController;

enum class FRFetchedResultsChangeType : uint64_t { Insert = 1, Delete = 2, Move = 3, Update = 4 };

// Receives the reports. Every operation is optional: a delegate says which ones
// it implements, and only those are sent.
class FRFetchedResultsControllerDelegate {
public:
    virtual ~FRFetchedResultsControllerDelegate() = default;

    virtual void controllerWillChangeContent(FRFetchedResultsController& controller) { (void)controller; }
    // atIndex is the object's index before the change (kNotFound for an insert),
    // newIndex its index after it (kNotFound for a delete).
    virtual void controller(FRFetchedResultsController& controller,
                            const std::shared_ptr<store::ManagedObject>& didChangeObject, uint64_t atIndex,
                            FRFetchedResultsChangeType forChangeType, uint64_t newIndex) {
        (void)controller, (void)didChangeObject, (void)atIndex, (void)forChangeType, (void)newIndex;
    }
    virtual void controllerDidChangeContent(FRFetchedResultsController& controller) { (void)controller; }

    virtual bool implementsControllerWillChangeContent() const { return false; }
    virtual bool implementsControllerDidChangeObject() const { return false; }
    virtual bool implementsControllerDidChangeContent() const { return false; }
};

class FRFetchedResultsController {
public:
    using Objects = std::vector<std::shared_ptr<store::ManagedObject>>;
    // A missing index: the largest signed 64-bit integer.
    static constexpr uint64_t kNotFound = static_cast<uint64_t>(INT64_MAX);

    // Observes the objects-did-change notifications of this context only.
    FRFetchedResultsController(std::shared_ptr<store::Context> managedObjectContext,
                               std::shared_ptr<const store::FetchRequest> fetchRequest);
    ~FRFetchedResultsController();
    FRFetchedResultsController(const FRFetchedResultsController&) = delete;
    FRFetchedResultsController& operator=(const FRFetchedResultsController&) = delete;

    const std::shared_ptr<store::Context>& managedObjectContext() const { return managedObjectContext_; }
    const std::shared_ptr<const store::FetchRequest>& fetchRequest() const { return fetchRequest_; }
    const Objects& fetchedObjects() const { return fetchedObjects_; }

    // Not retained: the delegate must outlive the controller or be reset first.
    FRFetchedResultsControllerDelegate* delegate() const { return delegate_; }
    void setDelegate(FRFetchedResultsControllerDelegate* delegate);

    // false only when there is no fetch request. Otherwise the result replaces
    // the array without any report; a failed fetch fills error (when given),
    // leaves the array empty and still answers true.
    bool performFetch(foundation::Error* error = nullptr);

    // Null when index is not below count().
    std::shared_ptr<store::ManagedObject> objectAtIndex(uint64_t index) const;
    // The objects at the indexes, in the order given; indexes past the end are skipped.
    Objects objectsAtIndexes(const std::vector<uint64_t>& indexes) const;
    uint64_t indexOfObject(const store::ManagedObject* object) const;
    uint64_t indexOfObject(const std::shared_ptr<store::ManagedObject>& object) const { return indexOfObject(object.get()); }
    uint64_t count() const { return fetchedObjects_.size(); }

    // Turns one objects-did-change notification into reports.
    void managedObjectContextObjectsDidChange(const foundation::Notification& notification);

private:
    class Positions;
    using SortKeys = std::vector<store::Value>;
    struct Placement {
        std::shared_ptr<store::ManagedObject> object;
        SortKeys keys;
        size_t base = 0;   // where it goes among the objects that stay
        size_t order = 0;  // its order among objects with the same base and keys
    };

    void report(const std::shared_ptr<store::ManagedObject>& object, uint64_t index, FRFetchedResultsChangeType type,
                uint64_t newIndex);
    SortKeys sortKeysOf(const store::ManagedObject& object) const;
    const SortKeys& keysAt(size_t index);
    // <0, 0 or >0 as a sorts before, with or after b under the request's order.
    int compareKeys(const SortKeys& a, const SortKeys& b) const;
    size_t lowerBound(const SortKeys& keys);
    size_t upperBound(const SortKeys& keys);
    void removeAt(size_t index);
    // Puts each placement at its base (among the objects already in the array)
    // and answers their final indexes, in the order given.
    std::vector<size_t> place(std::vector<Placement>& placements);

    std::shared_ptr<store::Context> managedObjectContext_;
    std::shared_ptr<const store::FetchRequest> fetchRequest_;
    Objects fetchedObjects_;
    // The sort keys of fetchedObjects_ by index, read on first need: a new fetch
    // of a long history reads none.
    std::vector<SortKeys> sortKeys_;
    FRFetchedResultsControllerDelegate* delegate_ = nullptr;
    bool delegateWillChange_ = false;
    bool delegateDidChangeObject_ = false;
    bool delegateDidChange_ = false;
    bool willChangeSent_ = false;
    foundation::ObserverRegistration observer_;
};
