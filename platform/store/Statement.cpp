#include "platform/store/Statement.h"

#include <sqlite3.h>

#include <cstdio>

#include "platform/store/StoreError.h"

namespace store {

Statement::~Statement() { sqlite3_finalize(stmt_); }

std::string jsonArrayText(const Value& array) {
    std::string out = "[";
    bool first = true;
    char buf[40];
    for (const Value& v : array.array()) {
        std::string item;
        switch (v.kind()) {
            case Value::Kind::Bool:
            case Value::Kind::Integer: item = std::to_string(v.integerValue()); break;
            case Value::Kind::Double:
            case Value::Kind::Date:
                std::snprintf(buf, sizeof buf, "%.17g", v.doubleValue());
                item = buf;
                break;
            case Value::Kind::Object: item = std::to_string(v.objectID().pk); break;
            case Value::Kind::String: {
                item = "\"";
                for (unsigned char c : v.string()) {
                    if (c == '"' || c == '\\') {
                        item += '\\';
                        item += static_cast<char>(c);
                    } else if (c < 0x20) {
                        std::snprintf(buf, sizeof buf, "\\u%04x", c);
                        item += buf;
                    } else {
                        item += static_cast<char>(c);
                    }
                }
                item += "\"";
                break;
            }
            default: continue;
        }
        out += first ? "" : ",";
        out += item;
        first = false;
    }
    return out + "]";
}

void Statement::bind(int index, const Value& value) { bind(index, value, false); }

void Statement::bindKept(int index, const Value& value) { bind(index, value, true); }

void Statement::bind(int index, const Value& value, bool kept) {
    const auto lifetime = kept ? SQLITE_STATIC : SQLITE_TRANSIENT;
    switch (value.kind()) {
        case Value::Kind::Null: sqlite3_bind_null(stmt_, index); break;
        case Value::Kind::Bool:
        case Value::Kind::Integer: sqlite3_bind_int64(stmt_, index, value.integerValue()); break;
        case Value::Kind::Double:
        case Value::Kind::Date: sqlite3_bind_double(stmt_, index, value.doubleValue()); break;
        case Value::Kind::String:
            sqlite3_bind_text64(stmt_, index, value.string().data(), value.string().size(), lifetime, SQLITE_UTF8);
            break;
        case Value::Kind::Data:
            // Empty data stays data (a null pointer would bind nil).
            if (value.data().empty()) sqlite3_bind_zeroblob(stmt_, index, 0);
            else sqlite3_bind_blob64(stmt_, index, value.data().data(), value.data().size(), lifetime);
            break;
        case Value::Kind::Object: sqlite3_bind_int64(stmt_, index, value.objectID().pk); break;
        case Value::Kind::Array: {
            std::string json = jsonArrayText(value);
            sqlite3_bind_text64(stmt_, index, json.data(), json.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
    }
}

foundation::Result<bool> Statement::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite3* db = sqlite3_db_handle(stmt_);
    auto error = sqliteError(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
    sqlite3_reset(stmt_);
    return error;
}

foundation::Result<void> Statement::run() {
    while (true) {
        auto r = step();
        if (!r) return r.error();
        if (!r.value()) return {};
    }
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int Statement::columnCount() const { return sqlite3_column_count(stmt_); }
bool Statement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
int64_t Statement::int64(int column) const { return sqlite3_column_int64(stmt_, column); }

Value Statement::value(int column, AttributeType type) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return {};
    switch (type) {
        case AttributeType::String: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
            return Value(std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(stmt_, column))));
        }
        case AttributeType::Integer: return Value(int64_t(sqlite3_column_int64(stmt_, column)));
        case AttributeType::Double: return Value(sqlite3_column_double(stmt_, column));
        case AttributeType::Boolean: return Value(sqlite3_column_int64(stmt_, column) != 0);
        case AttributeType::Date: return Value::date(sqlite3_column_double(stmt_, column));
        case AttributeType::Binary: {
            const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
            int n = sqlite3_column_bytes(stmt_, column);
            return Value(Value::Bytes(bytes, bytes + n));
        }
    }
    return {};
}

Value Statement::rawValue(int column) const {
    switch (sqlite3_column_type(stmt_, column)) {
        case SQLITE_INTEGER: return value(column, AttributeType::Integer);
        case SQLITE_FLOAT: return value(column, AttributeType::Double);
        case SQLITE_TEXT: return value(column, AttributeType::String);
        case SQLITE_BLOB: return value(column, AttributeType::Binary);
        default: return {};
    }
}

}  // namespace store
