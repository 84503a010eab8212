#pragma once
// An error value: a domain string, a code, and a few named details. Failures
// cross our interfaces as these, never as exceptions.

#include <cstdint>
#include <map>
#include <string>

namespace foundation {

struct Error {
    std::string domain;
    int64_t code = 0;
    // Named details ("NSLocalizedDescription", "NSFilePath", ...). Kept as text so
    // an error can be logged or shown without knowing where it came from.
    std::map<std::string, std::string> userInfo;

    Error() = default;
    Error(std::string d, int64_t c, std::string description = {})
        : domain(std::move(d)), code(c) {
        if (!description.empty()) userInfo["NSLocalizedDescription"] = std::move(description);
    }

    std::string localizedDescription() const;
    // "Error Domain=<domain> Code=<code> "<description>"", the shape logs show.
    std::string description() const;

    bool operator==(const Error& other) const { return domain == other.domain && code == other.code; }
};

}  // namespace foundation
