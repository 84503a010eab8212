#include "kit/TLDatabaseManager.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QObject>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/Meta.h"
#include "logging/TLLog.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"
#include "platform/store/StoreError.h"

namespace {

constexpr const char* kStoreFileName = "datastore";
constexpr int kMaxBackups = 1000;
const char* const kCompanions[] = {"-wal", "-shm"};

bool existsOrDangles(const std::filesystem::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

foundation::Error moveError(const std::filesystem::path& from, const std::filesystem::path& to, int error) {
    return foundation::Error("NSPOSIXErrorDomain", error,
                             "Cannot move " + from.string() + " to " + to.string() + ": " + std::strerror(error));
}

// The history is the user's alone: the store and its companions (the
// write-ahead log holds the latest copied texts) are 0600. A missing store is
// created 0600 before SQLite opens it, and SQLite gives its companions the
// store's mode; files an earlier run left wider are narrowed.
void protectStoreFiles(const std::filesystem::path& store) {
    struct stat st;
    if (::lstat(store.c_str(), &st) != 0 && errno == ENOENT) {
        int fd = ::open(store.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
    }
    for (const std::string& suffix : {std::string(), std::string(kCompanions[0]), std::string(kCompanions[1])}) {
        std::filesystem::path file = store.string() + suffix;
        if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != 0600)
            ::chmod(file.c_str(), 0600);
    }
}

// rename(2) that never replaces an existing file.
int moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
}

store::StoreOptions storeOptions(int busyTimeoutMs) {
    store::StoreOptions options;
    options.busyTimeoutMs = busyTimeoutMs;
    options.migrateAutomatically = true;
    options.inferMappingModelAutomatically = true;
    return options;
}

}  // namespace

std::shared_ptr<TLDatabaseManager> TLDatabaseManager::sharedManager() {
    static std::once_flag once;
    static std::shared_ptr<TLDatabaseManager> shared;
    std::call_once(once, [] {
        auto resource = foundation::Bundle::main()->pathForResource("Tavlo", "momd");
        shared = std::make_shared<TLDatabaseManager>(
            Configuration{resource.value_or(std::filesystem::path()), foundation::Paths::applicationGroupContainer()});
    });
    return shared;
}

TLDatabaseManager::TLDatabaseManager(Configuration configuration) : configuration_(std::move(configuration)) {}

TLDatabaseManager::~TLDatabaseManager() {
    std::lock_guard lock(bracketWrite_->mutex);
    if (bracketWrite_->timer) dispatch::Clock::cancel(std::exchange(bracketWrite_->timer, 0));
}

foundation::URL TLDatabaseManager::databaseURL() const {
    return foundation::URL::fileURL(configuration_.container / kStoreFileName);
}

foundation::Result<std::shared_ptr<store::Model>> TLDatabaseManager::loadModel(const std::filesystem::path& modelResource) {
    auto model = store::Model::loadResource(modelResource);
    if (!model) return model.error();
    model.value()->setObjectFactory(Clipping::kEntityName, [] { return std::make_shared<Clipping>(); });
    model.value()->setObjectFactory(List::kEntityName, [] { return std::make_shared<List>(); });
    model.value()->setObjectFactory(Asset::kEntityName, [] { return std::make_shared<Asset>(); });
    model.value()->setObjectFactory(Meta::kEntityName, [] { return std::make_shared<Meta>(); });
    return model;
}

std::shared_ptr<const store::Model> TLDatabaseManager::managedObjectModel() {
    if (!modelLoaded_) {
        modelLoaded_ = true;
        auto model = loadModel(configuration_.modelResource);
        if (model) model_ = model.value();
    }
    return model_;
}

foundation::Result<std::filesystem::path> TLDatabaseManager::moveStoreAside(const std::filesystem::path& store) {
    std::filesystem::path backup;
    for (int n = 1; n <= kMaxBackups && backup.empty(); ++n) {
        std::filesystem::path candidate = store.string() + ".backup" + (n == 1 ? "" : " " + std::to_string(n));
        bool taken = existsOrDangles(candidate);
        for (const char* companion : kCompanions) taken = taken || existsOrDangles(candidate.string() + companion);
        if (!taken) backup = candidate;
    }
    if (backup.empty()) return foundation::Error("NSPOSIXErrorDomain", EEXIST, "No free backup name beside " + store.string());
    // Companions first: a stale write-ahead log left beside a fresh store would be
    // replayed into it. What moved is moved back when a later step fails.
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> moved;
    auto undo = [&moved] {
        for (auto it = moved.rbegin(); it != moved.rend(); ++it) (void)moveNoReplace(it->second, it->first);
    };
    for (const char* companion : kCompanions) {
        std::filesystem::path from = store.string() + companion, to = backup.string() + companion;
        if (!existsOrDangles(from)) continue;
        if (int error = moveNoReplace(from, to)) {
            undo();
            return moveError(from, to, error);
        }
        moved.emplace_back(from, to);
    }
    if (int error = moveNoReplace(store, backup)) {
        undo();
        return moveError(store, backup, error);
    }
    return backup;
}

