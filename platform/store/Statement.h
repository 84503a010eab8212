#pragma once
// A prepared SQLite statement with typed binding and reading. Owned by the
// Database that prepared it (which caches it); used under the owner's lock.

#include <cstdint>
#include <string>

#include "platform/foundation/Result.h"
#include "platform/store/Entity.h"
#include "platform/store/Value.h"

struct sqlite3_stmt;

namespace store {

class Statement {
public:
    explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // 1-based, as SQLite counts. Booleans bind as 0/1, dates as seconds, objects
    // as their primary key, arrays as a JSON array (for json_each).
    void bind(int index, const Value& value);
    // As bind, but SQLite reads a string's or bytes' storage in place instead
    // of copying it: value must stay alive until the statement was stepped to
    // its end and reset.
    void bindKept(int index, const Value& value);
    // Answers true while there is a row; an error ends the statement.
    foundation::Result<bool> step();
    foundation::Result<void> run();  // steps to the end
    void reset();

    int columnCount() const;
    bool isNull(int column) const;
    int64_t int64(int column) const;
    // The column's value as the attribute type says (nil for NULL).
    Value value(int column, AttributeType type) const;
    // The column's value by its stored kind.
    Value rawValue(int column) const;
    sqlite3_stmt* handle() const { return stmt_; }

private:
    void bind(int index, const Value& value, bool kept);

    sqlite3_stmt* stmt_;
};

// An array value as the JSON text json_each reads; non-scalar elements are
// skipped (callers translate only arrays of scalars).
std::string jsonArrayText(const Value& array);

}  // namespace store
