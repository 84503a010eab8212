#pragma once
// Builds an endpoint address from a base, path components and query
// parameters, for the kits' requests. A builder is made, filled and read
// within one call; one thread at a time.
//
// Escaping keeps letters, digits, "-_.!~*'()" and the address punctuation
// ";/?:@&=+$,#", and writes everything else ("%" included) as UTF-8 percent
// escapes. A query value is escaped further: "&", "=", "+", "#" and "?" inside
// it would end or change the parameter, so they are escaped there too.

#include <cstdint>
#include <optional>
#include <string>

class BCNURLBuilder {
public:
    // A builder whose text starts with base.
    static BCNURLBuilder URLWithBase(const std::string& base);

    // Appends text unchanged.
    void appendComponent(const std::string& component);
    // Appends escapeString(component).
    void escapeAndAppendComponent(const std::string& component);
    static std::string escapeString(const std::string& text);

    // Appends "?" for the builder's first parameter (whatever the text holds
    // already) and "&" for the others, the name unchanged, "=" and the escaped
    // value. A missing value adds nothing and is not counted.
    void appendValue(const std::optional<std::string>& value, const std::string& queryParam);
    // A number goes as its decimal text.
    void appendValue(int64_t value, const std::string& queryParam);

    const std::string& URLString() const { return URLString_; }
    uint64_t queryParams() const { return queryParams_; }
    // The text when it is a valid address with a scheme and a host, else nullopt.
    std::optional<std::string> URL() const;

private:
    std::string URLString_;
    uint64_t queryParams_ = 0;
};
