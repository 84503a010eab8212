#include "SQLiteSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "ZoneServer.h"
#include "platform/foundation/Paths.h"

namespace cloud {

namespace {

// Tables, indexes and the store's format. The rules live in ZoneServer; this
// is only the embedded dialect of the same tables.
constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS zones(name TEXT PRIMARY KEY, incarnation TEXT NOT NULL, next_change INTEGER NOT NULL,
  last_ms INTEGER NOT NULL, horizon INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS records(zone TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL, tag TEXT NOT NULL,
  created_ms INTEGER NOT NULL, modified_ms INTEGER NOT NULL, change INTEGER NOT NULL, writer TEXT NOT NULL,
  fields BLOB NOT NULL, bytes INTEGER NOT NULL, has_refs INTEGER NOT NULL, PRIMARY KEY(zone, name));
CREATE INDEX IF NOT EXISTS records_change ON records(zone, change);
CREATE TABLE IF NOT EXISTS tombstones(zone TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL,
  change INTEGER NOT NULL, writer TEXT NOT NULL, deleted_ms INTEGER NOT NULL, PRIMARY KEY(zone, name));
CREATE INDEX IF NOT EXISTS tombstones_change ON tombstones(zone, change);
CREATE TABLE IF NOT EXISTS refs(zone TEXT NOT NULL, name TEXT NOT NULL, target TEXT NOT NULL,
  PRIMARY KEY(zone, name, target));
CREATE INDEX IF NOT EXISTS refs_target ON refs(zone, target);
CREATE TABLE IF NOT EXISTS assets(zone TEXT NOT NULL, name TEXT NOT NULL, key TEXT NOT NULL, idx INTEGER NOT NULL,
  hash TEXT NOT NULL, PRIMARY KEY(zone, name, key, idx));
CREATE INDEX IF NOT EXISTS assets_hash ON assets(hash);
CREATE TABLE IF NOT EXISTS chunks(hash TEXT PRIMARY KEY, size INTEGER NOT NULL, data BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS subscriptions(device TEXT NOT NULL, id TEXT NOT NULL, zone TEXT NOT NULL,
  content_available INTEGER NOT NULL, alert_body TEXT NOT NULL, PRIMARY KEY(device, id));
CREATE TABLE IF NOT EXISTS seen(device TEXT NOT NULL, zone TEXT NOT NULL, incarnation TEXT NOT NULL,
  change INTEGER NOT NULL, PRIMARY KEY(device, zone));
CREATE TABLE IF NOT EXISTS kv(key TEXT PRIMARY KEY, value BLOB, bytes INTEGER NOT NULL, change INTEGER NOT NULL,
  writer TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS kv_change ON kv(change);
CREATE TABLE IF NOT EXISTS faults(id INTEGER PRIMARY KEY, device TEXT NOT NULL, operation TEXT NOT NULL,
  record TEXT NOT NULL, occurrence INTEGER NOT NULL, code INTEGER NOT NULL, retry_after REAL NOT NULL,
  hits INTEGER NOT NULL);
)";

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

}  // namespace

int64_t SQLiteSession::realTimeMilliseconds() {
    timespec now{};
    // Not clock_gettime(): a preloaded clock shifter replaces that function,
    // and the server clock must stay the machine's.
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

Reply<std::unique_ptr<SQLiteSession>> SQLiteSession::open(const std::filesystem::path& folder,
                                                          std::function<int64_t()> clock) {
    const std::string unreachable = "The cloud store in " + folder.string() + " cannot be opened";
    std::error_code error;
    if (!std::filesystem::exists(folder, error)) {
        if (!foundation::Paths::createDirectory(folder, 0700))
            return Error(Error::kNetworkUnavailable, unreachable + ": the folder cannot be made");
    }
    if (::access(folder.c_str(), R_OK | W_OK | X_OK) != 0)
        return Error(Error::kNetworkUnavailable, unreachable + ": the folder cannot be read");
    const std::filesystem::path path = folder / kFileName;
    // Made here, not by SQLite, so the store and its WAL files are private.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Error(Error::kNetworkUnavailable, unreachable + ": " + path.string() + " cannot be read");
    ::close(fd);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return Error(Error::kNetworkUnavailable, unreachable + ": " + path.string() + " cannot be read");
    }
    std::unique_ptr<SQLiteSession> session(new SQLiteSession(folder, db, std::move(clock)));
    sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
    // Reading the format before anything is written: a file that is not a
    // store, or a newer store, is left exactly as it is.
    auto format = session->query("SELECT value FROM meta WHERE key = 'format'", {});
    if (!format) {
        const int code = sqlite3_errcode(db);
        if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
            return Error(Error::kNetworkUnavailable, unreachable + ": " + path.string() + " is not a cloud store");
        if (code != SQLITE_ERROR) return format.error();  // no meta table yet is SQLITE_ERROR
    } else if (!format.value().empty() && std::stoll("0" + sqlText(format.value()[0][0])) > ZoneServer::kFormatVersion) {
        return Error(Error::kIncompatibleVersion,
                     "The cloud store " + path.string() + " has a newer format than this program reads");
    }
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL"})
        if (auto reply = session->exec(pragma); !reply) return reply.error();
    if (auto reply = session->exec("BEGIN IMMEDIATE"); !reply) return reply.error();
    if (auto reply = session->exec(kSchema); !reply) return reply.error();
    if (auto reply = session->query("INSERT OR IGNORE INTO meta(key, value) VALUES ('format', ?)",
                                    {std::to_string(ZoneServer::kFormatVersion)});
        !reply)
        return reply.error();
    if (auto reply = session->exec("COMMIT"); !reply) return reply.error();
    return session;
}

SQLiteSession::SQLiteSession(std::filesystem::path folder, sqlite3* db, std::function<int64_t()> clock)
    : folder_(std::move(folder)), db_(db), clock_(std::move(clock)) {
    // Every request ends within the limit: the handler interrupts a statement
    // that runs past the deadline of the request it belongs to.
    sqlite3_progress_handler(
        db_, 1000,
        [](void* context) -> int {
            auto* self = static_cast<SQLiteSession*>(context);
            return self->deadline_ > 0 && monotonicSeconds() > self->deadline_;
        },
        this);
}

SQLiteSession::~SQLiteSession() {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close(db_);
}

Error SQLiteSession::failure(int code) const {
    const std::string message = sqlite3_errmsg(db_);
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: {
        Error error(Error::kZoneBusy, "The cloud store is busy");
        error.retryAfter = 1;
        return error;
    }
    case SQLITE_INTERRUPT: return Error(Error::kNetworkFailure, "The request ran past its limit");
    case SQLITE_FULL: return Error(Error::kQuotaExceeded, "The disk of the cloud store is full");
    default: return Error(Error::kNetworkFailure, "The cloud store in " + folder_.string() + " failed: " + message);
    }
}

Reply<Done> SQLiteSession::exec(const char* sql) {
    const int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return failure(code);
    return Done{};
}

sqlite3_stmt* SQLiteSession::statement(std::string_view sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &prepared,
                           nullptr) != SQLITE_OK)
        return nullptr;
    statements_.emplace(std::string(sql), prepared);
    return prepared;
}

