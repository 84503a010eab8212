#pragma once
// The predefined event "content_view": a viewed piece of content. Attributes, in the order added: "content_name", "content_type", "content_id".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyContentViewEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyContentViewEvent(
        const std::optional<std::string>& contentName,
        const std::optional<std::string>& contentType,
        const std::optional<std::string>& contentId,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyContentViewEvent"; }
};
