#pragma once
// One record of an event log file: priority (0 high, 1 medium, 2 low; it picks
// the file), time in milliseconds since 1970, key and optional payload bytes.
// Immutable; any thread.
//
// Its line (eventData), byte for byte:
//   <timestamp digits> TAB <key in UTF-8> LF                                  without payload
//   <timestamp digits> TAB <key> TAB <payload length in bytes> TAB <payload> LF  with one
// The length lets a reader skip the payload without scanning it; the kit's
// payloads are compact JSON, which holds no raw LF, TAB or NUL.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"

class BBXEventLogEvent {
public:
    BBXEventLogEvent(uint64_t priority, uint64_t timestamp, std::string key,
                     std::optional<foundation::Data> payload = std::nullopt);
    virtual ~BBXEventLogEvent() = default;

    uint64_t priority() const { return priority_; }
    uint64_t timestamp() const { return timestamp_; }
    const std::string& key() const { return key_; }
    const std::optional<foundation::Data>& payload() const { return payload_; }

    foundation::Data eventData() const;
    // Appends the line to out (no copy of the payload beyond the append).
    void appendEventData(std::string& out) const;
    // The line of an event with these parts, for writers that have no event object.
    static void appendLine(std::string& out, uint64_t timestamp, std::string_view key,
                           std::optional<std::string_view> payload);

    // Equal priority, timestamp, key and payload (both missing counts as equal).
    bool isEqual(const BBXEventLogEvent& other) const;
    bool operator==(const BBXEventLogEvent& other) const { return isEqual(other); }
    // timestamp * 2 + priority + hash(key) * 4 + hash(payload) * 8, wrapping.
    uint64_t hash() const;

private:
    uint64_t priority_;
    uint64_t timestamp_;
    std::string key_;
    std::optional<foundation::Data> payload_;
};
