#pragma once
// One property-list value: string, integer, real, boolean, date, data, array or
// dictionary (or null, meaning "no value"). Settings, Info.plist and archived
// values are these. A plain value (copies are deep); any thread.

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Data.h"
#include "Date.h"

namespace foundation {

class PlistValue {
public:
    enum class Type { Null, String, Integer, Real, Boolean, Date, Data, Array, Dictionary };
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;

    PlistValue() = default;
    PlistValue(std::nullptr_t) {}
    PlistValue(const char* text) : value_(std::string(text ? text : "")) {}
    PlistValue(std::string text) : value_(std::move(text)) {}
    PlistValue(std::string_view text) : value_(std::string(text)) {}
    template <std::integral T>
        requires(!std::same_as<T, bool> && !std::same_as<T, char>)
    PlistValue(T number) : value_(static_cast<int64_t>(number)) {}
    PlistValue(double number) : value_(number) {}
    PlistValue(bool flag) : value_(flag) {}
    PlistValue(Date date) : value_(date) {}
    PlistValue(Data data) : value_(std::move(data)) {}
    PlistValue(Array array) : value_(std::move(array)) {}
    PlistValue(Dictionary dictionary) : value_(std::move(dictionary)) {}
    PlistValue(const std::vector<std::string>& strings);

    Type type() const { return static_cast<Type>(value_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isNumber() const { return type() == Type::Integer || type() == Type::Real || type() == Type::Boolean; }

    // Typed access: null (or nullopt) when the value is of another type.
    const std::string* asString() const { return std::get_if<std::string>(&value_); }
    std::optional<int64_t> asInteger() const;
    std::optional<double> asReal() const;  // an integer counts too
    std::optional<bool> asBoolean() const;
    const Date* asDate() const { return std::get_if<Date>(&value_); }
    const Data* asData() const { return std::get_if<Data>(&value_); }
    const Array* asArray() const { return std::get_if<Array>(&value_); }
    Array* asArray() { return std::get_if<Array>(&value_); }
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&value_); }
    Dictionary* asDictionary() { return std::get_if<Dictionary>(&value_); }
    // The strings of an array, nullopt unless every element is a string.
    std::optional<std::vector<std::string>> asStringArray() const;

    // A dictionary's value for key, or null when absent or not a dictionary.
    const PlistValue* get(const std::string& key) const;
    // Makes a null value a dictionary; answers the slot for key.
    PlistValue& operator[](const std::string& key);

    // Foundation's coercions of numbers and numeric text:
    // integers and reals convert (reals truncate), booleans are 0 or 1, a string
    // gives its leading integer ("12px" 12, "x" 0); anything else 0.
    int64_t integerValue() const;
    double doubleValue() const;
    // Non-zero numbers are true; a string is true when, after white space, an
    // optional sign and leading zeros, it starts with Y, y, T, t or 1-9.
    bool boolValue() const;
    // Strings as they are, numbers in decimal; nullopt for other types.
    std::optional<std::string> stringValue() const;

    // Foundation's nested "{ key = value; }" / "( a, b )" text.
    std::string description() const;

    bool operator==(const PlistValue& other) const { return value_ == other.value_; }

private:
    std::variant<std::monostate, std::string, int64_t, double, bool, Date, Data, Array, Dictionary> value_;
};

}  // namespace foundation
