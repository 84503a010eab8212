#include "JSON.h"

#include <cmath>
#include <limits>
#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "UTF8.h"

namespace foundation {

namespace {

using nlohmann::json;

Error readError(std::string description) {
    return Error(JSON::kErrorDomain, JSON::kReadCorruptError, std::move(description));
}

Error writeError(std::string description) {
    return Error(JSON::kErrorDomain, JSON::kWriteInvalidError, std::move(description));
}

// Builds the value while the parser reads, so no intermediate document is made
// and the nesting is counted as it grows: a handler answer of false ends the
// parse at once.
class Builder : public nlohmann::json_sax<json> {
public:
    bool null() override { return add(PlistValue()); }
    bool boolean(bool value) override { return add(PlistValue(value)); }
    bool number_integer(number_integer_t value) override { return add(PlistValue(int64_t{value})); }
    bool number_unsigned(number_unsigned_t value) override {
        if (value <= static_cast<number_unsigned_t>(std::numeric_limits<int64_t>::max()))
            return add(PlistValue(static_cast<int64_t>(value)));
        return add(PlistValue(static_cast<double>(value)));
    }
    bool number_float(number_float_t value, const string_t&) override {
        if (!std::isfinite(value)) return fail("Number out of range.");
        return add(PlistValue(double{value}));
    }
    bool string(string_t& value) override { return add(PlistValue(std::move(value))); }
    bool binary(binary_t&) override { return fail("Unexpected binary value."); }
    bool start_object(std::size_t) override { return open(PlistValue(PlistValue::Dictionary{})); }
    bool key(string_t& value) override {
        keys_.push_back(std::move(value));
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(PlistValue(PlistValue::Array{})); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) override {
        if (error_.empty()) error_ = "Invalid JSON at byte " + std::to_string(position) + ": " + error.what();
        return false;
    }

    const std::string& error() const { return error_; }
    bool done() const { return done_; }
    PlistValue& result() { return result_; }

private:
    bool fail(std::string message) {
        if (error_.empty()) error_ = std::move(message);
        return false;
    }
    // Stores a finished value in its container, or as the result.
    bool add(PlistValue value) {
        if (stack_.empty()) {
            result_ = std::move(value);
            done_ = true;
            return true;
        }
        PlistValue& top = stack_.back();
        if (auto* array = top.asArray()) {
            array->push_back(std::move(value));
        } else {
            (*top.asDictionary())[keys_.back()] = std::move(value);  // a repeated key: the last wins
            keys_.pop_back();
        }
        return true;
    }
    bool open(PlistValue container) {
        if (static_cast<int>(stack_.size()) >= JSON::kMaxDepth) return fail("Nesting too deep.");
        stack_.push_back(std::move(container));
        return true;
    }
    bool close() {
        PlistValue value = std::move(stack_.back());
        stack_.pop_back();
        return add(std::move(value));
    }

    std::vector<PlistValue> stack_;
    std::vector<std::string> keys_;
    PlistValue result_;
    std::string error_;
    bool done_ = false;
};

// Compact text written straight from the value, as the library's dump() writes
// it (the same escapes, invalid UTF-8 replaced the same way, reals formatted by
// the library itself), without building a document of the library's first.
void appendString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') {
            size_t start = i;
            if (c < 0x80) {
                while (i < text.size()) {
                    auto next = static_cast<unsigned char>(text[i]);
                    if (next < 0x20 || next >= 0x80 || next == '"' || next == '\\') break;
                    ++i;
                }
                out.append(text.substr(start, i - start));
                continue;
            }
            uint32_t cp = decodeUTF8(text, i);
            if (cp == kReplacementCharacter && text.substr(start, i - start) != "\xEF\xBF\xBD") out += "\xEF\xBF\xBD";
            else out.append(text.substr(start, i - start));
            continue;
        }
        ++i;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    out += '"';
}

std::optional<Error> appendDictionary(std::string& out, const PlistValue::Dictionary& dictionary, int depth);

std::optional<Error> appendCompact(std::string& out, const PlistValue& value, int depth) {
    if (depth > JSON::kMaxDepth) return writeError("Nesting too deep.");
    switch (value.type()) {
    case PlistValue::Type::Null:
        out += "null";
        return std::nullopt;
    case PlistValue::Type::String:
        appendString(out, *value.asString());
        return std::nullopt;
    case PlistValue::Type::Integer: {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, *value.asInteger()).ptr);
        return std::nullopt;
    }
    case PlistValue::Type::Boolean:
        out += *value.asBoolean() ? "true" : "false";
        return std::nullopt;
    case PlistValue::Type::Real: {
        double number = *value.asReal();
        if (!std::isfinite(number)) return writeError("Invalid number value (NaN or infinity) in JSON write.");
        out += json(number).dump();
        return std::nullopt;
    }
    case PlistValue::Type::Date:
    case PlistValue::Type::Data:
        return writeError("Invalid type in JSON write (" + std::string(value.type() == PlistValue::Type::Date ? "date" : "data") + ").");
    case PlistValue::Type::Array: {
        out += '[';
        bool first = true;
        for (const auto& element : *value.asArray()) {
            if (!first) out += ',';
            first = false;
            if (auto error = appendCompact(out, element, depth + 1)) return error;
        }
        out += ']';
        return std::nullopt;
    }
    case PlistValue::Type::Dictionary:
        return appendDictionary(out, *value.asDictionary(), depth);
    }
    return writeError("Invalid type in JSON write.");
}

std::optional<Error> appendDictionary(std::string& out, const PlistValue::Dictionary& dictionary, int depth) {
    out += '{';
    bool first = true;
    for (const auto& [key, element] : dictionary) {
        if (!first) out += ',';
        first = false;
        appendString(out, key);
        out += ':';
        if (auto error = appendCompact(out, element, depth + 1)) return error;
    }
    out += '}';
    return std::nullopt;
}

}  // namespace

Result<PlistValue> JSON::read(std::string_view text, Fragments fragments) {
    Builder builder;
    try {
        json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, true);
    } catch (const std::exception& error) {
        return readError(std::string("Invalid JSON: ") + error.what());
    }
    if (!builder.error().empty()) return readError(builder.error());
    if (!builder.done()) return readError("No value.");
    PlistValue& result = builder.result();
    if (fragments == Fragments::Refused && result.type() != PlistValue::Type::Dictionary &&
        result.type() != PlistValue::Type::Array)
        return readError("JSON text did not start with array or object and option to allow fragments not set.");
    return std::move(result);
}

std::optional<Error> JSON::appendValue(std::string& out, const PlistValue& value) { return appendCompact(out, value, 0); }

std::optional<Error> JSON::appendValue(std::string& out, const PlistValue::Dictionary& dictionary) {
    return appendDictionary(out, dictionary, 0);
}

void JSON::appendQuoted(std::string& out, std::string_view text) { appendString(out, text); }

Result<std::string> JSON::write(const PlistValue& value, bool pretty) {
    std::string out;
    out.reserve(256);  // most documents written are small: one allocation
    if (auto error = appendCompact(out, value, 0)) return *error;
    if (!pretty) return out;
    try {
        // Our own compact text always reads back; the library lays it out.
        return json::parse(out).dump(2, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception& error) {
        return writeError(std::string("JSON write failed: ") + error.what());
    }
}

}  // namespace foundation
