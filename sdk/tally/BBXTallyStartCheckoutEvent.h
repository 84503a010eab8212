#pragma once
// The predefined event "start_checkout": the start of a checkout. Attributes, in the order added: "total_price" (in millionths), "currency", "item_count" (a number with its fraction dropped).

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyStartCheckoutEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyStartCheckoutEvent(
        const std::optional<tally::Decimal>& price,
        const std::optional<std::string>& currency,
        const std::optional<foundation::PlistValue>& itemCount,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyStartCheckoutEvent"; }
};
