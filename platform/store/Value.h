#pragma once
// One value of the store: an attribute's value, a predicate's argument or a
// dictionary result. Attribute values are null or of their attribute's kind;
// predicates also take arrays and object references. Plain value; any thread.
//
// Strings, bytes and arrays are shared between copies, never copied: a
// clipping's 60 MiB text passes from its object to the change set, the parent
// context and the statement that writes it as one buffer.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/store/ObjectID.h"

namespace store {

class Value {
public:
    enum class Kind { Null, Bool, Integer, Double, String, Date, Data, Object, Array };
    // Seconds since 1970, kept apart from plain numbers so that a date never
    // compares equal to a number.
    struct Date {
        double seconds = 0;
        bool operator==(const Date&) const = default;
    };
    using Bytes = std::vector<uint8_t>;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool v) : v_(v) {}
    Value(int v) : v_(int64_t(v)) {}
    Value(long v) : v_(int64_t(v)) {}
    Value(long long v) : v_(int64_t(v)) {}
    Value(unsigned v) : v_(int64_t(v)) {}
    Value(unsigned long v) : v_(int64_t(v)) {}
    Value(unsigned long long v) : v_(int64_t(v)) {}
    Value(double v) : v_(v) {}
    Value(const char* v) { if (v) v_ = std::make_shared<const std::string>(v); }
    Value(std::string v) : v_(std::make_shared<const std::string>(std::move(v))) {}
    Value(std::string_view v) : v_(std::make_shared<const std::string>(v)) {}
    // A string another holder keeps too (nil for null).
    Value(std::shared_ptr<const std::string> v) { if (v) v_ = std::move(v); }
    Value(Date v) : v_(v) {}
    Value(Bytes v) : v_(std::make_shared<const Bytes>(std::move(v))) {}
    Value(ObjectID v) { if (!v.isNull()) v_ = v; }
    Value(std::vector<Value> v) : v_(std::make_shared<const std::vector<Value>>(std::move(v))) {}
    Value(const std::vector<std::string>& v);
    // Managed objects (and anything else with an objectID()) stand for their ID.
    template <class T, class = decltype(std::declval<const T&>().objectID())>
    Value(const std::shared_ptr<T>& object) : Value(object ? Value(object->objectID()) : Value()) {}

    static Value date(double secondsSince1970) { return Value(Date{secondsSince1970}); }

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    bool isNumeric() const { return kind() == Kind::Bool || kind() == Kind::Integer || kind() == Kind::Double; }

    bool boolValue() const;        // numbers: non-zero
    int64_t integerValue() const;  // numbers: truncated; else 0
    double doubleValue() const;    // numbers and dates; else 0
    const std::string& string() const;  // empty unless a string
    // The string itself, shared; null unless a string.
    std::shared_ptr<const std::string> sharedString() const;
    const Bytes& data() const;          // empty unless data
    double dateSeconds() const { return kind() == Kind::Date ? std::get<Date>(v_).seconds : 0; }
    ObjectID objectID() const { return kind() == Kind::Object ? std::get<ObjectID>(v_) : ObjectID{}; }
    const std::vector<Value>& array() const;

    // Same kind and same content (numbers of different kinds are not equal here;
    // predicates compare numbers by value, see Comparison.h).
    bool operator==(const Value& other) const;
    // A short text for logs and predicate descriptions.
    std::string description() const;

private:
    std::variant<std::monostate, bool, int64_t, double, std::shared_ptr<const std::string>, Date,
                 std::shared_ptr<const Bytes>, ObjectID, std::shared_ptr<const std::vector<Value>>>
        v_;
};

}  // namespace store
