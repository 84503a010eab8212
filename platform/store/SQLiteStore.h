#pragma once
// One store file: opens it (creating, checking and migrating it), reads rows
// for fetches and faults, and writes each save as one transaction. Not locked:
// the Coordinator serialises every call.
//
// Opening answers typed errors (StoreError.h): a file that is not a regular
// file or not an SQLite database, a foreign database, a damaged one or one of a
// model we cannot migrate from is unusable; busy, read-only and I/O errors are
// passing and leave the file untouched.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/ChangeSet.h"
#include "platform/store/Database.h"
#include "platform/store/Model.h"

namespace store {

struct StoreOptions {
    // Migrate a store of an older model (added or removed entities and attributes).
    bool migrateAutomatically = true;
    bool inferMappingModelAutomatically = true;
    // How long a statement waits for another connection's lock before it fails busy.
    int busyTimeoutMs = 5000;
};

// What a fetch reads: the primary key and some columns of one entity's rows.
struct RowQuery {
    const Entity* entity = nullptr;
    std::vector<int> properties;  // column properties to read, in this order
    std::string where;            // over the alias "t"; empty for every row
    std::vector<Value> binds;
    std::string orderBy;  // empty: primary-key order
    int64_t limit = 0, offset = 0;
    bool distinct = false;  // without the primary key
};

struct RowSet {
    size_t width = 0;            // values per row
    std::vector<int64_t> pks;    // one per row (empty for distinct queries)
    std::vector<Value> values;   // row-major
    size_t count() const { return width ? values.size() / width : pks.size(); }
};

class SQLiteStore {
public:
    static constexpr const char* kInMemoryPath = ":memory:";

    static foundation::Result<std::unique_ptr<SQLiteStore>> open(const std::filesystem::path& path,
                                                                std::shared_ptr<const Model> model,
                                                                const StoreOptions& options);
    // A second connection to a store that open() made ready, for reads only:
    // with the write-ahead log it reads the last committed state while the
    // first connection writes. It never changes the file.
    static foundation::Result<std::unique_ptr<SQLiteStore>> openReader(const std::filesystem::path& path,
                                                                      std::shared_ptr<const Model> model,
                                                                      const StoreOptions& options);
    ~SQLiteStore();

    const std::filesystem::path& path() const { return path_; }
    int64_t maxPrimaryKey(uint32_t entity) const { return maxKeys_[entity]; }

    foundation::Result<RowSet> fetchRows(const RowQuery& query);
    // Hands each row to sink as it is read (the values may be moved from), so a
    // large fetch keeps no second copy of its rows.
    using RowSink = std::function<void(int64_t pk, std::vector<Value>& values)>;
    foundation::Result<void> forEachRow(const RowQuery& query, const RowSink& sink);
    // Rows over "t" that the condition selects; with distinct properties, their
    // distinct combinations of those columns instead.
    foundation::Result<int64_t> countRows(const Entity& entity, const std::string& where, const std::vector<Value>& binds,
                                          const std::vector<int>& distinct = {});
    // The columns of one row for the properties in mask (ascending property
    // order); nothing when the row is gone.
    foundation::Result<std::optional<std::vector<Value>>> loadRow(const Entity& entity, int64_t pk, uint64_t mask);
    foundation::Result<void> commit(const ChangeSet& changes);
    // Sets the values (property index, value) on the rows the condition over
    // "t" selects, in one transaction; answers their primary keys.
    foundation::Result<std::vector<int64_t>> updateRows(const Entity& entity,
                                                       const std::vector<std::pair<int, Value>>& values,
                                                       const std::string& where, const std::vector<Value>& binds);

private:
    // What an open file holds: nothing yet, the current schema, or a schema to
    // migrate from (stored) or to fold again. Only reads.
    struct SchemaState {
        bool empty = false;
        bool refold = false;
        std::shared_ptr<Model> stored;
    };

    SQLiteStore() = default;
    foundation::Result<SchemaState> inspect(Database& db, const StoreOptions& options) const;
    // The page cache and file mapping both connections read through.
    foundation::Result<void> setUpReading();
    foundation::Result<void> prepareSchema(const StoreOptions& options);
    foundation::Result<void> createSchema();
    foundation::Result<void> migrate(const Model& stored, bool refold);
    foundation::Result<void> rebuildIndexes(const Entity& entity);
    foundation::Result<void> rebuildSearchTable(const Entity& entity);
    foundation::Result<void> writeMetadata();
    foundation::Result<void> writeRow(const ChangeSet::Row& row, bool insert);
    // Deletes the rows of `pks` (sorted and made unique in place) with their search entries.
    foundation::Result<void> deleteRows(const Entity& entity, std::vector<int64_t>& pks);
    foundation::Result<void> inTransaction(const std::function<foundation::Result<void>()>& work);
    Value readColumn(const Statement& s, int column, const Property& p) const;

    std::filesystem::path path_;
    std::shared_ptr<const Model> model_;
    std::unique_ptr<Database> db_;
    std::vector<int64_t> maxKeys_;
};

}  // namespace store