std::shared_ptr<store::Coordinator> TLDatabaseManager::persistentStoreCoordinator() {
    if (coordinator_) return coordinator_;
    auto model = managedObjectModel();
    if (!model) return nullptr;
    auto coordinator = std::make_shared<store::Coordinator>(model);
    const std::filesystem::path path = configuration_.container / kStoreFileName;
    (void)foundation::Paths::createDirectory(configuration_.container, 0700);
    ::chmod(configuration_.container.c_str(), 0700);  // a container made wider earlier
    protectStoreFiles(path);
    auto added = coordinator->addSQLiteStore(path, storeOptions(configuration_.busyTimeoutMs));
    if (!added) {
        TLLogError(TLLogContextGeneral, "Store Configuration Failure: %@", added.error().description());
        if (store::isUnusableStoreError(added.error())) {
            auto moved = moveStoreAside(path);
            if (moved) {
                protectStoreFiles(moved.value().string());  // a backup may hold the history too
                protectStoreFiles(path);
                added = coordinator->addSQLiteStore(path, storeOptions(configuration_.busyTimeoutMs));
                if (!added) TLLogError(TLLogContextGeneral, "%@", added.error().description());
            } else {
                TLLogError(TLLogContextGeneral, "%@", moved.error().description());
            }
            // Never open over the bad file: without a usable file the history
            // lives in memory for this run.
            if (!added) {
                if (auto memory = coordinator->addInMemoryStore(); !memory)
                    TLLogError(TLLogContextGeneral, "%@", memory.error().description());
            }
        }
    }
    // The coordinator that holds the store is the one callers get.
    coordinator_ = coordinator;
    return coordinator_;
}

std::shared_ptr<store::Context> TLDatabaseManager::parentManagedObjectContext() {
    if (parentContext_) return parentContext_;
    auto coordinator = persistentStoreCoordinator();
    if (!coordinator) return nullptr;
    auto context = std::make_shared<store::Context>(store::ConcurrencyType::PrivateQueue);
    context->performBlockAndWait([&] {
        context->setPersistentStoreCoordinator(coordinator);
        context->setStalenessInterval(0);
        context->setMergePolicy(store::MergePolicy::MergeByPropertyStoreTrump);
    });
    parentContext_ = context;
    return parentContext_;
}

std::shared_ptr<store::Context> TLDatabaseManager::managedObjectContext() {
    if (mainContext_) return mainContext_;
    auto context = std::make_shared<store::Context>(store::ConcurrencyType::MainQueue);
    context->setParentContext(parentManagedObjectContext());
    context->setStalenessInterval(0);
    mainContext_ = context;
    auto& center = foundation::NotificationCenter::defaultCenter();
    willSaveObserver_ = foundation::ObserverRegistration(
        center, center.addObserver(store::Context::kWillSaveNotification, context.get(),
                                   [this](const foundation::Notification& n) { managedObjectContextWillSave(n); }));
    didSaveObserver_ = foundation::ObserverRegistration(
        center, center.addObserver(store::Context::kDidSaveNotification, context.get(),
                                   [this](const foundation::Notification& n) { managedObjectContextDidSave(n); }));
    return mainContext_;
}

namespace {
// On the parent's queue, writes what the parent holds.
void writeParent(const std::shared_ptr<store::Context>& parent, bool onlyWithChanges) {
    if (!parent) return;
    parent->performBlock([parent, onlyWithChanges] {
        if (onlyWithChanges && !parent->hasChanges()) return;
        // The changes stay in the parent, so its next successful save writes them.
        if (auto saved = parent->save(); !saved) TLLogError(TLLogContextGeneral, "%@", saved.error().description());
    });
}
}  // namespace

void TLDatabaseManager::saveParentContext(bool onlyWithChanges) { writeParent(parentContext_, onlyWithChanges); }

void TLDatabaseManager::beginUpdates() { batchUpdates_ = true; }

