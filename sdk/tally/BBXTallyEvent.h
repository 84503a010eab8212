#pragma once
// One analytics event built from a public call: its line key ("custom" or
// "predefined"), its metadata ({"custom_type": name} or {"predefined_type":
// type}) and its attributes. Immutable once made (predefined attributes are
// filled by the making subclass), so any thread may read it.
//
// Attributes pass the rules of addAttribute(): at most kMaxAttributes of them,
// text or finite numbers only, keys and text values cut to kMaxLength UTF-16
// units. Attribute dictionaries are ordered by key (byte order), so when more
// than kMaxAttributes are given, the ones kept are the first in key order.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/PlistValue.h"

class BBXTallyEvent {
public:
    using Dictionary = foundation::PlistValue::Dictionary;

    static constexpr const char* kCustomKey = "custom";
    static constexpr const char* kPredefinedKey = "predefined";
    static constexpr size_t kMaxAttributes = 21;
    static constexpr size_t kMaxLength = 100;

    virtual ~BBXTallyEvent() = default;

    const std::string& key() const { return key_; }
    const Dictionary& metadata() const { return metadata_; }
    const Dictionary& predefinedAttributes() const { return predefinedAttributes_; }
    const Dictionary& customAttributes() const { return customAttributes_; }

    // The metadata with "predefined_attributes" and "custom_attributes".
    Dictionary payloadDictionary() const;
    virtual std::string description() const = 0;

    // Every entry of attributes through the rules into a new dictionary; none
    // gives an empty one.
    static Dictionary filterCustomAttributes(const std::optional<Dictionary>& attributes);
    // The attribute rules: a missing (null) value or key adds nothing; a full
    // target, or a value that is neither text nor a finite number, is logged and
    // adds nothing; otherwise key and value are cut and set (replacing).
    static void addAttribute(const foundation::PlistValue* value, const std::string* key, Dictionary& target);
    // Text and finite numbers (booleans count as numbers).
    static bool validAttributeValue(const foundation::PlistValue& value);
    // Text longer than kMaxLength units is logged and cut (never inside a pair
    // of units, so it may keep one unit less); anything else is unchanged.
    static foundation::PlistValue truncateAttribute(const foundation::PlistValue& value);
    static std::string truncateAttribute(const std::string& text);

protected:
    BBXTallyEvent(std::string key, Dictionary metadata, const std::optional<Dictionary>& customAttributes);

    Dictionary predefinedAttributes_;

private:
    std::string key_;
    Dictionary metadata_;
    Dictionary customAttributes_;
};
