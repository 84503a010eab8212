#include "sdk/tally/BBXTallyLoginEvent.h"

BBXTallyLoginEvent::BBXTallyLoginEvent(
    const std::optional<std::string>& loginMethod,
    std::optional<bool> success,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("login", customAttributes) {
    addPredefinedString(serializeSuccess(success), "success");
    addPredefinedString(loginMethod, "method");
}
