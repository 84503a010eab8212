#pragma once
// The SQL functions the store registers on each connection, so that SQL applies
// exactly the comparison rules of Comparison.h:
//   tl_cmp(op, options, a, b)  0 or 1: compareValues(op, options, a, b)
//   tl_fold(options, text)     foldText(text, options)
//   tl_key(value)              Schema::largeValueKey(value)
//   tl_has(text, needle)       1 when the bytes of needle occur in text (nil: 0);
//                              the substring scan behind short searches

struct sqlite3;

namespace store {

bool registerSQLFunctions(sqlite3* db);

}  // namespace store
