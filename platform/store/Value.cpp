#include "platform/store/Value.h"

#include <cstdio>

namespace store {

namespace {
const std::string kEmptyString;
const Value::Bytes kEmptyBytes;
const std::vector<Value> kEmptyArray;
}  // namespace

Value::Value(const std::vector<std::string>& v) {
    std::vector<Value> values;
    values.reserve(v.size());
    for (const auto& s : v) values.emplace_back(s);
    v_ = std::make_shared<const std::vector<Value>>(std::move(values));
}

bool Value::boolValue() const {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(v_);
        case Kind::Integer: return std::get<int64_t>(v_) != 0;
        case Kind::Double: return std::get<double>(v_) != 0;
        default: return false;
    }
}

int64_t Value::integerValue() const {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(v_) ? 1 : 0;
        case Kind::Integer: return std::get<int64_t>(v_);
        case Kind::Double: return static_cast<int64_t>(std::get<double>(v_));
        default: return 0;
    }
}

double Value::doubleValue() const {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(v_) ? 1 : 0;
        case Kind::Integer: return static_cast<double>(std::get<int64_t>(v_));
        case Kind::Double: return std::get<double>(v_);
        case Kind::Date: return std::get<Date>(v_).seconds;
        default: return 0;
    }
}

const std::string& Value::string() const {
    return kind() == Kind::String ? *std::get<std::shared_ptr<const std::string>>(v_) : kEmptyString;
}

std::shared_ptr<const std::string> Value::sharedString() const {
    return kind() == Kind::String ? std::get<std::shared_ptr<const std::string>>(v_) : nullptr;
}

const Value::Bytes& Value::data() const {
    return kind() == Kind::Data ? *std::get<std::shared_ptr<const Bytes>>(v_) : kEmptyBytes;
}

const std::vector<Value>& Value::array() const {
    return kind() == Kind::Array ? *std::get<std::shared_ptr<const std::vector<Value>>>(v_) : kEmptyArray;
}

bool Value::operator==(const Value& other) const {
    if (kind() != other.kind()) return false;
    switch (kind()) {
        case Kind::String: return sharedString() == other.sharedString() || string() == other.string();
        case Kind::Data: return data() == other.data();
        case Kind::Array: return array() == other.array();
        default: return v_ == other.v_;
    }
}

std::string Value::description() const {
    char buf[64];
    switch (kind()) {
        case Kind::Null: return "nil";
        case Kind::Bool: return boolValue() ? "YES" : "NO";
        case Kind::Integer: return std::to_string(integerValue());
        case Kind::Double: std::snprintf(buf, sizeof buf, "%.17g", doubleValue()); return buf;
        case Kind::String: {
            std::string out = "\"";
            for (char c : string()) {
                if (c == '"' || c == '\\') out += '\\';
                out += c;
            }
            return out + "\"";
        }
        case Kind::Date: std::snprintf(buf, sizeof buf, "CAST(%.17g, \"NSDate\")", dateSeconds()); return buf;
        case Kind::Data: return "<" + std::to_string(data().size()) + " bytes>";
        case Kind::Object: {
            ObjectID id = objectID();
            return "<object " + std::to_string(id.entity) + "/p" + std::to_string(id.pk) + ">";
        }
        case Kind::Array: {
            std::string out = "{";
            bool first = true;
            for (const auto& v : array()) {
                out += first ? "" : ", ";
                out += v.description();
                first = false;
            }
            return out + "}";
        }
    }
    return {};
}

}  // namespace store
