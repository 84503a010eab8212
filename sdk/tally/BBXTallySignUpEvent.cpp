#include "sdk/tally/BBXTallySignUpEvent.h"

BBXTallySignUpEvent::BBXTallySignUpEvent(
    const std::optional<std::string>& signupMethod,
    std::optional<bool> success,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("sign_up", customAttributes) {
    addPredefinedString(serializeSuccess(success), "success");
    addPredefinedString(signupMethod, "method");
}
