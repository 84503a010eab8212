#pragma once
// An event whose payload is a JSON object: the given payload values plus
// "eventId", its identifier, written compactly on one line. Making one fails
// (null) when the values have no JSON form; with Beacon's debug flag set the
// failure is logged. Immutable; any thread.

#include <memory>
#include <string>

#include "platform/foundation/PlistValue.h"
#include "sdk/tally/BBXEventLogEvent.h"

class BBXTallyEvent;

class BBXAnalyticsEvent : public BBXEventLogEvent {
public:
    using Dictionary = foundation::PlistValue::Dictionary;

    static std::shared_ptr<BBXAnalyticsEvent> initWithPriority(uint64_t priority, uint64_t timestamp, std::string key,
                                                               std::string eventIdentifier, Dictionary payloadValues = {});
    // Priority 2, the Tally event's key and payload dictionary.
    static std::shared_ptr<BBXAnalyticsEvent> initWithTallyEvent(const BBXTallyEvent& event, uint64_t timestamp,
                                                                 std::string eventIdentifier);

    // Appends the line initWithTallyEvent's event would have to out, without
    // making the event: its payload is written straight from the Tally event's
    // parts (payload is the caller's scratch text). False (logged in debug, out
    // unchanged) when the values have no JSON form.
    static bool appendTallyEventLine(std::string& out, std::string& payload, const BBXTallyEvent& event,
                                     uint64_t timestamp, const std::string& eventIdentifier);

    const std::string& eventIdentifier() const { return eventIdentifier_; }
    // The payload values as given, without "eventId".
    const Dictionary& stringPayloadValueDict() const { return payloadValues_; }

    // "BBXAnalyticsEvent {id=<id>, key=<key>, stringPayloadValueDict=<values>}"
    std::string description() const;

protected:
    BBXAnalyticsEvent(uint64_t priority, uint64_t timestamp, std::string key, foundation::Data payload,
                      std::string eventIdentifier, Dictionary payloadValues);

    // The JSON bytes of the values with "eventId"; nullopt (logged in debug) when
    // they have none. The values are left as they were.
    static std::optional<foundation::Data> encodePayload(Dictionary& payloadValues, const std::string& eventIdentifier);

private:
    std::string eventIdentifier_;
    Dictionary payloadValues_;
};
