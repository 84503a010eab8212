#include "sdk/tally/BBXTallyCustomEvent.h"

#include "platform/foundation/Format.h"

using foundation::PlistValue;

BBXTallyCustomEvent::BBXTallyCustomEvent(std::string name, const std::optional<Dictionary>& customAttributes)
    : BBXTallyEvent(kCustomKey, Dictionary{{"custom_type", PlistValue(std::move(name))}}, customAttributes) {}

std::shared_ptr<BBXTallyCustomEvent> BBXTallyCustomEvent::initWithName(const std::optional<std::string>& name,
                                                                       const std::optional<Dictionary>& customAttributes) {
    if (!name) return nullptr;
    return std::shared_ptr<BBXTallyCustomEvent>(new BBXTallyCustomEvent(truncateAttribute(*name), customAttributes));
}

std::string BBXTallyCustomEvent::description() const {
    return foundation::format("%@ { %@ }", "BBXTallyCustomEvent", PlistValue(customAttributes()).description());
}
