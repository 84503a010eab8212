#include "sdk/tally/BBXTallyInviteEvent.h"

BBXTallyInviteEvent::BBXTallyInviteEvent(
    const std::optional<std::string>& inviteMethod,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("invite", customAttributes) {
    addPredefinedString(inviteMethod, "method");
}
