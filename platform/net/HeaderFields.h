#pragma once
// HTTP header fields. Names compare without regard to letter case (HTTP/2
// delivers them in lower case); the first spelling of a name is the one sent.
// A plain value: no locking, copy it between threads.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace net {

class HeaderFields {
public:
    using Field = std::pair<std::string, std::string>;

    HeaderFields() = default;
    HeaderFields(std::initializer_list<Field> fields);

    // Replaces every value of the name with this one.
    void set(std::string_view name, std::string value);
    // Adds a value: a name already present keeps its value and gains this one,
    // comma-joined, as HTTP allows for repeated fields.
    void add(std::string_view name, std::string_view value);
    void remove(std::string_view name);

    std::optional<std::string> value(std::string_view name) const;
    bool contains(std::string_view name) const;

    // In the order the names were first set.
    const std::vector<Field>& fields() const { return fields_; }
    size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }

    bool operator==(const HeaderFields& other) const;

    static bool namesEqual(std::string_view a, std::string_view b);
    // A header's text without the blanks around it (spaces, tabs, CR, LF): HTTP's
    // optional white space, and a header line's end.
    static std::string trimmed(std::string_view text);

private:
    std::vector<Field>::iterator find(std::string_view name);
    std::vector<Field>::const_iterator find(std::string_view name) const;

    std::vector<Field> fields_;
};

}  // namespace net
