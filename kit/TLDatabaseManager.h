#pragma once
// The application's one object store: the model "Tavlo.momd" from the main
// bundle and the coordinator over the SQLite file "datastore" in the
// application-group container. The getters make their objects on first use and
// keep them; the first calls come from the main queue.
//
// A store file that can never be opened (not a database, damaged, or written by
// a model we cannot migrate from) is set aside, never deleted: "datastore" and
// its "-wal" and "-shm" companions move together to the first free backup name
// ("datastore.backup", "datastore.backup 2", ...), and a fresh store opens on the
// same coordinator, which callers then get. When the move is impossible the
// coordinator runs on an in-memory store rather than over the bad file. A store
// that is only busy (another running instance) or unwritable is left where it
// is: the coordinator then has no store and every fetch and save fails with an
// error instead of the history vanishing.

#include <filesystem>
#include <memory>

#include "platform/foundation/Result.h"
#include "platform/foundation/URL.h"
#include "platform/store/Coordinator.h"
#include "platform/store/Model.h"

class TLDatabaseManager {
public:
    struct Configuration {
        std::filesystem::path modelResource;  // the "Tavlo.momd" folder
        std::filesystem::path container;      // the application-group container
        // How long opening waits for another process's lock before it gives up.
        int busyTimeoutMs = 5000;
    };

    // The one instance, over the main bundle's model and the container of Paths.
    static std::shared_ptr<TLDatabaseManager> sharedManager();
    explicit TLDatabaseManager(Configuration configuration);

    // Null when the model resource is missing or unreadable.
    std::shared_ptr<const store::Model> managedObjectModel();
    void setManagedObjectModel(std::shared_ptr<const store::Model> model) { model_ = std::move(model); modelLoaded_ = true; }
    // Null without a model.
    std::shared_ptr<store::Coordinator> persistentStoreCoordinator();
    void setPersistentStoreCoordinator(std::shared_ptr<store::Coordinator> coordinator) { coordinator_ = std::move(coordinator); }
    // The container with "datastore" appended.
    foundation::URL databaseURL() const;

    // The model with the entity classes Clipping, List, Asset and Meta.
    static foundation::Result<std::shared_ptr<store::Model>> loadModel(const std::filesystem::path& modelResource);
    // Moves the store file and its companions to the first free backup name and
    // answers that name; on failure nothing is left half-moved.
    static foundation::Result<std::filesystem::path> moveStoreAside(const std::filesystem::path& store);

private:
    Configuration configuration_;
    std::shared_ptr<const store::Model> model_;
    bool modelLoaded_ = false;
    std::shared_ptr<store::Coordinator> coordinator_;
};
