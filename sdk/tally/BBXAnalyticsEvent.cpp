#include "sdk/tally/BBXAnalyticsEvent.h"

#include "platform/foundation/Format.h"
#include "platform/foundation/JSON.h"
#include "sdk/tally/BBXTallyEvent.h"
#include "sdk/tally/TallyLog.h"

using foundation::PlistValue;

BBXAnalyticsEvent::BBXAnalyticsEvent(uint64_t priority, uint64_t timestamp, std::string key, foundation::Data payload,
                                     std::string eventIdentifier, Dictionary payloadValues)
    : BBXEventLogEvent(priority, timestamp, std::move(key), std::move(payload)),
      eventIdentifier_(std::move(eventIdentifier)),
      payloadValues_(std::move(payloadValues)) {}

std::optional<foundation::Data> BBXAnalyticsEvent::encodePayload(Dictionary& payloadValues,
                                                                 const std::string& eventIdentifier) {
    // The values are encoded in place, with "eventId" set for the encoding only:
    // they come back as they were, without a copy.
    PlistValue payload(std::move(payloadValues));
    Dictionary& values = *payload.asDictionary();
    std::optional<PlistValue> given;
    if (auto existing = values.find("eventId"); existing != values.end()) given = std::move(existing->second);
    values["eventId"] = eventIdentifier;
    auto json = foundation::JSON::write(payload);
    if (given) values["eventId"] = std::move(*given);
    else values.erase("eventId");
    payloadValues = std::move(values);
    if (!json.ok()) {
        tally::debugLog(foundation::format(
            "[Blackbox:Tally] BBXAnalyticsEvent unable to JSON-encode payloadValueDictionary {error: %@}", json.error()));
        return std::nullopt;
    }
    return foundation::Data::fromString(json.value());
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsEvent::initWithPriority(uint64_t priority, uint64_t timestamp,
                                                                       std::string key, std::string eventIdentifier,
                                                                       Dictionary payloadValues) {
    auto payload = encodePayload(payloadValues, eventIdentifier);
    if (!payload) return nullptr;
    return std::shared_ptr<BBXAnalyticsEvent>(new BBXAnalyticsEvent(priority, timestamp, std::move(key), std::move(*payload),
                                                                    std::move(eventIdentifier), std::move(payloadValues)));
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsEvent::initWithTallyEvent(const BBXTallyEvent& event, uint64_t timestamp,
                                                                         std::string eventIdentifier) {
    return initWithPriority(2, timestamp, event.key(), std::move(eventIdentifier), event.payloadDictionary());
}

std::string BBXAnalyticsEvent::description() const {
    return foundation::format("%@ {id=%@, key=%@, stringPayloadValueDict=%@}", "BBXAnalyticsEvent", eventIdentifier_,
                              key(), PlistValue(payloadValues_).description());
}
