#include "sdk/tally/BBXTallyLevelStartEvent.h"

BBXTallyLevelStartEvent::BBXTallyLevelStartEvent(
    const std::optional<std::string>& levelName,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("level_start", customAttributes) {
    addPredefinedString(levelName, "level_name");
}
