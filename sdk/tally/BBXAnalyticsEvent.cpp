#include "sdk/tally/BBXAnalyticsEvent.h"

#include <iterator>

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

namespace {

void logEncodingFailure(const foundation::Error& error) {
    tally::debugLog(foundation::format(
        "[Blackbox:Tally] BBXAnalyticsEvent unable to JSON-encode payloadValueDictionary {error: %@}", error));
}

}  // namespace

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
        logEncodingFailure(json.error());
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

bool BBXAnalyticsEvent::appendTallyEventLine(std::string& out, std::string& payload, const BBXTallyEvent& event,
                                             uint64_t timestamp, const std::string& eventIdentifier) {
    // The dictionary initWithTallyEvent encodes, key by key in its (sorted)
    // order: the metadata, with the two attribute dictionaries and "eventId"
    // set over it. Those three keys are in sorted order here.
    struct Set {
        std::string_view key;
        const Dictionary* dictionary;
        const std::string* text;
    };
    const Set set[] = {{"custom_attributes", &event.customAttributes(), nullptr},
                       {"eventId", nullptr, &eventIdentifier},
                       {"predefined_attributes", &event.predefinedAttributes(), nullptr}};
    payload.clear();
    payload += '{';
    bool first = true;
    auto addKey = [&](std::string_view key) {
        if (!first) payload += ',';
        first = false;
        foundation::JSON::appendQuoted(payload, key);
        payload += ':';
    };
    auto metadata = event.metadata().begin();
    const auto metadataEnd = event.metadata().end();
    for (const Set* next = std::begin(set);; ++next) {
        const bool last = next == std::end(set);
        for (; metadata != metadataEnd && (last || std::string_view(metadata->first) < next->key); ++metadata) {
            addKey(metadata->first);
            if (auto error = foundation::JSON::appendValue(payload, metadata->second)) {
                logEncodingFailure(*error);
                return false;
            }
        }
        if (last) break;
        if (metadata != metadataEnd && metadata->first == next->key) ++metadata;  // set over
        addKey(next->key);
        if (next->text) {
            foundation::JSON::appendQuoted(payload, *next->text);
        } else if (auto error = foundation::JSON::appendValue(payload, *next->dictionary)) {
            logEncodingFailure(*error);
            return false;
        }
    }
    payload += '}';
    appendLine(out, timestamp, event.key(), payload);
    return true;
}

std::string BBXAnalyticsEvent::description() const {
    return foundation::format("%@ {id=%@, key=%@, stringPayloadValueDict=%@}", "BBXAnalyticsEvent", eventIdentifier_,
                              key(), PlistValue(payloadValues_).description());
}
