#include "sdk/tally/BBXTallyEvent.h"

#include <cmath>

#include "platform/foundation/Format.h"
#include "sdk/tally/TallyLog.h"
#include "sdk/tally/UTF16.h"

using foundation::PlistValue;

BBXTallyEvent::BBXTallyEvent(std::string key, Dictionary metadata, const std::optional<Dictionary>& customAttributes)
    : key_(std::move(key)), metadata_(std::move(metadata)), customAttributes_(filterCustomAttributes(customAttributes)) {}

BBXTallyEvent::Dictionary BBXTallyEvent::payloadDictionary() const {
    Dictionary payload = metadata_;
    payload["predefined_attributes"] = predefinedAttributes_;
    payload["custom_attributes"] = customAttributes_;
    return payload;
}

BBXTallyEvent::Dictionary BBXTallyEvent::filterCustomAttributes(const std::optional<Dictionary>& attributes) {
    Dictionary filtered;
    if (!attributes) return filtered;
    for (const auto& [key, value] : *attributes) addAttribute(&value, &key, filtered);
    return filtered;
}

void BBXTallyEvent::addAttribute(const PlistValue* value, const std::string* key, Dictionary& target) {
    if (!value || !key) return;
    if (target.size() >= kMaxAttributes) {
        tally::log("[Blackbox:Tally] Maximum number of Event attributes exceeded. Ignoring attribute");
        return;
    }
    if (!validAttributeValue(*value)) {
        tally::log(foundation::format(
            "[Blackbox:Tally] Event attribute values must be of type NSString or NSNumber. Ignoring entry %@:%@",
            *key, value->description()));
        return;
    }
    target.insert_or_assign(truncateAttribute(*key), truncateAttribute(*value));
}

bool BBXTallyEvent::validAttributeValue(const PlistValue& value) {
    switch (value.type()) {
    case PlistValue::Type::String:
    case PlistValue::Type::Integer:
    case PlistValue::Type::Boolean:
        return true;
    case PlistValue::Type::Real:
        // NaN and infinities have no JSON form: the whole event would be lost.
        return std::isfinite(*value.asReal());
    default:
        return false;
    }
}

PlistValue BBXTallyEvent::truncateAttribute(const PlistValue& value) {
    if (const std::string* text = value.asString()) return PlistValue(truncateAttribute(*text));
    return value;
}

std::string BBXTallyEvent::truncateAttribute(const std::string& text) {
    // Text of at most kMaxLength units has at most 4 * kMaxLength bytes, so longer
    // text is measured only as far as the cut.
    if (text.size() <= kMaxLength) return text;
    std::string_view prefix = tally::utf16Prefix(text, kMaxLength);
    if (prefix.size() == text.size()) return text;
    // A pair of units across the limit stops the prefix one unit short; it is
    // still longer than the limit when anything follows it.
    tally::log(foundation::format(
        "[Blackbox:Tally] Maximum length for an Event attributes exceeded. Truncating to %u characters.",
        static_cast<unsigned>(kMaxLength)));
    return std::string(prefix);
}
