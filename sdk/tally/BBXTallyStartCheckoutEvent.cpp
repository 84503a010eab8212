#include "sdk/tally/BBXTallyStartCheckoutEvent.h"

BBXTallyStartCheckoutEvent::BBXTallyStartCheckoutEvent(
    const std::optional<tally::Decimal>& price,
    const std::optional<std::string>& currency,
    const std::optional<foundation::PlistValue>& itemCount,
    const std::optional<Dictionary>& customAttributes)
    : BBXTallyPredefinedEvent("start_checkout", customAttributes) {
    addPredefinedNumber(serializePriceToMicros(price), "total_price");
    addPredefinedString(currency, "currency");
    addPredefinedNumber(serializeNSNumberAsInteger(itemCount), "item_count");
}
