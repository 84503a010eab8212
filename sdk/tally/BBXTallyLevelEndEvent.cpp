#include "sdk/tally/BBXTallyLevelEndEvent.h"

BBXTallyLevelEndEvent::BBXTallyLevelEndEvent(
    const std::optional<std::string>& levelName,
    const std::optional<foundation::PlistValue>& score,
    std::optional<bool> success,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("level_end", customAttributes) {
    addPredefinedString(levelName, "level_name");
    addPredefinedNumber(score, "score");
    addPredefinedString(serializeSuccess(success), "success");
}
