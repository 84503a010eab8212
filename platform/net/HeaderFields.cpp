#include "platform/net/HeaderFields.h"

#include <algorithm>

namespace net {

namespace {
char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
}  // namespace

bool HeaderFields::namesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

HeaderFields::HeaderFields(std::initializer_list<Field> fields) {
    for (const Field& f : fields) add(f.first, f.second);
}

std::vector<HeaderFields::Field>::iterator HeaderFields::find(std::string_view name) {
    return std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return namesEqual(f.first, name); });
}

std::vector<HeaderFields::Field>::const_iterator HeaderFields::find(std::string_view name) const {
    return std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return namesEqual(f.first, name); });
}

void HeaderFields::set(std::string_view name, std::string value) {
    auto it = find(name);
    if (it == fields_.end())
        fields_.emplace_back(std::string(name), std::move(value));
    else
        it->second = std::move(value);
}

void HeaderFields::add(std::string_view name, std::string_view value) {
    auto it = find(name);
    if (it == fields_.end()) {
        fields_.emplace_back(std::string(name), std::string(value));
    } else {
        it->second += ", ";
        it->second += value;
    }
}

void HeaderFields::remove(std::string_view name) {
    auto it = find(name);
    if (it != fields_.end()) fields_.erase(it);
}

std::optional<std::string> HeaderFields::value(std::string_view name) const {
    auto it = find(name);
    if (it == fields_.end()) return std::nullopt;
    return it->second;
}

bool HeaderFields::contains(std::string_view name) const { return find(name) != fields_.end(); }

bool HeaderFields::operator==(const HeaderFields& other) const {
    if (size() != other.size()) return false;
    for (const Field& f : fields_) {
        auto v = other.value(f.first);
        if (!v || *v != f.second) return false;
    }
    return true;
}

std::string HeaderFields::trimmed(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

}  // namespace net
