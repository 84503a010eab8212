#include "PlistValue.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace foundation {

namespace {

const char* skipSpace(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v')) ++p;
    return p;
}

int64_t leadingInteger(const std::string& text) {
    const char* p = skipSpace(text.data(), text.data() + text.size());
    const char* end = text.data() + text.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    uint64_t value = 0;
    bool overflow = false;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (value > (std::numeric_limits<uint64_t>::max() - 9) / 10) overflow = true;
        else value = value * 10 + static_cast<uint64_t>(*p - '0');
    }
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (negative) {
        if (overflow || value > kMax + 1) return std::numeric_limits<int64_t>::min();
        return value == kMax + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(value);
    }
    return overflow || value > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(value);
}

int64_t truncateToInteger(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (value <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

std::string numberText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

// Strings print bare when they are plain words, quoted otherwise.
std::string quotedIfNeeded(const std::string& text) {
    bool plain = !text.empty();
    for (unsigned char ch : text) {
        if (!(std::isalnum(ch) || ch == '_' || ch == '.' || ch == '$' || ch == '/' || ch == ':' || ch >= 0x80)) {
            plain = false;
            break;
        }
    }
    if (plain) return text;
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\') out += '\\';
        if (ch == '\n') {
            out += "\\n";
            continue;
        }
        out += ch;
    }
    return out + "\"";
}

void describe(const PlistValue& value, int indent, std::string& out) {
    const std::string pad(static_cast<size_t>(indent) * 4, ' ');
    switch (value.type()) {
    case PlistValue::Type::Null: out += "(null)"; break;
    case PlistValue::Type::String: out += quotedIfNeeded(*value.asString()); break;
    case PlistValue::Type::Integer: out += std::to_string(*value.asInteger()); break;
    case PlistValue::Type::Real: out += numberText(*value.asReal()); break;
    case PlistValue::Type::Boolean: out += *value.asBoolean() ? "1" : "0"; break;
    case PlistValue::Type::Date: out += value.asDate()->description(); break;
    case PlistValue::Type::Data: out += value.asData()->description(); break;
    case PlistValue::Type::Array: {
        const auto& array = *value.asArray();
        out += "(\n";
        for (size_t i = 0; i < array.size(); ++i) {
            out += pad + "    ";
            describe(array[i], indent + 1, out);
            out += i + 1 < array.size() ? ",\n" : "\n";
        }
        out += pad + ")";
        break;
    }
    case PlistValue::Type::Dictionary: {
        out += "{\n";
        for (const auto& [key, item] : *value.asDictionary()) {
            out += pad + "    " + quotedIfNeeded(key) + " = ";
            describe(item, indent + 1, out);
            out += ";\n";
        }
        out += pad + "}";
        break;
    }
    }
}

}  // namespace

PlistValue::PlistValue(const std::vector<std::string>& strings) {
    Array array;
    array.reserve(strings.size());
    for (const auto& s : strings) array.emplace_back(s);
    value_ = std::move(array);
}

std::optional<int64_t> PlistValue::asInteger() const {
    if (auto p = std::get_if<int64_t>(&value_)) return *p;
    return std::nullopt;
}

std::optional<double> PlistValue::asReal() const {
    if (auto p = std::get_if<double>(&value_)) return *p;
    if (auto p = std::get_if<int64_t>(&value_)) return static_cast<double>(*p);
    return std::nullopt;
}

std::optional<bool> PlistValue::asBoolean() const {
    if (auto p = std::get_if<bool>(&value_)) return *p;
    return std::nullopt;
}

std::optional<std::vector<std::string>> PlistValue::asStringArray() const {
    const Array* array = asArray();
    if (!array) return std::nullopt;
    std::vector<std::string> out;
    out.reserve(array->size());
    for (const auto& item : *array) {
        const std::string* s = item.asString();
        if (!s) return std::nullopt;
        out.push_back(*s);
    }
    return out;
}

const PlistValue* PlistValue::get(const std::string& key) const {
    const Dictionary* dictionary = asDictionary();
    if (!dictionary) return nullptr;
    auto it = dictionary->find(key);
    return it == dictionary->end() ? nullptr : &it->second;
}

PlistValue& PlistValue::operator[](const std::string& key) {
    if (!asDictionary()) value_ = Dictionary{};
    return (*asDictionary())[key];
}

int64_t PlistValue::integerValue() const {
    switch (type()) {
    case Type::Integer: return std::get<int64_t>(value_);
    case Type::Real: return truncateToInteger(std::get<double>(value_));
    case Type::Boolean: return std::get<bool>(value_) ? 1 : 0;
    case Type::String: return leadingInteger(std::get<std::string>(value_));
    default: return 0;
    }
}

double PlistValue::doubleValue() const {
    switch (type()) {
    case Type::Integer: return static_cast<double>(std::get<int64_t>(value_));
    case Type::Real: return std::get<double>(value_);
    case Type::Boolean: return std::get<bool>(value_) ? 1 : 0;
    case Type::String: {
        const std::string& text = std::get<std::string>(value_);
        const char* start = skipSpace(text.data(), text.data() + text.size());
        const char* end = text.data() + text.size();
        if (start < end && *start == '+') ++start;
        double value = 0;
        auto result = std::from_chars(start, end, value);
        return result.ec == std::errc() ? value : 0;
    }
    default: return 0;
    }
}

bool PlistValue::boolValue() const {
    switch (type()) {
    case Type::Integer: return std::get<int64_t>(value_) != 0;
    case Type::Real: return std::get<double>(value_) != 0;
    case Type::Boolean: return std::get<bool>(value_);
    case Type::String: {
        const std::string& text = std::get<std::string>(value_);
        const char* end = text.data() + text.size();
        const char* p = skipSpace(text.data(), end);
        if (p < end && (*p == '+' || *p == '-')) ++p;
        while (p < end && *p == '0') ++p;
        if (p == end) return false;
        char ch = *p;
        return ch == 'Y' || ch == 'y' || ch == 'T' || ch == 't' || (ch >= '1' && ch <= '9');
    }
    default: return false;
    }
}

std::optional<std::string> PlistValue::stringValue() const {
    switch (type()) {
    case Type::String: return std::get<std::string>(value_);
    case Type::Integer: return std::to_string(std::get<int64_t>(value_));
    case Type::Real: return numberText(std::get<double>(value_));
    case Type::Boolean: return std::string(std::get<bool>(value_) ? "1" : "0");
    default: return std::nullopt;
    }
}

std::string PlistValue::description() const {
    std::string out;
    describe(*this, 0, out);
    return out;
}

}  // namespace foundation
