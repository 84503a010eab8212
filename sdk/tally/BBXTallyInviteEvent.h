#pragma once
// The predefined event "invite": an invitation. Attributes, in the order added: "method".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyInviteEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyInviteEvent(
        const std::optional<std::string>& inviteMethod,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyInviteEvent"; }
};
