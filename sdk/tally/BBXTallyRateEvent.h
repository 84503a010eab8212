#pragma once
// The predefined event "rating": a rating. Attributes, in the order added: "rating" (a number with its fraction dropped), "content_name", "content_type", "content_id".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyRateEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyRateEvent(
        const std::optional<foundation::PlistValue>& rating,
        const std::optional<std::string>& contentName,
        const std::optional<std::string>& contentType,
        const std::optional<std::string>& contentId,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyRateEvent"; }
};
