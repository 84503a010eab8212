#pragma once
// The predefined event "sign_up": a sign-up. Attributes, in the order added: "success" (as "true" or "false"), "method".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallySignUpEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallySignUpEvent(
        const std::optional<std::string>& signupMethod,
        std::optional<bool> success,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallySignUpEvent"; }
};
