// The pasteboard manager's removals: one clipping, an asset folder, a list, and
// the trim of the history to the user's limit with its pass over duplicates.

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kit/NSFileManagerExtras.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/foundation/UserDefaults.h"

namespace {

std::vector<std::shared_ptr<Clipping>> clippingsOf(foundation::Result<store::Context::Objects> found) {
    std::vector<std::shared_ptr<Clipping>> out;
    if (!found) return out;
    out.reserve(found.value().size());
    for (auto& object : found.value())
        if (auto clipping = std::dynamic_pointer_cast<Clipping>(object)) out.push_back(std::move(clipping));
    return out;
}

// Deletes every clipping but the newest of each identifier that several
// share (two devices that saved one clipping at once); the folder of the
// shared identifier stays with the survivor. True when it deleted and saved.
// On the context's own queue.
bool deleteDuplicateClippings(store::Context& context) {
    // Nearly always no identifier is shared: then the distinct identifiers
    // (counted over the identifier index, no row read out) are as many as the
    // clippings that have one, and the pass ends there.
    if (auto named = store::Predicate::withFormat("clippingID != NULL")) {
        store::FetchRequest all(Clipping::kEntityName);
        all.predicate = named.value();
        store::FetchRequest distinct = all;
        distinct.propertiesToFetch = {"clippingID"};
        distinct.returnsDistinctResults = true;
        auto total = context.count(all);
        auto identifiers = context.count(distinct);
        if (total && identifiers && total.value() == identifiers.value()) return false;
    }
    // One pass over the identifiers counts them all: a count per identifier
    // would cost a query for each clipping.
    store::FetchRequest request(Clipping::kEntityName);
    request.propertiesToFetch = {"clippingID"};
    auto rows = context.fetchDictionaries(request);
    if (!rows) return false;
    std::unordered_map<std::string, int64_t> counts;
    std::vector<std::string> shared;
    counts.reserve(rows.value().size());
    for (const auto& row : rows.value()) {
        auto it = row.find("clippingID");
        // A clipping without identifier is nobody's duplicate.
        if (it == row.end() || it->second.kind() != store::Value::Kind::String) continue;
        if (++counts[it->second.string()] == 2) shared.push_back(it->second.string());
    }
    for (const std::string& clippingID : shared) {
        TLLogInfo(TLLogContextPasteboard, "Duplicate clipping with ID %@ found. (%@ total). Deleting.", clippingID,
                  counts[clippingID]);
        store::FetchRequest same(Clipping::kEntityName);
        auto predicate = store::Predicate::withFormat("clippingID == %@", clippingID);
        if (!predicate) continue;
        same.predicate = predicate.value();
        same.sortDescriptors = {{"tavloDate", false}};
        auto clippings = clippingsOf(context.fetch(same));
        for (size_t i = 1; i < clippings.size(); ++i) context.deleteObject(clippings[i]);
    }
    return context.hasChanges() && context.save().ok();
}

void removeAssetsFolder(const std::string& clippingID) {
    TLLogInfo(TLLogContextPasteboard, "Deleting assets for clipping with ID: %@", clippingID);
    // Only a well-formed identifier names a folder: an identifier from a sync
    // record never reaches outside the assets folder.
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clippingID);
    if (!folder) return;
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(folder->filePath(), error))) return;
    if (std::filesystem::remove_all(folder->filePath(), error); error)
        TLLogError(TLLogContextPasteboard, "Error deleting assets at %@: %@", folder->filePath().string(), error.message());
}

// The folders of deleted clippings, removed only once the deletion is saved:
// a failed save keeps the clippings, and with them the files they show.
class FoldersAfterSave {
public:
    void add(const std::shared_ptr<Clipping>& clipping) {
        if (auto clippingID = clipping->clippingID()) ids_.push_back(*clippingID);
    }
    // Removes the folders when the save succeeded, else logs its failure.
    bool settle(const foundation::Result<void>& saved) const {
        if (!saved) {
            TLLogError(TLLogContextSync, "Error saving changes to local store: %@", saved.error().description());
            return false;
        }
        for (const auto& clippingID : ids_) removeAssetsFolder(clippingID);
        return true;
    }

private:
    std::vector<std::string> ids_;
};

