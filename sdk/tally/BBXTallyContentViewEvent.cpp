#include "sdk/tally/BBXTallyContentViewEvent.h"

BBXTallyContentViewEvent::BBXTallyContentViewEvent(
    const std::optional<std::string>& contentName,
    const std::optional<std::string>& contentType,
    const std::optional<std::string>& contentId,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("content_view", customAttributes) {
    addPredefinedString(contentName, "content_name");
    addPredefinedString(contentType, "content_type");
    addPredefinedString(contentId, "content_id");
}
