#pragma once
// An event the application names itself: key "custom", metadata
// {"custom_type": name}. Made only by name; a missing name makes no event.

#include <memory>
#include <optional>
#include <string>

#include "sdk/tally/BBXTallyEvent.h"

class BBXTallyCustomEvent : public BBXTallyEvent {
public:
    // The name is cut to kMaxLength units; null without a name.
    static std::shared_ptr<BBXTallyCustomEvent> initWithName(const std::optional<std::string>& name,
                                                             const std::optional<Dictionary>& customAttributes = std::nullopt);

    // "BBXTallyCustomEvent { <custom attributes> }"
    std::string description() const override;

private:
    BBXTallyCustomEvent(std::string name, const std::optional<Dictionary>& customAttributes);
};