Reply<Done> SQLiteSession::begin(bool writing) {
    deadline_ = monotonicSeconds() + kRequestLimit;
    return exec(writing ? "BEGIN IMMEDIATE" : "BEGIN");
}

Reply<Done> SQLiteSession::commit() {
    auto reply = exec("COMMIT");
    deadline_ = 0;
    if (reply && announce_) writePushFile();
    announce_ = false;
    return reply;
}

void SQLiteSession::rollback() {
    deadline_ = 0;
    announce_ = false;
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Reply<Done> SQLiteSession::lockZone(const std::string&) {
    // BEGIN IMMEDIATE already holds the store's one write lock.
    return Done{};
}

Reply<std::vector<SqlRow>> SQLiteSession::query(std::string_view sql, const std::vector<SqlValue>& parameters) {
    sqlite3_stmt* prepared = statement(sql);
    if (!prepared) return failure(sqlite3_errcode(db_));
    for (size_t i = 0; i < parameters.size(); ++i) {
        const int index = static_cast<int>(i + 1);
        const SqlValue& value = parameters[i];
        if (const auto* v = std::get_if<int64_t>(&value))
            sqlite3_bind_int64(prepared, index, *v);
        else if (const auto* v = std::get_if<double>(&value))
            sqlite3_bind_double(prepared, index, *v);
        else if (const auto* v = std::get_if<std::string>(&value))
            sqlite3_bind_text(prepared, index, v->data(), static_cast<int>(v->size()), SQLITE_STATIC);
        else if (const auto* v = std::get_if<SqlBlob>(&value))
            sqlite3_bind_blob(prepared, index, v->bytes.data(), static_cast<int>(v->bytes.size()), SQLITE_STATIC);
        else
            sqlite3_bind_null(prepared, index);
    }
    std::vector<SqlRow> rows;
    int code;
    while ((code = sqlite3_step(prepared)) == SQLITE_ROW) {
        const int columns = sqlite3_column_count(prepared);
        SqlRow row(static_cast<size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(prepared, c)) {
            case SQLITE_INTEGER: row[c] = static_cast<int64_t>(sqlite3_column_int64(prepared, c)); break;
            case SQLITE_FLOAT: row[c] = sqlite3_column_double(prepared, c); break;
            case SQLITE_TEXT:
                row[c] = std::string(reinterpret_cast<const char*>(sqlite3_column_text(prepared, c)),
                                     static_cast<size_t>(sqlite3_column_bytes(prepared, c)));
                break;
            case SQLITE_BLOB: {
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(prepared, c));
                row[c] = SqlBlob{std::string(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(prepared, c)))};
                break;
            }
            default: break;
            }
        }
        rows.push_back(std::move(row));
    }
    sqlite3_reset(prepared);
    sqlite3_clear_bindings(prepared);
    if (code != SQLITE_DONE) return failure(code);
    return rows;
}

int64_t SQLiteSession::changes() { return sqlite3_changes64(db_); }

int64_t SQLiteSession::serverMilliseconds() { return clock_ ? clock_() : realTimeMilliseconds(); }

void SQLiteSession::announceCommit() { announce_ = true; }

void SQLiteSession::writePushFile() {
    // A new file renamed over the old one: a watcher sees the name replaced
    // whether it watches the folder or the file it had open.
    const std::filesystem::path temporary = folder_ / (std::string(".push-") + std::to_string(::getpid()) + "-" +
                                                       std::to_string(reinterpret_cast<uintptr_t>(this)));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string stamp = std::to_string(realTimeMilliseconds()) + "\n";
    (void)!::write(fd, stamp.data(), stamp.size());
    ::close(fd);
    std::error_code error;
    std::filesystem::rename(temporary, folder_ / kPushFileName, error);
}

}  // namespace cloud
