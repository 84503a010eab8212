#pragma once
// The predefined event "add_to_cart": an item added to a cart. Attributes, in the order added: "item_price" (in millionths), "currency", "item_name", "item_type", "item_id".

#include <optional>
#include <string>

#include "sdk/tally/BBXTallyPredefinedEvent.h"

class BBXTallyAddToCartEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyAddToCartEvent(
        const std::optional<tally::Decimal>& price,
        const std::optional<std::string>& currency,
        const std::optional<std::string>& itemName,
        const std::optional<std::string>& itemType,
        const std::optional<std::string>& itemId,
        const std::optional<Dictionary>& customAttributes = std::nullopt);

protected:
    const char* className() const override { return "BBXTallyAddToCartEvent"; }
};
