#include "platform/store/Database.h"

#include <sqlite3.h>

#include "platform/store/StoreError.h"

namespace store {

std::string quoted(const std::string& identifier) {
    std::string out = "\"";
    for (char c : identifier) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

Database::~Database() {
    cache_.clear();  // statements finalise before the connection closes
    sqlite3_close_v2(db_);
}

foundation::Result<std::unique_ptr<Database>> Database::open(const std::string& path, int busyTimeoutMs,
                                                             bool readOnly) {
    sqlite3* db = nullptr;
    int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        auto error = sqliteError(db ? sqlite3_extended_errcode(db) : rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc),
                                 "Cannot open " + path);
        sqlite3_close_v2(db);
        return error;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, busyTimeoutMs);
    return std::unique_ptr<Database>(new Database(db));
}

foundation::Error Database::lastError(const std::string& context) const {
    return sqliteError(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), context);
}

foundation::Result<void> Database::exec(const std::string& sql) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return {};
    std::string text = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return sqliteError(sqlite3_extended_errcode(db_), text);
}

foundation::Result<std::shared_ptr<Statement>> Database::prepare(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it != cache_.end()) {
        it->second->reset();
        return it->second;
    }
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                                nullptr);
    if (rc != SQLITE_OK) return lastError("Cannot prepare " + sql);
    // Fetch SQL varies with predicates; keep the cache bounded. Statements in use
    // stay alive through their holders.
    if (cache_.size() > 200) cache_.clear();
    auto [pos, inserted] = cache_.emplace(sql, std::make_shared<Statement>(stmt));
    return pos->second;
}

foundation::Result<std::unique_ptr<Statement>> Database::prepareOnce(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) return lastError("Cannot prepare " + sql);
    return std::make_unique<Statement>(stmt);
}

}  // namespace store
