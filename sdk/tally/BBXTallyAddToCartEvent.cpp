#include "sdk/tally/BBXTallyAddToCartEvent.h"

BBXTallyAddToCartEvent::BBXTallyAddToCartEvent(
    const std::optional<tally::Decimal>& price,
    const std::optional<std::string>& currency,
    const std::optional<std::string>& itemName,
    const std::optional<std::string>& itemType,
    const std::optional<std::string>& itemId,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("add_to_cart", customAttributes) {
    addPredefinedNumber(serializePriceToMicros(price), "item_price");
    addPredefinedString(currency, "currency");
    addPredefinedString(itemName, "item_name");
    addPredefinedString(itemType, "item_type");
    addPredefinedString(itemId, "item_id");
}
