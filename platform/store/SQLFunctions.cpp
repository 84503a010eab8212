#include "platform/store/SQLFunctions.h"

#include <sqlite3.h>
#include <string.h>

#include "platform/store/Comparison.h"
#include "platform/store/Schema.h"

namespace store {

namespace {

Value toValue(sqlite3_value* v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_INTEGER: return Value(int64_t(sqlite3_value_int64(v)));
        case SQLITE_FLOAT: return Value(sqlite3_value_double(v));
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
            return Value(std::string(text ? text : "", static_cast<size_t>(sqlite3_value_bytes(v))));
        }
        case SQLITE_BLOB: {
            const auto* bytes = static_cast<const uint8_t*>(sqlite3_value_blob(v));
            int n = sqlite3_value_bytes(v);
            return Value(Value::Bytes(bytes, bytes + n));
        }
        default: return {};
    }
}

void compareFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto op = static_cast<Operator>(sqlite3_value_int(argv[0]));
    auto options = TextOptions::fromBits(sqlite3_value_int(argv[1]));
    if (foldsRightHandSide(op, options) && sqlite3_value_type(argv[3]) == SQLITE_TEXT) {
        // The needle is the statement's bound value: folded at the first row and
        // kept with the statement (SQLite drops it when the value changes), not
        // folded again for each of many rows.
        auto* folded = static_cast<const std::string*>(sqlite3_get_auxdata(ctx, 3));
        if (!folded) {
            sqlite3_set_auxdata(ctx, 3, new std::string(foldText(toValue(argv[3]).string(), options)),
                                [](void* p) { delete static_cast<std::string*>(p); });
            // Out of memory, SQLite has already let it go.
            folded = static_cast<const std::string*>(sqlite3_get_auxdata(ctx, 3));
            if (!folded) {
                sqlite3_result_int(ctx, compareValues(op, options, toValue(argv[2]), toValue(argv[3])) ? 1 : 0);
                return;
            }
        }
        sqlite3_result_int(ctx, compareFolded(op, options, toValue(argv[2]), *folded) ? 1 : 0);
        return;
    }
    sqlite3_result_int(ctx, compareValues(op, options, toValue(argv[2]), toValue(argv[3])) ? 1 : 0);
}

void foldFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[1]) != SQLITE_TEXT) {
        sqlite3_result_value(ctx, argv[1]);
        return;
    }
    std::string folded = foldText(toValue(argv[1]).string(), TextOptions::fromBits(sqlite3_value_int(argv[0])));
    sqlite3_result_text64(ctx, folded.data(), folded.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void keyFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    Value key = Schema::largeValueKey(toValue(argv[0]));
    if (key.isNull()) sqlite3_result_null(ctx);
    else sqlite3_result_int64(ctx, key.integerValue());
}

void hasFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) != SQLITE_TEXT || sqlite3_value_type(argv[1]) != SQLITE_TEXT) {
        sqlite3_result_int(ctx, 0);
        return;
    }
    const void* text = sqlite3_value_text(argv[0]);
    int textLength = sqlite3_value_bytes(argv[0]);
    const void* needle = sqlite3_value_text(argv[1]);
    int needleLength = sqlite3_value_bytes(argv[1]);
    bool found = needleLength > 0 && ::memmem(text, static_cast<size_t>(textLength), needle,
                                               static_cast<size_t>(needleLength)) != nullptr;
    sqlite3_result_int(ctx, found ? 1 : 0);
}

}  // namespace

bool registerSQLFunctions(sqlite3* db) {
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    return sqlite3_create_function_v2(db, "tl_cmp", 4, flags, nullptr, compareFunction, nullptr, nullptr, nullptr) ==
               SQLITE_OK &&
           sqlite3_create_function_v2(db, "tl_fold", 2, flags, nullptr, foldFunction, nullptr, nullptr, nullptr) ==
               SQLITE_OK &&
           sqlite3_create_function_v2(db, "tl_key", 1, flags, nullptr, keyFunction, nullptr, nullptr, nullptr) ==
               SQLITE_OK &&
           sqlite3_create_function_v2(db, "tl_has", 2, flags, nullptr, hasFunction, nullptr, nullptr, nullptr) ==
               SQLITE_OK;
}

}  // namespace store
