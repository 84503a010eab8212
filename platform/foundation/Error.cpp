#include "Error.h"

namespace foundation {

std::string Error::localizedDescription() const {
    auto it = userInfo.find("NSLocalizedDescription");
    if (it != userInfo.end()) return it->second;
    return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::string Error::description() const {
    std::string out = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
                      localizedDescription() + "\"";
    for (const auto& [key, value] : userInfo) {
        if (key == "NSLocalizedDescription") continue;
        out += " " + key + "=" + value;
    }
    return out;
}

}  // namespace foundation
