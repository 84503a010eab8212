#pragma once
// The sync engine: mirrors the store's lists, clippings and asset files into
// the user's private cloud database. The application delegate owns one while
// sync is on and none while it is off; these are the operations it calls.
// Each is virtual so that tests of the delegate stand in an engine of their
// own. Completions run on the engine's callback queues, never the main one.
//
// Until the engine's own work is built this class looks the record zone up
// and creates it in the private database, without the launch pass's clock,
// subscription, fetch and upload; the reconcile does nothing yet.

#include <functional>
#include <memory>

#include "platform/cloud/RecordZoneID.h"

namespace cloud {
class Container;
class Database;
}  // namespace cloud

namespace store {
class Context;
}

class TLCloudKitSyncManager {
public:
    static constexpr const char* kTavloRecordZoneName = "Tavlo Zone";

    // The engine of the configured account's container, or of the one given.
    TLCloudKitSyncManager();
    explicit TLCloudKitSyncManager(std::shared_ptr<cloud::Container> container);
    virtual ~TLCloudKitSyncManager();
    TLCloudKitSyncManager(const TLCloudKitSyncManager&) = delete;
    TLCloudKitSyncManager& operator=(const TLCloudKitSyncManager&) = delete;

    // The launch pass, with the main context; returns at once.
    virtual void startCloudKitSync(std::shared_ptr<store::Context> context);
    // Binds the engine to the main context, or with null unbinds it, after
    // which none of its saves is uploaded by this engine.
    virtual void setManagedObjectContext(std::shared_ptr<store::Context> context);
    // Answers whether the record zone exists on the server.
    virtual void checkServerForTavloRecordZone(std::function<void(bool found)> completion);
    // Creates the record zone; answers whether it was created.
    virtual void createTavloRecordZone(const cloud::RecordZoneID& zoneID, std::function<void(bool created)> completion);
    // The zone "Tavlo Zone" of the signed-in account.
    virtual cloud::RecordZoneID tavloRecordZoneID() const;
    // The full reconcile of the store with the server.
    virtual void runCloudKitDiagnostics();

    const std::shared_ptr<store::Context>& managedObjectContext() const { return managedObjectContext_; }
    // The application's container and its private database, which every
    // cloud call of the engine goes to.
    const std::shared_ptr<cloud::Container>& container() const { return container_; }
    const std::shared_ptr<cloud::Database>& database() const { return database_; }

private:
    std::shared_ptr<cloud::Container> container_;
    std::shared_ptr<cloud::Database> database_;
    std::shared_ptr<store::Context> managedObjectContext_;
};
