#include "sdk/beacon/BCNLocaleIdentifier.h"

#include <cstdlib>

std::string BCNLocaleIdentifier() {
    std::string value;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* set = std::getenv(name);
        if (set && *set) {
            value = set;
            break;
        }
    }
    value = value.substr(0, value.find_first_of(".@"));
    if (value.empty() || value == "C" || value == "POSIX") return "en_US_POSIX";
    return value;
}
