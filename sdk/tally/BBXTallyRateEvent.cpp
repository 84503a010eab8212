#include "sdk/tally/BBXTallyRateEvent.h"

BBXTallyRateEvent::BBXTallyRateEvent(
    const std::optional<foundation::PlistValue>& rating,
    const std::optional<std::string>& contentName,
    const std::optional<std::string>& contentType,
    const std::optional<std::string>& contentId,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("rating", customAttributes) {
    addPredefinedNumber(serializeNSNumberAsInteger(rating), "rating");
    addPredefinedString(contentName, "content_name");
    addPredefinedString(contentType, "content_type");
    addPredefinedString(contentId, "content_id");
}
