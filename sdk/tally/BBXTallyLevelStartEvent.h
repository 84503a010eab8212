#pragma once
// The predefined event "level_start": the start of a level. Attributes, in the order added: "level_name".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyLevelStartEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyLevelStartEvent(
        const std::optional<std::string>& levelName,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyLevelStartEvent"; }
};
