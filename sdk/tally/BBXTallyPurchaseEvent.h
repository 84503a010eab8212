#pragma once
// The predefined event "purchase": a purchase. Attributes, in the order added: "item_price" (in millionths), "currency", "success" (as "true" or "false"), "item_name", "item_id", "item_type".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyPurchaseEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyPurchaseEvent(
        const std::optional<tally::Decimal>& price,
        const std::optional<std::string>& currency,
        std::optional<bool> success,
        const std::optional<std::string>& itemName,
        const std::optional<std::string>& itemId,
        const std::optional<std::string>& itemType,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyPurchaseEvent"; }
};
