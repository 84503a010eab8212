#include "sdk/tally/BBXTallyPurchaseEvent.h"

BBXTallyPurchaseEvent::BBXTallyPurchaseEvent(
    const std::optional<tally::Decimal>& price,
    const std::optional<std::string>& currency,
    std::optional<bool> success,
    const std::optional<std::string>& itemName,
    const std::optional<std::string>& itemId,
    const std::optional<std::string>& itemType,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("purchase", customAttributes) {
    addPredefinedNumber(serializePriceToMicros(price), "item_price");
    addPredefinedString(currency, "currency");
    addPredefinedString(serializeSuccess(success), "success");
    addPredefinedString(itemName, "item_name");
    addPredefinedString(itemId, "item_id");
    addPredefinedString(itemType, "item_type");
}
