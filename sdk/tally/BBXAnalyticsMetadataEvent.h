#pragma once
// The line that opens every event log file: key "metadata", the session
// metadata JSON as payload. Immutable; any thread.

#include "sdk/tally/BBXEventLogEvent.h"

class BBXAnalyticsMetadataEvent : public BBXEventLogEvent {
public:
    BBXAnalyticsMetadataEvent(uint64_t priority, uint64_t timestamp, foundation::Data metadataJSONData)
        : BBXEventLogEvent(priority, timestamp, "metadata", std::move(metadataJSONData)) {}

    const foundation::Data& metadataJSONData() const { return *payload(); }
};
