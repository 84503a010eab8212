#pragma once
// The persistent store coordinator: a model and at most one open store, shared
// by every context that reads or writes it. Any thread; calls are serialised by
// an internal lock, so a save on one queue and a fetch on another never overlap
// on one connection. A read that finds that connection busy (a save writing a
// large clipping, or waiting for another process's lock) goes to a second,
// read-only connection instead of waiting: it sees the store as last committed,
// as it would have just before the save began.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/ChangeSet.h"
#include "platform/store/Model.h"
#include "platform/store/SQLiteStore.h"

namespace store {

class Context;

class Coordinator {
public:
    explicit Coordinator(std::shared_ptr<const Model> model);
    ~Coordinator();

    const std::shared_ptr<const Model>& model() const { return model_; }

    // Opens the SQLite store at path (see SQLiteStore for the errors). A
    // coordinator holds one store: adding another replaces it.
    foundation::Result<void> addSQLiteStore(const std::filesystem::path& path, const StoreOptions& options = {});
    // A store that lives in memory only, for when no file can be used.
    foundation::Result<void> addInMemoryStore();
    // Closes the store (its file can then be moved).
    void removeStore();
    bool hasStore() const;
    // Empty when there is no store; ":memory:" for the in-memory one.
    std::filesystem::path storePath() const;

    // A primary key for a new object: never handed out before by this
    // coordinator and above every key in the store.
    int64_t newPrimaryKey(uint32_t entity);

    foundation::Result<RowSet> fetchRows(const RowQuery& query);
    // The sink runs under one of the coordinator's locks: it must not call back into it.
    foundation::Result<void> forEachRow(const RowQuery& query, const SQLiteStore::RowSink& sink);
    foundation::Result<int64_t> countRows(const Entity& entity, const std::string& where, const std::vector<Value>& binds,
                                          const std::vector<int>& distinct = {});
    foundation::Result<std::optional<std::vector<Value>>> loadRow(const Entity& entity, int64_t pk, uint64_t mask);
    // Writes the changes in one transaction; nothing is written on error.
    foundation::Result<void> commit(const ChangeSet& changes);
    // Sets the values on every row of the entity that the condition (over the
    // alias "t") selects, in one transaction, and answers their primary keys.
    foundation::Result<std::vector<int64_t>> updateRows(const Entity& entity,
                                                       const std::vector<std::pair<int, Value>>& values,
                                                       const std::string& where, const std::vector<Value>& binds);

    // The contexts that read through this coordinator (a root given it, or a
    // child given a parent), for a write made below all of them; contexts that
    // went away are left out.
    void registerContext(const std::shared_ptr<Context>& context);
    std::vector<std::shared_ptr<Context>> contexts() const;

private:
    foundation::Error noStore() const;
    // Runs read on the store's connection, or on the reader when that
    // connection is in use.
    template <class Read>
    auto readStore(Read&& read) -> decltype(read(std::declval<SQLiteStore&>()));
    // Under readerMutex_: the reader, opened on first use; null for an
    // in-memory store, none at all, or a reader that could not be opened.
    SQLiteStore* reader();
    // Under mutex_: a new store (or none) closes the reader of the old one.
    void resetReader(const std::filesystem::path& path, const StoreOptions& options);

    std::shared_ptr<const Model> model_;
    mutable std::mutex mutex_;
    std::unique_ptr<SQLiteStore> store_;
    // Taken after mutex_ when both are held (a store added or removed).
    std::mutex readerMutex_;
    std::filesystem::path readerPath_;  // under readerMutex_; empty: no reader
    StoreOptions readerOptions_;        // under readerMutex_
    std::unique_ptr<SQLiteStore> reader_;  // under readerMutex_; closes before store_
    // Keys have a lock of their own: a new object's key never waits for a
    // long write holding the store (a large clipping's save).
    std::mutex keysMutex_;
    std::vector<int64_t> nextKeys_;  // under keysMutex_
    // Contexts are registered as they are made, also on the main thread
    // during a long write: they have a lock of their own too.
    mutable std::mutex contextsMutex_;
    std::vector<std::weak_ptr<Context>> contexts_;  // under contextsMutex_
};

}  // namespace store
