#pragma once
// The predefined event "level_end": the end of a level. Attributes, in the order added: "level_name", "score" (a number as given), "success" (as "true" or "false").

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyLevelEndEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyLevelEndEvent(
        const std::optional<std::string>& levelName,
        const std::optional<foundation::PlistValue>& score,
        std::optional<bool> success,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyLevelEndEvent"; }
};
