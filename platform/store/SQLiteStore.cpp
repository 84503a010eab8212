#include "platform/store/SQLiteStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "platform/store/Migration.h"
#include "platform/store/SQLFunctions.h"
#include "platform/store/Schema.h"
#include "platform/store/StoreError.h"

namespace store {

using foundation::Result;

namespace {

Result<int64_t> queryInteger(Database& db, const std::string& sql, const std::vector<Value>& binds = {}) {
    auto stmt = db.prepareOnce(sql);
    if (!stmt) return stmt.error();
    for (size_t i = 0; i < binds.size(); ++i) stmt.value()->bind(static_cast<int>(i + 1), binds[i]);
    auto row = stmt.value()->step();
    if (!row) return row.error();
    return row.value() ? stmt.value()->int64(0) : 0;
}

}  // namespace

SQLiteStore::~SQLiteStore() = default;

Result<std::unique_ptr<SQLiteStore>> SQLiteStore::open(const std::filesystem::path& path,
                                                       std::shared_ptr<const Model> model,
                                                       const StoreOptions& options) {
    auto store = std::unique_ptr<SQLiteStore>(new SQLiteStore);
    store->path_ = path;
    store->model_ = std::move(model);
    if (path != kInMemoryPath) {
        std::error_code ec;
        auto status = std::filesystem::status(path, ec);
        if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
            return makeError(ErrorCode::NotADatabase, path.string() + " is not a regular file");
        // Other bytes are told apart before SQLite opens them: opening would
        // already reset a write-ahead log lying beside them, which must move
        // aside with the file as it is.
        if (!ec && std::filesystem::exists(status)) {
            static const char kHeader[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
            std::ifstream in(path, std::ios::binary);
            char header[16] = {};
            in.read(header, sizeof header);
            if (in.gcount() > 0 && (in.gcount() < 16 || std::memcmp(header, kHeader, 16) != 0))
                return makeError(ErrorCode::NotADatabase, path.string() + " is not an SQLite database");
        }
    }
    if (path != kInMemoryPath) {
        // Whether the file is ours and usable is read without writing: the
        // switch to a write-ahead log below rewrites the file's header, and a
        // file that is not ours must move aside as it was.
        std::error_code ec;
        if (std::filesystem::file_size(path, ec) > 0 && !ec) {
            auto reader = Database::open(path.string(), options.busyTimeoutMs, true);
            if (!reader) return reader.error();
            if (auto state = store->inspect(*reader.value(), options); !state) return state.error();
        }
    }
    auto db = Database::open(path.string(), options.busyTimeoutMs);
    if (!db) return db.error();
    store->db_ = std::move(db.value());
    if (!registerSQLFunctions(store->db_->handle()))
        return makeError(ErrorCode::Internal, "Cannot register the store's SQL functions");
    if (auto probe = queryInteger(*store->db_, "SELECT count(*) FROM sqlite_master"); !probe) return probe.error();
    if (auto mode = queryInteger(*store->db_, "PRAGMA journal_mode=WAL"); !mode) return mode.error();
    if (auto sync = store->db_->exec("PRAGMA synchronous=NORMAL"); !sync) return sync.error();
    if (auto reading = store->setUpReading(); !reading) return reading.error();
    if (auto schema = store->prepareSchema(options); !schema) return schema.error();
    const Model& m = *store->model_;
    store->maxKeys_.assign(m.entities().size(), 0);
    for (const Entity& e : m.entities()) {
        auto max = queryInteger(*store->db_, "SELECT ifnull(max(pk), 0) FROM " + Schema::table(e));
        if (!max) return max.error();
        store->maxKeys_[e.index()] = max.value();
    }
    return store;
}

Result<std::unique_ptr<SQLiteStore>> SQLiteStore::openReader(const std::filesystem::path& path,
                                                             std::shared_ptr<const Model> model,
                                                             const StoreOptions& options) {
    if (path == kInMemoryPath) return makeError(ErrorCode::Internal, "An in-memory store has one connection");
    auto store = std::unique_ptr<SQLiteStore>(new SQLiteStore);
    store->path_ = path;
    store->model_ = std::move(model);
    auto db = Database::open(path.string(), options.busyTimeoutMs, true);
    if (!db) return db.error();
    store->db_ = std::move(db.value());
    if (!registerSQLFunctions(store->db_->handle()))
        return makeError(ErrorCode::Internal, "Cannot register the store's SQL functions");
    if (auto reading = store->setUpReading(); !reading) return reading.error();
    return store;
}

Result<void> SQLiteStore::setUpReading() {
    // Enough page cache to keep the indexes a full fetch walks (a covering index
    // of 100,000 rows is a few MB) between fetches instead of reading them again,
    // and the file mapped into memory: a search too short for the full-text index
    // reads every folded text, which through read(2) costs twice as long. (A
    // mapped file that another program truncates faults the process; the store
    // file is the application's own.)
    if (auto cache = db_->exec("PRAGMA cache_size=-16384"); !cache) return cache.error();
    return db_->exec("PRAGMA mmap_size=2147418112");
}

Result<void> SQLiteStore::inTransaction(const std::function<Result<void>()>& work) {
    if (auto begin = db_->exec("BEGIN IMMEDIATE"); !begin) return begin.error();
    auto result = work();
    if (result) result = db_->exec("COMMIT");
    if (!result) {
        (void)db_->exec("ROLLBACK");
        return result.error();
    }
    return {};
}

Result<void> SQLiteStore::prepareSchema(const StoreOptions& options) {
    auto state = inspect(*db_, options);
    if (!state) return state.error();
    if (state.value().empty) return inTransaction([this] { return createSchema(); });
    if (!state.value().stored) return {};
    const Model& storedModel = *state.value().stored;
    bool refold = state.value().refold;
    return inTransaction([this, &storedModel, refold] { return migrate(storedModel, refold); });
}

Result<SQLiteStore::SchemaState> SQLiteStore::inspect(Database& db, const StoreOptions& options) const {
    SchemaState state;
    // SQLite reads the file lazily: the first query tells a database from other bytes.
    auto tables = queryInteger(db, "SELECT count(*) FROM sqlite_master");
    if (!tables) return tables.error();
    if (tables.value() == 0) {
        state.empty = true;
        return state;
    }
    auto hasMetadata = queryInteger(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?",
                                    {Value(Schema::kMetadataTable)});
    if (!hasMetadata) return hasMetadata.error();
    if (hasMetadata.value() == 0)
        return makeError(ErrorCode::IncompatibleModel, path_.string() + " is a database of another program");
    auto stmt = db.prepareOnce("SELECT key, value FROM " + quoted(Schema::kMetadataTable));
    if (!stmt) return stmt.error();
    std::string storedJSON;
    int64_t foldVersion = 0;
    while (true) {
        auto row = stmt.value()->step();
        if (!row) return row.error();
        if (!row.value()) break;
        Value key = stmt.value()->rawValue(0), value = stmt.value()->rawValue(1);
        if (key.string() == "model") storedJSON = value.string();
        if (key.string() == "foldVersion") foldVersion = value.integerValue();
    }
    bool sameModel = storedJSON == model_->canonicalJSON();
    state.refold = foldVersion != Schema::kFoldVersion;
    if (sameModel && !state.refold) return state;
    auto stored = Model::fromJSON(storedJSON);
    if (!stored) return makeError(ErrorCode::IncompatibleModel, "The store's model cannot be read");
    if (!sameModel && !(options.migrateAutomatically && options.inferMappingModelAutomatically))
        return makeError(ErrorCode::IncompatibleModel, "The store was written by another version of the model");
    if (auto plan = Migration::plan(*stored.value(), *model_); !plan) return plan.error();
    state.stored = stored.value();
    return state;
}

Result<void> SQLiteStore::createSchema() {
    for (const Entity& e : model_->entities()) {
        std::vector<std::string> sql = Schema::createTable(e);
        for (auto& s : Schema::createIndexes(e)) sql.push_back(s);
        if (e.hasSearchIndex()) sql.push_back(Schema::createSearchTable(e));
        for (const auto& s : sql)
            if (auto r = db_->exec(s); !r) return r.error();
    }
    if (auto r = db_->exec("CREATE TABLE " + quoted(Schema::kMetadataTable) + " (key TEXT PRIMARY KEY, value)"); !r)
        return r.error();
    return writeMetadata();
}

Result<void> SQLiteStore::writeMetadata() {
    auto stmt = db_->prepareOnce("INSERT OR REPLACE INTO " + quoted(Schema::kMetadataTable) +
                                 " (key, value) VALUES ('model', ?1), ('modelVersion', ?2), ('foldVersion', ?3)");
    if (!stmt) return stmt.error();
    stmt.value()->bind(1, Value(model_->canonicalJSON()));
    stmt.value()->bind(2, Value(model_->version()));
    stmt.value()->bind(3, Value(Schema::kFoldVersion));
    return stmt.value()->run();
}

Result<void> SQLiteStore::migrate(const Model& stored, bool refold) {
    auto plan = Migration::plan(stored, *model_);
    if (!plan) return plan.error();
    if (refold)
        for (const Entity& e : model_->entities())
            if (e.hasSearchIndex()) plan.value().researchedEntities.insert(e.name());
    // Indexes go first: SQLite refuses to drop an indexed column.
    for (const std::string& name : plan.value().reindexedEntities) {
        auto stmt = db_->prepareOnce("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ? AND "
                                     "instr(name, '$') > 0");
        if (!stmt) return stmt.error();
        stmt.value()->bind(1, Value(name));
        std::vector<std::string> indexes;
        while (true) {
            auto row = stmt.value()->step();
            if (!row) return row.error();
            if (!row.value()) break;
            indexes.push_back(stmt.value()->rawValue(0).string());
        }
        for (const auto& index : indexes)
            if (auto r = db_->exec("DROP INDEX " + quoted(index)); !r) return r.error();
    }
    for (const auto& sql : plan.value().statements)
        if (auto r = db_->exec(sql); !r) return r.error();
    for (const std::string& name : plan.value().reindexedEntities)
        if (auto r = rebuildIndexes(*model_->entity(name)); !r) return r.error();
    for (const std::string& name : plan.value().researchedEntities)
        if (auto r = rebuildSearchTable(*model_->entity(name)); !r) return r.error();
    return writeMetadata();
}

Result<void> SQLiteStore::rebuildIndexes(const Entity& entity) {
    for (const auto& sql : Schema::createIndexes(entity))
        if (auto r = db_->exec(sql); !r) return r.error();
    return {};
}

Result<void> SQLiteStore::rebuildSearchTable(const Entity& entity) {
    if (auto r = db_->exec("DROP TABLE IF EXISTS " + Schema::searchTable(entity)); !r) return r.error();
    if (auto r = db_->exec(Schema::createSearchTable(entity)); !r) return r.error();
    std::string columns, placeholders;
    std::vector<const Property*> searchable;
    for (const Property& p : entity.properties())
        if (p.searchable) {
            searchable.push_back(&p);
            columns += ", " + Schema::column(p);
            placeholders += ", ?";
        }
    auto select = db_->prepareOnce("SELECT pk" + columns + " FROM " + Schema::table(entity));
    auto insert = db_->prepareOnce("INSERT INTO " + Schema::searchTable(entity) + " (rowid" + columns + ") VALUES (?" +
                                   placeholders + ")");
    if (!select) return select.error();
    if (!insert) return insert.error();
    while (true) {
        auto row = select.value()->step();
        if (!row) return row.error();
        if (!row.value()) break;
        insert.value()->reset();
        insert.value()->bind(1, Value(select.value()->int64(0)));
        for (size_t i = 0; i < searchable.size(); ++i)
            insert.value()->bind(static_cast<int>(i + 2),
                                 Schema::searchText(select.value()->value(static_cast<int>(i + 1), AttributeType::String)));
        if (auto r = insert.value()->run(); !r) return r.error();
    }
    return {};
}

Value SQLiteStore::readColumn(const Statement& s, int column, const Property& p) const {
    if (p.isAttribute()) return s.value(column, p.type);
    if (s.isNull(column)) return {};
    return Value(ObjectID{s.int64(column), p.destinationEntity});
}

Result<void> SQLiteStore::forEachRow(const RowQuery& q, const RowSink& sink) {
    const Entity& e = *q.entity;
    std::string sql = q.distinct ? "SELECT DISTINCT " : "SELECT t.pk";
    bool first = q.distinct;
    for (int p : q.properties) {
        sql += first ? "" : ", ";
        sql += "t." + Schema::column(e.property(p));
        first = false;
    }
    sql += " FROM " + Schema::table(e) + " AS t";
    if (!q.where.empty()) sql += " WHERE " + q.where;
    if (!q.distinct) sql += " ORDER BY " + (q.orderBy.empty() ? std::string("t.pk") : q.orderBy);
    if (q.limit > 0 || q.offset > 0) sql += " LIMIT ? OFFSET ?";
    auto stmt = db_->prepare(sql);
    if (!stmt) return stmt.error();
    Statement& s = *stmt.value();
    int n = 0;
    for (const Value& v : q.binds) s.bind(++n, v);
    if (q.limit > 0 || q.offset > 0) {
        s.bind(++n, Value(q.limit > 0 ? q.limit : int64_t(-1)));
        s.bind(++n, Value(q.offset));
    }
    const int base = q.distinct ? 0 : 1;
    std::vector<Value> row(q.properties.size());
    while (true) {
        auto step = s.step();
        if (!step) return step.error();
        if (!step.value()) break;
        for (size_t i = 0; i < q.properties.size(); ++i)
            row[i] = readColumn(s, base + static_cast<int>(i), e.property(q.properties[i]));
        sink(q.distinct ? 0 : s.int64(0), row);
    }
    s.reset();
    return {};
}

Result<RowSet> SQLiteStore::fetchRows(const RowQuery& q) {
    RowSet rows;
    rows.width = q.properties.size();
    auto read = forEachRow(q, [&rows, &q](int64_t pk, std::vector<Value>& values) {
        if (!q.distinct) rows.pks.push_back(pk);
        for (auto& v : values) rows.values.push_back(std::move(v));
    });
    if (!read) return read.error();
    return rows;
}

Result<int64_t> SQLiteStore::countRows(const Entity& entity, const std::string& where, const std::vector<Value>& binds,
                                       const std::vector<int>& distinct) {
    std::string columns;
    for (int p : distinct) columns += (columns.empty() ? "t." : ", t.") + Schema::column(entity.property(p));
    std::string sql = columns.empty() ? "SELECT count(*) FROM " + Schema::table(entity) + " AS t"
                                      : "SELECT count(*) FROM (SELECT DISTINCT " + columns + " FROM " +
                                            Schema::table(entity) + " AS t";
    if (!where.empty()) sql += " WHERE " + where;
    if (!columns.empty()) sql += ")";
    auto stmt = db_->prepare(sql);
    if (!stmt) return stmt.error();
    for (size_t i = 0; i < binds.size(); ++i) stmt.value()->bind(static_cast<int>(i + 1), binds[i]);
    auto row = stmt.value()->step();
    if (!row) return row.error();
    int64_t count = stmt.value()->int64(0);
    stmt.value()->reset();
    return count;
}

Result<std::optional<std::vector<Value>>> SQLiteStore::loadRow(const Entity& e, int64_t pk, uint64_t mask) {
    std::string sql = "SELECT 1";
    std::vector<int> properties;
    for (size_t i = 0; i < e.properties().size(); ++i)
        if (mask & (uint64_t(1) << i) && e.properties()[i].hasColumn()) {
            properties.push_back(static_cast<int>(i));
            sql += ", " + Schema::column(e.properties()[i]);
        }
    sql += " FROM " + Schema::table(e) + " WHERE pk = ?";
    auto stmt = db_->prepare(sql);
    if (!stmt) return stmt.error();
    Statement& s = *stmt.value();
    s.bind(1, Value(pk));
    auto row = s.step();
    if (!row) return row.error();
    if (!row.value()) return std::optional<std::vector<Value>>();
    std::vector<Value> values;
    values.reserve(properties.size());
    for (size_t i = 0; i < properties.size(); ++i)
        values.push_back(readColumn(s, static_cast<int>(i + 1), e.property(properties[i])));
    s.reset();
    return std::optional<std::vector<Value>>(std::move(values));
}

Result<void> SQLiteStore::writeRow(const ChangeSet::Row& row, bool insert) {
    const Entity& e = model_->entity(row.entity);
    std::string columns, placeholders, assignments;
    std::vector<Value> binds;
    bool searchChanged = false;
    for (const auto& [index, value] : row.values) {
        const Property& p = e.property(index);
        if (!p.hasColumn()) continue;
        auto add = [&](const std::string& column, Value v) {
            columns += ", " + column;
            placeholders += ", ?";
            assignments += (assignments.empty() ? "" : ", ") + column + " = ?";
            binds.push_back(std::move(v));
        };
        add(Schema::column(p), value);
        if (p.large) add(Schema::keyColumn(p), Schema::largeValueKey(value));
        searchChanged = searchChanged || p.searchable;
    }
    std::shared_ptr<Statement> stmt;
    if (insert) {
        auto s = db_->prepare("INSERT INTO " + Schema::table(e) + " (pk" + columns + ") VALUES (?" + placeholders + ")");
        if (!s) return s.error();
        stmt = s.value();
        stmt->bind(1, Value(row.pk));
        for (size_t i = 0; i < binds.size(); ++i) stmt->bindKept(static_cast<int>(i + 2), binds[i]);
    } else {
        if (binds.empty()) return {};
        auto s = db_->prepare("UPDATE " + Schema::table(e) + " SET " + assignments + " WHERE pk = ?");
        if (!s) return s.error();
        stmt = s.value();
        for (size_t i = 0; i < binds.size(); ++i) stmt->bindKept(static_cast<int>(i + 1), binds[i]);
        stmt->bind(static_cast<int>(binds.size() + 1), Value(row.pk));
    }
    // The values are bound in place (a large text is not copied once more):
    // the statement lets go of them before they go.
    auto ran = stmt->run();
    stmt->reset();
    if (!ran) return ran.error();
    if (!e.hasSearchIndex() || (!insert && !searchChanged)) return {};
    // The search table holds folded copies of the row's searchable strings.
    std::string searchColumns, searchPlaceholders, searchAssignments;
    std::vector<Value> searchBinds;
    for (const auto& [index, value] : row.values) {
        const Property& p = e.property(index);
        if (!p.searchable) continue;
        searchColumns += ", " + Schema::column(p);
        searchPlaceholders += ", ?";
        searchAssignments += (searchAssignments.empty() ? "" : ", ") + Schema::column(p) + " = ?";
        searchBinds.push_back(Schema::searchText(value));
    }
    std::string sql = insert ? "INSERT INTO " + Schema::searchTable(e) + " (rowid" + searchColumns + ") VALUES (?" +
                                   searchPlaceholders + ")"
                             : "UPDATE " + Schema::searchTable(e) + " SET " + searchAssignments + " WHERE rowid = ?";
    auto s = db_->prepare(sql);
    if (!s) return s.error();
    int n = 0;
    if (insert) s.value()->bind(++n, Value(row.pk));
    for (const Value& v : searchBinds) s.value()->bind(++n, v);
    if (!insert) s.value()->bind(++n, Value(row.pk));
    return s.value()->run();
}

Result<void> SQLiteStore::deleteRows(const Entity& entity, std::vector<int64_t>& pks) {
    if (pks.empty()) return {};
    // In key order the deletions walk each b-tree forwards; a key named twice is
    // deleted once.
    std::sort(pks.begin(), pks.end());
    pks.erase(std::unique(pks.begin(), pks.end()), pks.end());
    // A few fixed chunk sizes, so the cache holds a few statements per table
    // whatever the count.
    static constexpr size_t kChunks[] = {256, 16, 1};
    size_t done = 0;
    for (size_t chunk : kChunks) {
        if (pks.size() - done < chunk) continue;
        std::string list = chunk == 1 ? " = ?" : " IN (?";
        if (chunk > 1) {
            for (size_t i = 1; i < chunk; ++i) list += ", ?";
            list += ")";
        }
        auto rows = db_->prepare("DELETE FROM " + Schema::table(entity) + " WHERE pk" + list);
        if (!rows) return rows.error();
        std::shared_ptr<Statement> search;
        if (entity.hasSearchIndex()) {
            auto s = db_->prepare("DELETE FROM " + Schema::searchTable(entity) + " WHERE rowid" + list);
            if (!s) return s.error();
            search = s.value();
        }
        for (; pks.size() - done >= chunk; done += chunk)
            for (Statement* stmt : {rows.value().get(), search.get()}) {
                if (!stmt) continue;
                stmt->reset();
                for (size_t i = 0; i < chunk; ++i) stmt->bind(static_cast<int>(i + 1), Value(pks[done + i]));
                if (auto r = stmt->run(); !r) return r.error();
            }
    }
    return {};
}

Result<void> SQLiteStore::commit(const ChangeSet& changes) {
    if (changes.empty()) return {};
    return inTransaction([&]() -> Result<void> {
        for (const auto& row : changes.inserts)
            if (auto r = writeRow(row, true); !r) return r.error();
        for (const auto& row : changes.updates)
            if (auto r = writeRow(row, false); !r) return r.error();
        // Deletions go by entity in chunks of keys, each chunk one statement for
        // the table and one for its search entries, rather than two statements
        // per row: trimming a long history deletes a thousand rows in one save.
        std::vector<std::vector<int64_t>> keys(model_->entities().size());
        for (const auto& row : changes.deletes) keys[row.entity].push_back(row.pk);
        for (size_t entity = 0; entity < keys.size(); ++entity)
            if (auto r = deleteRows(model_->entity(static_cast<uint32_t>(entity)), keys[entity]); !r) return r.error();
        return {};
    });
}

Result<std::vector<int64_t>> SQLiteStore::updateRows(const Entity& entity, const std::vector<std::pair<int, Value>>& values,
                                                     const std::string& where, const std::vector<Value>& binds) {
    std::vector<int64_t> updated;
    if (values.empty()) return updated;
    std::string assignments;
    std::vector<Value> assigned;
    for (const auto& [index, value] : values) {
        const Property& p = entity.property(index);
        assignments += (assignments.empty() ? "" : ", ") + Schema::column(p) + " = ?";
        assigned.push_back(value);
        if (p.large) {
            assignments += ", " + Schema::keyColumn(p) + " = ?";
            assigned.push_back(Schema::largeValueKey(value));
        }
    }
    std::string sql = "UPDATE " + Schema::table(entity) + " AS t SET " + assignments;
    if (!where.empty()) sql += " WHERE " + where;
    sql += " RETURNING pk";
    auto result = inTransaction([&]() -> Result<void> {
        auto stmt = db_->prepareOnce(sql);
        if (!stmt) return stmt.error();
        Statement& s = *stmt.value();
        int n = 0;
        for (const Value& v : assigned) s.bind(++n, v);
        for (const Value& v : binds) s.bind(++n, v);
        for (;;) {
            auto row = s.step();
            if (!row) return row.error();
            if (!row.value()) break;
            updated.push_back(s.int64(0));
        }
        return {};
    });
    if (!result) return result.error();
    std::sort(updated.begin(), updated.end());
    return updated;
}

}  // namespace store
