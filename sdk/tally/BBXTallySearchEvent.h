#pragma once
// The predefined event "search": a search. Attributes, in the order added: "query".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallySearchEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallySearchEvent(
        const std::optional<std::string>& query,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallySearchEvent"; }
};
