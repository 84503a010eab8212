#include "TLMirroredSettings.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "TLUserDefaultsKeys.h"
#include "kit/TLSettings.h"
#include "platform/cloud/UbiquitousKeyValueStore.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"

namespace {

using foundation::PlistValue;
using Store = cloud::UbiquitousKeyValueStore;

bool isTemplate(const PlistValue& entry) {
    const PlistValue* name = entry.get(TLUserDefaultsTemplateName);
    const PlistValue* format = entry.get(TLUserDefaultsTemplateFormat);
    return entry.asDictionary() && name && name->asString() && format && format->asString();
}

void post(const std::string& key, const PlistValue& value) {
    foundation::Notification notification{key, nullptr, {}, {}};
    if (!value.isNull()) notification.value = value;
    foundation::NotificationCenter::defaultCenter().post(notification);
}

}  // namespace

bool TLMirroredSettings::isMirroredKey(const std::string& key) {
    return key == TLUserDefaultsClipboardSize || key == TLUserDefaultsCopyTemplates || key == TLUserDefaultsRecentSearches;
}

bool TLMirroredSettings::acceptsValue(const std::string& key, const PlistValue& value) {
    if (!isMirroredKey(key)) return false;
    if (value.isNull()) return true;
    if (key == TLUserDefaultsClipboardSize) {
        auto type = value.type();
        if (type == PlistValue::Type::Integer) return *value.asInteger() >= 0;
        if (type == PlistValue::Type::Real) {
            double number = *value.asReal();
            return number >= 0 && number <= 9.0e18 && number == double(int64_t(number));
        }
        return false;
    }
    const PlistValue::Array* array = value.asArray();
    if (!array) return false;
    if (key == TLUserDefaultsRecentSearches)
        return std::all_of(array->begin(), array->end(), [](const PlistValue& v) { return v.asString() != nullptr; });
    return std::all_of(array->begin(), array->end(), isTemplate);
}

void TLMirroredSettings::write(const std::string& key, const PlistValue& value) {
    auto suite = TLSettings();
    suite->setObject(value, key);
    suite->synchronize();
    post(key, value);
    if (!suite->boolForKey(TLUserDefaultsSyncEnabled)) return;
    auto store = Store::defaultStore();
    store->setObject(value, key);
    store->synchronize();
}

std::vector<std::string> TLMirroredSettings::applyStoreChange(const foundation::Notification& change) {
    auto suite = TLSettings();
    if (!suite->boolForKey(TLUserDefaultsSyncEnabled)) return {};
    const int64_t* reason = change.info<int64_t>(Store::kChangeReasonKey);
    if (!reason) return {};
    if (*reason != Store::kServerChange && *reason != Store::kInitialSyncChange && *reason != Store::kAccountChange)
        return {};
    const auto* keys = change.info<std::vector<std::string>>(Store::kChangedKeysKey);
    if (!keys) return {};
    auto store = Store::defaultStore();
    std::vector<std::string> taken;
    for (const std::string& key : *keys) {
        PlistValue value = store->objectForKey(key);
        if (!acceptsValue(key, value)) continue;
        // A limit may come as a whole real; it is read as an integer.
        if (value.type() == PlistValue::Type::Real) value = PlistValue(int64_t(*value.asReal()));
        suite->setObject(value, key);
        post(key, value);
        taken.push_back(key);
    }
    if (!taken.empty()) suite->synchronize();
    return taken;
}
