#include "platform/store/Comparison.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace store {

const char* operatorText(Operator op) {
    switch (op) {
        case Operator::Equal: return "==";
        case Operator::NotEqual: return "!=";
        case Operator::Less: return "<";
        case Operator::LessEqual: return "<=";
        case Operator::Greater: return ">";
        case Operator::GreaterEqual: return ">=";
        case Operator::In: return "IN";
        case Operator::Contains: return "CONTAINS";
        case Operator::BeginsWith: return "BEGINSWITH";
        case Operator::EndsWith: return "ENDSWITH";
        case Operator::Like: return "LIKE";
        case Operator::Matches: return "MATCHES";
    }
    return "?";
}

namespace {

using Kind = Value::Kind;

int sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

int compareNumbers(const Value& a, const Value& b) {
    bool aInt = a.kind() != Kind::Double, bInt = b.kind() != Kind::Double;
    if (aInt && bInt) {
        int64_t x = a.integerValue(), y = b.integerValue();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    double x = a.doubleValue(), y = b.doubleValue();
    return x < y ? -1 : (x > y ? 1 : 0);
}

int compareBytes(const Value::Bytes& a, const Value::Bytes& b) {
    size_t n = std::min(a.size(), b.size());
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return sign(c);
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

std::string_view bytesText(const Value& v) {
    if (v.kind() == Kind::String) return v.string();
    const auto& d = v.data();
    return std::string_view(reinterpret_cast<const char*>(d.data()), d.size());
}

// Three-way comparison of comparable values; options apply to strings.
int compareSame(const Value& a, const Value& b, TextOptions options) {
    if (a.isNumeric()) return compareNumbers(a, b);
    switch (a.kind()) {
        case Kind::String: return textCompare(a.string(), b.string(), options);
        case Kind::Date: {
            double x = a.dateSeconds(), y = b.dateSeconds();
            return x < y ? -1 : (x > y ? 1 : 0);
        }
        case Kind::Data: return compareBytes(a.data(), b.data());
        case Kind::Object: {
            ObjectID x = a.objectID(), y = b.objectID();
            return x == y ? 0 : (x < y ? -1 : 1);
        }
        default: return 0;
    }
}

bool equalValues(const Value& a, const Value& b, TextOptions options) {
    if (a.isNull() || b.isNull()) return a.isNull() && b.isNull();
    if (!comparableKinds(a, b)) return false;
    if (a.kind() == Kind::Array) return false;
    return compareSame(a, b, options) == 0;
}

}  // namespace

bool comparableKinds(const Value& a, const Value& b) {
    if (a.isNull() || b.isNull()) return false;
    if (a.isNumeric() && b.isNumeric()) return true;
    if (a.kind() != b.kind()) return false;
    if (a.kind() == Kind::Object) return a.objectID().entity == b.objectID().entity;
    return true;
}

bool foldsRightHandSide(Operator op, TextOptions options) {
    return (options.caseInsensitive || options.diacriticInsensitive) &&
           (op == Operator::Contains || op == Operator::BeginsWith || op == Operator::EndsWith);
}

bool compareFolded(Operator op, TextOptions options, const Value& lhs, std::string_view foldedRhs) {
    if (lhs.kind() != Kind::String) return false;
    switch (op) {
        case Operator::Contains: return foldedTextContains(lhs.string(), foldedRhs, options);
        case Operator::BeginsWith: return foldedTextBeginsWith(lhs.string(), foldedRhs, options);
        case Operator::EndsWith: return foldedTextEndsWith(lhs.string(), foldedRhs, options);
        default: return false;
    }
}

bool compareValues(Operator op, TextOptions options, const Value& lhs, const Value& rhs) {
    switch (op) {
        case Operator::Equal: return equalValues(lhs, rhs, options);
        case Operator::NotEqual: return !equalValues(lhs, rhs, options);
        case Operator::Less:
        case Operator::LessEqual:
        case Operator::Greater:
        case Operator::GreaterEqual: {
            if (!comparableKinds(lhs, rhs) || lhs.kind() == Kind::Array || lhs.kind() == Kind::Object) return false;
            int c = compareSame(lhs, rhs, options);
            if (op == Operator::Less) return c < 0;
            if (op == Operator::LessEqual) return c <= 0;
            if (op == Operator::Greater) return c > 0;
            return c >= 0;
        }
        case Operator::In: {
            if (rhs.kind() != Kind::Array) return false;
            for (const Value& element : rhs.array())
                if (equalValues(lhs, element, options)) return true;
            return false;
        }
        case Operator::Contains:
            return lhs.kind() == Kind::String && rhs.kind() == Kind::String &&
                   textContains(lhs.string(), rhs.string(), options);
        case Operator::BeginsWith:
            return lhs.kind() == Kind::String && rhs.kind() == Kind::String &&
                   textBeginsWith(lhs.string(), rhs.string(), options);
        case Operator::EndsWith:
            return lhs.kind() == Kind::String && rhs.kind() == Kind::String &&
                   textEndsWith(lhs.string(), rhs.string(), options);
        case Operator::Like:
            return lhs.kind() == Kind::String && rhs.kind() == Kind::String &&
                   textLike(lhs.string(), rhs.string(), options);
        case Operator::Matches:
            return (lhs.kind() == Kind::String || lhs.kind() == Kind::Data) && rhs.kind() == Kind::String &&
                   textMatches(bytesText(lhs), rhs.string(), options);
    }
    return false;
}

int orderValues(const Value& a, const Value& b) {
    auto rank = [](const Value& v) {
        if (v.isNull()) return 0;
        if (v.isNumeric() || v.kind() == Kind::Date) return 1;
        if (v.kind() == Kind::String) return 2;
        if (v.kind() == Kind::Data) return 3;
        return 4;
    };
    int ra = rank(a), rb = rank(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    if (ra == 0) return 0;
    if (ra == 1) {
        double x = a.doubleValue(), y = b.doubleValue();
        if (a.kind() != Kind::Double && a.kind() != Kind::Date && b.kind() != Kind::Double && b.kind() != Kind::Date)
            return compareNumbers(a, b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return compareSame(a, b, {});
}

}  // namespace store