void deleteClippingLater(const std::shared_ptr<Clipping>& clipping, FoldersAfterSave& folders) {
    TLLogInfo(TLLogContextPasteboard, "Deleting clipping with ID: %@", clipping->clippingID());
    folders.add(clipping);
    clipping->managedObjectContext()->deleteObject(clipping);
}

// A clipping made for an asset that arrived from another device before its
// clipping: it has neither a change date nor a record yet. Deleting it would
// send the deletion of the real clipping to every device; its record fills it.
bool isSyncPlaceholder(const Clipping& clipping) {
    return !clipping.modifiedDate() && !clipping.recordSystemFields();
}

// Deletes the clippings past the newest `limit` that are in no list, and the
// clippings with nothing to show; on the context's own queue. The history's
// size is counted first, from the store's index: a capture under the limit
// costs no fetch nor sort of the history. True when it deleted; the deleted
// clippings' folders go into folders.
bool trimHistory(store::Context& context, int64_t limit, FoldersAfterSave& folders) {
    store::FetchRequest all(Clipping::kEntityName);
    all.includesPendingChanges = false;
    auto total = context.count(all);
    const int64_t over = total ? std::max<int64_t>(total.value() - limit, 0) : 0;
    // The newest `limit` clippings stay whatever they are; of the older
    // ones, those in a list stay too.
    int64_t deleted = 0;
    if (over > 0) {
        store::FetchRequest older = all;
        older.sortDescriptors = {{"tavloDate", false}};
        older.fetchOffset = limit;
        for (const auto& clipping : clippingsOf(context.fetch(older))) {
            if (clipping->list() || isSyncPlaceholder(*clipping)) continue;
            deleteClippingLater(clipping, folders);
            ++deleted;
        }
    }
    TLLogInfo(TLLogContextPasteboard, "Tavlo history is %@ over the limit", over);
    TLLogInfo(TLLogContextPasteboard, "%@ clipping%@ will be deleted", deleted, deleted < 2 ? "" : "s");

    // A clipping with nothing to show has no reason to stay, in a list or not,
    // unless it waits for its record from another device.
    store::FetchRequest empty(Clipping::kEntityName);
    if (auto predicate = store::Predicate::withFormat("text == NULL AND url == NULL AND image == NULL AND "
                                                      "(modifiedDate != NULL OR recordSystemFields != NULL)")) {
        empty.predicate = predicate.value();
        for (const auto& clipping : clippingsOf(context.fetch(empty))) deleteClippingLater(clipping, folders);
    }
    return context.hasChanges();
}

}  // namespace

void TLPasteboardManager::deleteClipping(const std::shared_ptr<Clipping>& clipping) {
    if (!clipping) return;
    store::Context* context = clipping->managedObjectContext();
    if (!context) return;  // already deleted and saved
    context->performBlockAndWait([&] {
        FoldersAfterSave folders;
        deleteClippingLater(clipping, folders);
        folders.settle(saveClippingContext(*context));
    });
}

void TLPasteboardManager::deleteAssetsForClippingWithID(const std::string& clippingID) { removeAssetsFolder(clippingID); }

void TLPasteboardManager::deleteList(const std::shared_ptr<List>& list) {
    if (!list || !context_) return;
    TLLogInfo(TLLogContextPasteboard, "Deleting list with ID: %@", list->listID());
    context_->performBlockAndWait([&] {
        // The members' folders go with the list; the clippings stay, out of any list.
        FoldersAfterSave folders;
        for (const auto& clipping : list->clippings()) folders.add(clipping);
        context_->deleteObject(list);
        if (context_->hasChanges()) folders.settle(saveClippingContext(*context_));
    });
}

