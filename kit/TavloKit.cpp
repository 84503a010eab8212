#include "TavloKit.h"

#include <cctype>
#include <string_view>

#include "platform/desktop/InterfaceStyle.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/UserDefaults.h"

namespace {

constexpr const char* kWindowAppearanceKey = "TLUserDefaultsWindowAppearance";
constexpr int64_t kFollowSystem = 0;
constexpr int64_t kLight = 1;

bool equalsIgnoringCase(const std::string& text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
    }
    return true;
}

}  // namespace

std::string TavloKit::generateUUID() {
    return foundation::UUID::random().string();
}

bool TavloKit::isDarkMode() {
    const int64_t appearance = foundation::UserDefaults::applicationGroup()->integerForKey(kWindowAppearanceKey);
    if (appearance == kLight) return false;
    if (appearance != kFollowSystem) return true;
    foundation::PlistValue style = desktop::InterfaceStyle::current()->appleInterfaceStyle();
    const std::string* text = style.asString();
    return text && equalsIgnoringCase(*text, "dark");
}
