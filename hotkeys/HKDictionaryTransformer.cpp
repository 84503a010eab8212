#include "HKDictionaryTransformer.h"

#include "HKShortcut.h"
#include "platform/foundation/PlistValue.h"

using foundation::PlistValue;

std::any HKDictionaryTransformer::transformedValue(const std::any& value) const {
    const PlistValue* plist = std::any_cast<PlistValue>(&value);
    if (!plist || !plist->asDictionary()) return {};
    const PlistValue* keyCode = plist->get("keyCode");
    const PlistValue* flags = plist->get("modifierFlags");
    auto readsAsInteger = [](const PlistValue* v) { return v && (v->isNumber() || v->asString()); };
    if (!readsAsInteger(keyCode) || !readsAsInteger(flags)) return {};
    return HKShortcut(static_cast<uint64_t>(keyCode->integerValue()), static_cast<uint64_t>(flags->integerValue()));
}

std::any HKDictionaryTransformer::reverseTransformedValue(const std::any& value) const {
    PlistValue::Dictionary dictionary;
    if (const HKShortcut* shortcut = std::any_cast<HKShortcut>(&value)) {
        dictionary["keyCode"] = PlistValue(static_cast<int64_t>(shortcut->keyCode()));
        dictionary["modifierFlags"] = PlistValue(static_cast<int64_t>(shortcut->modifierFlags()));
    }
    return PlistValue(std::move(dictionary));
}