bool TLPasteboardManager::deleteClippings(const std::vector<std::shared_ptr<Clipping>>& clippings,
                                          const std::shared_ptr<List>& list, foundation::Error* failure) {
    store::Context* context = list ? list->managedObjectContext() : nullptr;
    for (size_t i = 0; !context && i < clippings.size(); ++i)
        if (clippings[i]) context = clippings[i]->managedObjectContext();
    if (!context) return false;  // nothing stored to delete
    bool saved = false;
    context->performBlockAndWait([&] {
        // What was already pending stays pending whatever the save does.
        std::unordered_set<const store::ManagedObject*> pending;
        for (const auto* set : {&context->deletedObjects(), &context->updatedObjects()})
            for (const auto& object : *set) pending.insert(object.get());
        FoldersAfterSave folders;
        for (const auto& clipping : clippings)
            if (clipping && clipping->managedObjectContext() == context && !clipping->isDeleted())
                deleteClippingLater(clipping, folders);
        if (list && !list->isDeleted()) {
            TLLogInfo(TLLogContextPasteboard, "Deleting list with ID: %@", list->listID());
            context->deleteObject(list);
        }
        auto result = saveClippingContext(*context);
        if (!result && failure) *failure = result.error();
        saved = folders.settle(std::move(result));
        if (saved) return;
        // The objects this call deleted, and those the delete rules deleted or
        // changed, go back to what the store holds.
        store::Context::Objects undone;
        for (const auto* set : {&context->deletedObjects(), &context->updatedObjects()})
            for (const auto& object : *set)
                if (!pending.count(object.get())) undone.push_back(object);
        for (const auto& object : undone) context->refreshObject(object, false);
    });
    return saved;
}

foundation::Result<void> TLPasteboardManager::saveClippingContext(store::Context& context) {
    return &context == context_.get() ? saveContext_(context) : context.save();
}

void TLPasteboardManager::trimClipboardHistory() {
    const int64_t limit = foundation::UserDefaults::applicationGroup()->integerForKey(TLUserDefaultsClipboardSize);
    TLLogInfo(TLLogContextPasteboard, "Trim Tavlo history to limit %@", limit);
    if (limit > 0 && context_) {
        // The trim reads the history where the store is written, off the main
        // queue, when the main context has a parent; the main context then
        // takes in the deletions, so its fetched results drop them.
        std::shared_ptr<store::Context> parent = context_->parentContext();
        if (!parent) {
            context_->performBlockAndWait([&] {
                FoldersAfterSave folders;
                if (trimHistory(*context_, limit, folders)) folders.settle(saveContext_(*context_));
            });
        } else {
            std::weak_ptr<store::Context> main = context_;
            parent->performBlock([parent, main, limit] {
                FoldersAfterSave folders;
                if (!trimHistory(*parent, limit, folders)) return;
                auto& center = foundation::NotificationCenter::defaultCenter();
                auto didSave = std::make_shared<foundation::Notification>();
                {
                    foundation::ObserverRegistration observer(
                        center, center.addObserver(store::Context::kDidSaveNotification, parent.get(),
                                                   [&](const foundation::Notification& n) { *didSave = n; }));
                    if (!folders.settle(parent->save())) return;
                }
                dispatch::Queue::main()->async([main, didSave] {
                    if (auto context = main.lock()) context->mergeChangesFromContextDidSaveNotification(*didSave);
                });
            });
        }
    }
    removeDuplicateClippings();
}

void TLPasteboardManager::removeDuplicateClippings() {
    if (!context_) return;
    // The pass reads every identifier: it runs where the store is written,
    // off the main queue, when the main context has a parent.
    std::shared_ptr<store::Context> target = context_->parentContext() ? context_->parentContext() : context_;
    auto pass = [target] {
        if (!deleteDuplicateClippings(*target)) return;
        auto announce = [] { foundation::NotificationCenter::defaultCenter().post(TLRemovedDuplicateClippingNotification); };
        if (dispatch::Queue::main()->isCurrent())
            announce();
        else
            dispatch::Queue::main()->async(announce);
    };
    if (target->concurrencyType() == store::ConcurrencyType::PrivateQueue)
        target->performBlock(pass);
    else
        dispatch::Queue::main()->async(pass);
}
