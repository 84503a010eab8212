#include "sdk/tally/BBXTallySearchEvent.h"

BBXTallySearchEvent::BBXTallySearchEvent(
    const std::optional<std::string>& query,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("search", customAttributes) {
    addPredefinedString(query, "query");
}
