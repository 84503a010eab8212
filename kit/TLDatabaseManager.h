#pragma once
// The application's one object store: the model "Tavlo.momd" from the main
// bundle, the coordinator over the SQLite file "datastore" in the
// application-group container, a private-queue parent context that alone
// writes the store, and the main-queue context under it in which the
// interface, capture and sync read and edit the history. The getters make
// their objects on first use and keep them; the first calls come from the
// main queue.
//
// Saves of the main context reach the file by being pushed to the parent
// context, which saves on its own queue, after the main context's save has
// returned. While an update bracket is open (beginUpdates/endUpdates, which
// the sync engine puts around its fetches and uploads) they reach only the
// parent's memory, and the closing call writes them all at once. The bracket is
// a single flag: the first endUpdates() closes it. A bracket can stay open for
// minutes on a slow network, and a crash or kill would lose every capture it
// held: so a save made inside it reaches the file at most
// kBracketWriteInterval seconds later all the same.
//
// An application that quits while a bracket is open would lose what the
// bracket held: applicationWillTerminate() writes it, and installTerminationHook()
// calls it when the Qt application is about to quit.
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

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Notification.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "platform/store/Coordinator.h"
#include "platform/store/Model.h"

class Clipping;
class List;
class QObject;

class TLDatabaseManager {
public:
    // The longest a main-context save waits in an open bracket before the
    // parent writes it (seconds, on the clock of dispatch/Clock.h).
    static constexpr double kBracketWriteInterval = 2;

    struct Configuration {
        std::filesystem::path modelResource;  // the "Tavlo.momd" folder
        std::filesystem::path container;      // the application-group container
        // How long opening waits for another process's lock before it gives up.
        int busyTimeoutMs = 5000;
    };

    // The one instance, over the main bundle's model and the container of Paths.
    static std::shared_ptr<TLDatabaseManager> sharedManager();
    explicit TLDatabaseManager(Configuration configuration);
    ~TLDatabaseManager();
    TLDatabaseManager(const TLDatabaseManager&) = delete;
    TLDatabaseManager& operator=(const TLDatabaseManager&) = delete;

    // Null when the model resource is missing or unreadable.
    std::shared_ptr<const store::Model> managedObjectModel();
    void setManagedObjectModel(std::shared_ptr<const store::Model> model) { model_ = std::move(model); modelLoaded_ = true; }
    // Null without a model.
    std::shared_ptr<store::Coordinator> persistentStoreCoordinator();
    void setPersistentStoreCoordinator(std::shared_ptr<store::Coordinator> coordinator) { coordinator_ = std::move(coordinator); }
    // The container with "datastore" appended.
    foundation::URL databaseURL() const;

    // The private-queue context that owns the coordinator; touch it only inside
    // its performBlock()/performBlockAndWait(). Null without a coordinator.
    std::shared_ptr<store::Context> parentManagedObjectContext();
    void setParentManagedObjectContext(std::shared_ptr<store::Context> context) { parentContext_ = std::move(context); }
    // The main context (main queue), child of the parent context; without one
    // it has no store and its fetches and saves fail. Making it registers the
    // save hooks below for it.
    std::shared_ptr<store::Context> managedObjectContext();
    void setManagedObjectContext(std::shared_ptr<store::Context> context) { mainContext_ = std::move(context); }

    // Whether an update bracket is open. Any thread.
    bool batchUpdates() const { return batchUpdates_; }
    void beginUpdates();
    // Closes the bracket and, on the parent's queue, saves the parent when it
    // has changes (a failure is logged).
    void endUpdates();

    // By identifier, looked up in the main context (main thread): clippings
    // inside its performBlockAndWait(), lists directly. Fetch errors give what
    // was found.
    std::map<std::string, std::shared_ptr<Clipping>> clippingsWithIDs(const std::vector<std::string>& clippingIDs);
    std::map<std::string, std::shared_ptr<List>> listsWithIDs(const std::vector<std::string>& listIDs);
    // The list with that listID, else the clipping with that clippingID, else null.
    std::shared_ptr<store::ManagedObject> managedObjectWithID(const std::string& identifier);

    // The main context's save hooks (main thread, inside its save); other
    // contexts' notifications are ignored. Will-save drops the standard
    // defaults' key named by each inserted, updated or deleted clipping's
    // clippingID; did-save pushes the saved changes to the file through the
    // parent unless a bracket is open.
    void managedObjectContextWillSave(const foundation::Notification& notification);
    void managedObjectContextDidSave(const foundation::Notification& notification);
    // Where the will-save hook drops keys: the standard user defaults unless set.
    void setStandardUserDefaults(std::shared_ptr<foundation::UserDefaults> defaults) { standardUserDefaults_ = std::move(defaults); }

    // Writes what the parent context holds (an open bracket's saves) before the
    // process ends, waiting for the parent's queue. Main thread, at quit.
    void applicationWillTerminate();
    // Calls applicationWillTerminate() when the running Qt application is about
    // to quit; false when there is no application yet.
    bool installTerminationHook();

    // The model with the entity classes Clipping, List, Asset and Meta.
    static foundation::Result<std::shared_ptr<store::Model>> loadModel(const std::filesystem::path& modelResource);
    // Moves the store file and its companions to the first free backup name and
    // answers that name; on failure nothing is left half-moved.
    static foundation::Result<std::filesystem::path> moveStoreAside(const std::filesystem::path& store);

private:
    void saveParentContext(bool onlyWithChanges);
    // Schedules the parent's write of an open bracket's saves, unless one is due.
    void scheduleBracketWrite();

    Configuration configuration_;
    std::shared_ptr<const store::Model> model_;
    bool modelLoaded_ = false;
    std::shared_ptr<store::Coordinator> coordinator_;
    std::shared_ptr<store::Context> parentContext_;
    std::shared_ptr<store::Context> mainContext_;
    std::shared_ptr<foundation::UserDefaults> standardUserDefaults_;
    // Written by the sync engine and read by the did-save hook; atomic because
    // the engine's completions may run on other queues.
    std::atomic<bool> batchUpdates_{false};
    // The timer of the pending bracket write (0: none), shared with its block,
    // which clears it when it fires; cancelled when the manager goes.
    struct BracketWrite {
        std::mutex mutex;
        uint64_t timer = 0;
    };
    std::shared_ptr<BracketWrite> bracketWrite_ = std::make_shared<BracketWrite>();
    foundation::ObserverRegistration willSaveObserver_, didSaveObserver_;
    // Receives the application's quit; going away with the manager ends the connection.
    std::unique_ptr<QObject> quitReceiver_;
};
