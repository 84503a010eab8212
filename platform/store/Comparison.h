#pragma once
// How two values compare in a predicate and in a sort. The same rules serve the
// in-memory evaluation and the SQL functions of the store, so a predicate gives
// the same answer either way. Any thread.
//
// - nil equals only nil; nil is neither below nor above anything, contains
//   nothing and is contained in nothing (but nil IN {nil} is true);
// - booleans, integers and doubles compare by value with each other;
// - strings, dates, data and objects compare only with their own kind;
// - string operators honour [c] (case) and [d] (diacritics).

#include "platform/store/TextMatching.h"
#include "platform/store/Value.h"

namespace store {

enum class Operator { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual, In, Contains, BeginsWith, EndsWith, Like, Matches };

// The operator as predicate text writes it ("==", "BEGINSWITH"); the parser
// reads the word operators by the same texts.
const char* operatorText(Operator op);

bool compareValues(Operator op, TextOptions options, const Value& lhs, const Value& rhs);
// Whether the operator folds its string right-hand side under these options, so
// that a constant one can be folded once (foldText) and compared with many
// left-hand sides through compareFolded: contains, begins with and ends with
// under [c] or [d].
bool foldsRightHandSide(Operator op, TextOptions options);
// compareValues for such an operator, with the right-hand string already folded.
bool compareFolded(Operator op, TextOptions options, const Value& lhs, std::string_view foldedRhs);
// Whether the two values are of kinds that compare (see above); nil is of none.
bool comparableKinds(const Value& a, const Value& b);
// Sort order: nil first, then numbers (and dates), strings by bytes, data by
// bytes, objects by key: the order SQLite gives the same columns.
int orderValues(const Value& a, const Value& b);

}  // namespace store
