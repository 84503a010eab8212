#include "sdk/tally/BBXTallyShareEvent.h"

BBXTallyShareEvent::BBXTallyShareEvent(
    const std::optional<std::string>& shareMethod,
    const std::optional<std::string>& contentName,
    const std::optional<std::string>& contentType,
    const std::optional<std::string>& contentId,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("share", customAttributes) {
    addPredefinedString(shareMethod, "method");
    addPredefinedString(contentName, "content_name");
    addPredefinedString(contentType, "content_type");
    addPredefinedString(contentId, "content_id");
}
