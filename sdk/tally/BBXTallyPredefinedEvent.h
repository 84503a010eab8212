#pragma once
// The base of the twelve predefined events (sign-up, login, purchase, ...):
// key "predefined", metadata {"predefined_type": type}, and predefined
// attributes the subclass adds, in its constructor, through the same rules as
// custom attributes. A missing argument adds no attribute.

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyEvent.h"
#include "sdk/tally/Decimal.h"

class BBXTallyPredefinedEvent : public BBXTallyEvent {
public:
    BBXTallyPredefinedEvent(const std::string& predefinedEventType, const std::optional<Dictionary>& customAttributes);

    void addPredefinedAttribute(const foundation::PlistValue* value, const std::string& key);
    // Adds only a number.
    void addPredefinedNumber(const std::optional<foundation::PlistValue>& value, const std::string& key);
    // Adds text, or a number as its decimal text; anything else is ignored.
    void addPredefinedString(const std::optional<foundation::PlistValue>& value, const std::string& key);
    void addPredefinedString(const std::optional<std::string>& value, const std::string& key);

    // "true" or "false".
    static std::optional<foundation::PlistValue> serializeSuccess(std::optional<bool> success);
    // The price times 1,000,000, exactly.
    static std::optional<foundation::PlistValue> serializePriceToMicros(const std::optional<tally::Decimal>& price);
    // The number with its fraction dropped toward zero; none for a value that is
    // no number, not finite or beyond 64 bits.
    static std::optional<foundation::PlistValue> serializeNSNumberAsInteger(const std::optional<foundation::PlistValue>& number);

    // "<class> { <predefined attributes> customAttributes=<custom attributes>}"
    std::string description() const override;

protected:
    virtual const char* className() const { return "BBXTallyPredefinedEvent"; }
};
