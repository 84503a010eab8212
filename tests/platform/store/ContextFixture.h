#pragma once
// Contexts in the shape the application uses (a private-queue root over the
// store, a main-queue child, private children of that), and a recorder of the
// notifications a context posts.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "StoreFixture.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ThreadIdentity.h"

namespace storetest {

// "Clipping C-1", "List L-1", "Asset A-1": the entity and identifier of an object.
inline std::string label(const store::ManagedObject& object) {
    static const std::map<std::string, std::string> kIDKeys = {
        {"Clipping", "clippingID"}, {"List", "listID"}, {"Asset", "assetID"}};
    auto key = kIDKeys.find(object.entity().name());
    std::string id = key == kIDKeys.end() ? "" : object.valueForKey(key->second).string();
    return object.entity().name() + " " + id;
}

// What one notification said, by label.
struct Posted {
    std::vector<std::string> inserted, updated, deleted;
    // Updated objects with their keys: changedKeysForCurrentEvent() during an
    // objects-did-change, the saved keys of a did-save.
    std::map<std::string, std::vector<std::string>> keys;
    bool onMainThread = false;
};

class NotificationLog {
public:
    NotificationLog(const char* name, const store::Context* context) {
        auto& center = foundation::NotificationCenter::defaultCenter();
        registration_ = foundation::ObserverRegistration(
            center, center.addObserver(name, context, [this](const foundation::Notification& n) { record(n); }));
    }
    std::vector<Posted> posted() const {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    size_t count() const { return posted().size(); }
    Posted last() const {
        auto all = posted();
        return all.empty() ? Posted() : all.back();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        posted_.clear();
    }

private:
    void record(const foundation::Notification& n) {
        using store::Context;
        Posted p;
        p.onMainThread = foundation::isMainThread();
        auto labels = [&n](const char* key) {
            std::vector<std::string> out;
            if (auto objects = n.info<Context::Objects>(key))
                for (const auto& o : *objects) out.push_back(label(*o));
            return out;
        };
        p.inserted = labels(Context::kInsertedObjectsKey);
        p.updated = labels(Context::kUpdatedObjectsKey);
        p.deleted = labels(Context::kDeletedObjectsKey);
        if (auto objects = n.info<Context::Objects>(Context::kUpdatedObjectsKey)) {
            auto saved = n.info<Context::ChangedKeys>(Context::kUpdatedKeysKey);
            for (const auto& o : *objects) {
                std::vector<std::string> keys;
                if (saved) {
                    auto it = saved->find(o->objectID());
                    if (it != saved->end()) keys = it->second;
                } else {
                    keys = o->changedKeysForCurrentEvent();
                }
                std::sort(keys.begin(), keys.end());
                p.keys[label(*o)] = keys;
            }
        }
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(p));
    }

    mutable std::mutex mutex_;
    std::vector<Posted> posted_;
    foundation::ObserverRegistration registration_;
};

class ContextTest : public StoreTest {
protected:
    // The application's stack: a private root that owns the coordinator and a
    // main-queue context under it.
    void makeStack() {
        root_ = std::make_shared<store::Context>(store::ConcurrencyType::PrivateQueue);
        auto coordinator = openCoordinator();
        root_->performBlockAndWait([&] { root_->setPersistentStoreCoordinator(coordinator); });
        main_ = std::make_shared<store::Context>(store::ConcurrencyType::MainQueue);
        main_->setParentContext(root_);
    }
    std::shared_ptr<store::Context> newChild(const std::shared_ptr<store::Context>& parent) {
        auto child = std::make_shared<store::Context>(store::ConcurrencyType::PrivateQueue);
        child->performBlockAndWait([&] { child->setParentContext(parent); });
        return child;
    }
    static std::shared_ptr<store::ManagedObject> insertClipping(store::Context& context, const std::string& id,
                                                                double date = 0, const std::string& text = "text") {
        auto c = context.insertNewObject("Clipping");
        c->setValueForKey("clippingID", store::Value(id));
        c->setValueForKey("tavloDate", store::Value::date(date));
        c->setValueForKey("text", store::Value(text));
        return c;
    }
    // What a second connection to the file sees: only what was committed.
    std::set<std::string> storedClippingIDs() {
        store::Context reader(openCoordinator());
        auto found = reader.fetch(store::FetchRequest("Clipping"));
        EXPECT_TRUE(found.ok());
        return found.ok() ? idsOf(found.value()) : std::set<std::string>();
    }
    static std::set<std::string> fetchIDs(store::Context& context, const std::string& format = "",
                                          const store::Value& argument = store::Value()) {
        store::FetchRequest request("Clipping");
        if (!format.empty()) request.predicate = store::Predicate::withFormat(format, argument).value();
        auto found = context.fetch(request);
        EXPECT_TRUE(found.ok()) << (found.ok() ? "" : found.error().description());
        return found.ok() ? idsOf(found.value()) : std::set<std::string>();
    }
    // Pumps the main queue until done() holds (children wait on it).
    template <class F>
    // Runs the main queue until done() holds; bounded by time, not by rounds,
    // so a busy machine gets as long as a quiet one.
    static bool pumpUntil(F done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end) {
            if (dispatch::MainQueue::runUntilIdle() == 0) std::this_thread::yield();
        }
        return done();
    }

    std::shared_ptr<store::Context> root_, main_;
};

}  // namespace storetest
