#pragma once
// One SQLite connection with a cache of prepared statements. Not locked: its
// owner (SQLiteStore) serialises every use.

#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/foundation/Result.h"
#include "platform/store/Statement.h"

struct sqlite3;

namespace store {

class Database {
public:
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens (creating when missing) the file; ":memory:" opens a private
    // in-memory database. A read-only connection never creates, rewrites,
    // checkpoints or removes the file or its write-ahead log.
    static foundation::Result<std::unique_ptr<Database>> open(const std::string& path, int busyTimeoutMs,
                                                              bool readOnly = false);

    foundation::Result<void> exec(const std::string& sql);
    // A cached statement, reset and ready to bind.
    foundation::Result<std::shared_ptr<Statement>> prepare(const std::string& sql);
    // An uncached statement for one-off SQL.
    foundation::Result<std::unique_ptr<Statement>> prepareOnce(const std::string& sql);
    foundation::Error lastError(const std::string& context = {}) const;
    sqlite3* handle() const { return db_; }

private:
    explicit Database(sqlite3* db) : db_(db) {}

    sqlite3* db_;
    std::unordered_map<std::string, std::shared_ptr<Statement>> cache_;
};

// "name" with inner quotes doubled: every identifier the store writes is quoted.
std::string quoted(const std::string& identifier);

}  // namespace store
