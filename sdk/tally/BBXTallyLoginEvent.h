#pragma once
// The predefined event "login": a login. Attributes, in the order added: "success" (as "true" or "false"), "method".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyLoginEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyLoginEvent(
        const std::optional<std::string>& loginMethod,
        std::optional<bool> success,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyLoginEvent"; }
};
