#include "sdk/tally/BBXTallyPredefinedEvent.h"

#include <cmath>

#include "platform/foundation/Format.h"

using foundation::PlistValue;

BBXTallyPredefinedEvent::BBXTallyPredefinedEvent(const std::string& predefinedEventType,
                                                 const std::optional<Dictionary>& customAttributes)
    : BBXTallyEvent(kPredefinedKey, Dictionary{{"predefined_type", PlistValue(predefinedEventType)}}, customAttributes) {}

void BBXTallyPredefinedEvent::addPredefinedAttribute(const PlistValue* value, const std::string& key) {
    addAttribute(value, &key, predefinedAttributes_);
}

void BBXTallyPredefinedEvent::addPredefinedNumber(const std::optional<PlistValue>& value, const std::string& key) {
    if (value && value->isNumber()) addPredefinedAttribute(&*value, key);
}

void BBXTallyPredefinedEvent::addPredefinedString(const std::optional<PlistValue>& value, const std::string& key) {
    if (!value) return;
    if (value->asString()) {
        addPredefinedAttribute(&*value, key);
    } else if (auto text = value->stringValue()) {
        PlistValue string(std::move(*text));
        addPredefinedAttribute(&string, key);
    }
}

void BBXTallyPredefinedEvent::addPredefinedString(const std::optional<std::string>& value, const std::string& key) {
    if (!value) return;
    PlistValue string(*value);
    addPredefinedAttribute(&string, key);
}

std::optional<PlistValue> BBXTallyPredefinedEvent::serializeSuccess(std::optional<bool> success) {
    if (!success) return std::nullopt;
    return PlistValue(*success ? "true" : "false");
}

std::optional<PlistValue> BBXTallyPredefinedEvent::serializePriceToMicros(const std::optional<tally::Decimal>& price) {
    if (!price) return std::nullopt;
    auto micros = price->multipliedByPowerOf10(6);
    if (!micros) return std::nullopt;
    return micros->numberValue();
}

std::optional<PlistValue> BBXTallyPredefinedEvent::serializeNSNumberAsInteger(const std::optional<PlistValue>& number) {
    if (!number || !number->isNumber()) return std::nullopt;
    if (auto integer = number->asInteger(); integer && number->type() != PlistValue::Type::Real) return PlistValue(*integer);
    if (auto flag = number->asBoolean()) return PlistValue(int64_t{*flag ? 1 : 0});
    double real = *number->asReal();
    // -2^63 is exact as a double; 2^63 is the first value past the range.
    if (!std::isfinite(real) || real < -9223372036854775808.0 || real >= 9223372036854775808.0) return std::nullopt;
    return PlistValue(static_cast<int64_t>(std::trunc(real)));
}

std::string BBXTallyPredefinedEvent::description() const {
    return foundation::format("%@ { %@ customAttributes=%@}", className(), PlistValue(predefinedAttributes()).description(),
                              PlistValue(customAttributes()).description());
}
