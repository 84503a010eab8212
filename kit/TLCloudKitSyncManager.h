#pragma once
// The sync engine: mirrors the store's lists, clippings and asset files into
// the user's private cloud database. The application delegate owns one while
// sync is on and none while it is off; these are the operations it calls.
// Each is virtual so that tests of the delegate stand in an engine of their
// own. Completions run on the engine's callback queues, never the main one.
//
// Until the engine's own work is built this class is bound to a context and
// reports that it cannot reach the record zone, so enabling sync does nothing
// further.

#include <functional>
#include <memory>

#include "platform/cloud/RecordZoneID.h"

namespace store {
class Context;
}

class TLCloudKitSyncManager {
public:
    static constexpr const char* kTavloRecordZoneName = "Tavlo Zone";

    TLCloudKitSyncManager();
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

private:
    std::shared_ptr<store::Context> managedObjectContext_;
};