void TLDatabaseManager::endUpdates() {
    batchUpdates_ = false;
    saveParentContext(true);
}

void TLDatabaseManager::managedObjectContextWillSave(const foundation::Notification& notification) {
    if (!mainContext_ || notification.object != mainContext_.get()) return;
    auto defaults = standardUserDefaults_ ? standardUserDefaults_ : foundation::UserDefaults::standard();
    auto dropKeyOf = [&defaults](const std::shared_ptr<store::ManagedObject>& object) {
        if (object->entity().name() != Clipping::kEntityName) return;
        store::Value clippingID = object->valueForKey("clippingID");
        if (clippingID.kind() == store::Value::Kind::String) defaults->removeObjectForKey(clippingID.string());
    };
    for (const auto& object : mainContext_->deletedObjects()) dropKeyOf(object);
    for (const auto& object : mainContext_->updatedObjects()) dropKeyOf(object);
    for (const auto& object : mainContext_->insertedObjects()) dropKeyOf(object);
    defaults->synchronize();
}

void TLDatabaseManager::managedObjectContextDidSave(const foundation::Notification& notification) {
    if (!mainContext_ || notification.object != mainContext_.get()) return;
    if (batchUpdates_) {
        // The bracket's end writes it in one go, unless the bracket stays open
        // longer than a capture may wait in memory.
        scheduleBracketWrite();
        return;
    }
    saveParentContext(false);
}

void TLDatabaseManager::scheduleBracketWrite() {
    auto parent = parentContext_;
    if (!parent) return;
    std::lock_guard lock(bracketWrite_->mutex);
    if (bracketWrite_->timer) return;  // the write already due takes this save too
    bracketWrite_->timer = dispatch::Clock::schedule(
        dispatch::Clock::now() + kBracketWriteInterval, dispatch::Queue::global(),
        [parent, state = bracketWrite_] {
            {
                std::lock_guard lock(state->mutex);
                state->timer = 0;
            }
            writeParent(parent, true);  // nothing when the bracket closed first and wrote it
        });
}

void TLDatabaseManager::applicationWillTerminate() {
    auto parent = parentContext_;
    if (!parent) return;
    // The parent's queue is serial: pushes queued before this run first.
    parent->performBlockAndWait([&parent] {
        if (!parent->hasChanges()) return;
        if (auto saved = parent->save(); !saved) TLLogError(TLLogContextGeneral, "%@", saved.error().description());
    });
}

bool TLDatabaseManager::installTerminationHook() {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) return false;
    // A new receiver each time: the previous one's connection ends with it.
    quitReceiver_ = std::make_unique<QObject>();
    QObject::connect(application, &QCoreApplication::aboutToQuit, quitReceiver_.get(), [this] { applicationWillTerminate(); });
    return true;
}

std::map<std::string, std::shared_ptr<Clipping>> TLDatabaseManager::clippingsWithIDs(const std::vector<std::string>& clippingIDs) {
    std::map<std::string, std::shared_ptr<Clipping>> found;
    auto context = managedObjectContext();
    context->performBlockAndWait([&] {
        store::FetchRequest request(Clipping::kEntityName);
        request.predicate = store::Predicate::withFormat("clippingID IN %@", store::Value(clippingIDs)).value();
        auto objects = context->fetch(request);
        if (!objects) return;
        for (const auto& object : objects.value())
            if (auto clipping = std::dynamic_pointer_cast<Clipping>(object))
                if (auto id = clipping->clippingID()) found[*id] = clipping;
    });
    return found;
}

std::map<std::string, std::shared_ptr<List>> TLDatabaseManager::listsWithIDs(const std::vector<std::string>& listIDs) {
    std::map<std::string, std::shared_ptr<List>> found;
    store::FetchRequest request(List::kEntityName);
    request.predicate = store::Predicate::withFormat("listID IN %@", store::Value(listIDs)).value();
    auto objects = managedObjectContext()->fetch(request);
    if (!objects) return found;
    for (const auto& object : objects.value())
        if (auto list = std::dynamic_pointer_cast<List>(object))
            if (auto id = list->listID()) found[*id] = list;
    return found;
}

std::shared_ptr<store::ManagedObject> TLDatabaseManager::managedObjectWithID(const std::string& identifier) {
    if (auto lists = listsWithIDs({identifier}); !lists.empty()) return lists.begin()->second;
    if (auto clippings = clippingsWithIDs({identifier}); !clippings.empty()) return clippings.begin()->second;
    return nullptr;
}
