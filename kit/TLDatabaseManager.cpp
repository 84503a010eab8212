#include "kit/TLDatabaseManager.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/Meta.h"
#include "logging/TLLog.h"
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
    (void)foundation::Paths::createDirectory(configuration_.container);
    bool existed = existsOrDangles(path);
    auto added = coordinator->addSQLiteStore(path, storeOptions(configuration_.busyTimeoutMs));
    if (!added) {
        TLLogError(TLLogContextGeneral, "Store Configuration Failure: %@", added.error().description());
        if (store::isUnusableStoreError(added.error())) {
            auto moved = moveStoreAside(path);
            if (moved) {
                existed = false;
                added = coordinator->addSQLiteStore(path, storeOptions(configuration_.busyTimeoutMs));
                if (!added) TLLogError(TLLogContextGeneral, "%@", added.error().description());
            } else {
                TLLogError(TLLogContextGeneral, "%@", moved.error().description());
            }
            // Never open over the bad file: without a usable file the history
            // lives in memory for this run.
            if (!added) (void)coordinator->addInMemoryStore();
        }
    }
    if (added && !existed) ::chmod(path.c_str(), 0600);  // the history is the user's alone
    // The coordinator that holds the store is the one callers get.
    coordinator_ = coordinator;
    return coordinator_;
}
