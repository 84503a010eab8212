#pragma once
// The predefined event "share": a share. Attributes, in the order added: "method", "content_name", "content_type", "content_id".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyShareEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyShareEvent(
        const std::optional<std::string>& shareMethod,
        const std::optional<std::string>& contentName,
        const std::optional<std::string>& contentType,
        const std::optional<std::string>& contentId,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyShareEvent"; }
};
