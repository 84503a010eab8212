#include "JSON.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

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

Result<json> toJSON(const PlistValue& value, int depth) {
    if (depth > JSON::kMaxDepth) return writeError("Nesting too deep.");
    switch (value.type()) {
    case PlistValue::Type::Null:
        return json(nullptr);
    case PlistValue::Type::String:
        return json(*value.asString());
    case PlistValue::Type::Integer:
        return json(*value.asInteger());
    case PlistValue::Type::Boolean:
        return json(*value.asBoolean());
    case PlistValue::Type::Real: {
        double number = *value.asReal();
        if (!std::isfinite(number)) return writeError("Invalid number value (NaN or infinity) in JSON write.");
        return json(number);
    }
    case PlistValue::Type::Date:
    case PlistValue::Type::Data:
        return writeError("Invalid type in JSON write (" + std::string(value.type() == PlistValue::Type::Date ? "date" : "data") + ").");
    case PlistValue::Type::Array: {
        json out = json::array();
        for (const auto& element : *value.asArray()) {
            auto converted = toJSON(element, depth + 1);
            if (!converted.ok()) return converted.error();
            out.push_back(std::move(converted.value()));
        }
        return out;
    }
    case PlistValue::Type::Dictionary: {
        json out = json::object();
        for (const auto& [key, element] : *value.asDictionary()) {
            auto converted = toJSON(element, depth + 1);
            if (!converted.ok()) return converted.error();
            out[key] = std::move(converted.value());
        }
        return out;
    }
    }
    return writeError("Invalid type in JSON write.");
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

Result<std::string> JSON::write(const PlistValue& value, bool pretty) {
    try {
        auto converted = toJSON(value, 0);
        if (!converted.ok()) return converted.error();
        return converted.value().dump(pretty ? 2 : -1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception& error) {
        return writeError(std::string("JSON write failed: ") + error.what());
    }
}

}  // namespace foundation
