#include "sdk/tally/BBXEventLogEvent.h"

#include <charconv>
#include <functional>
#include <string_view>

BBXEventLogEvent::BBXEventLogEvent(uint64_t priority, uint64_t timestamp, std::string key,
                                   std::optional<foundation::Data> payload)
    : priority_(priority), timestamp_(timestamp), key_(std::move(key)), payload_(std::move(payload)) {}

namespace {

void appendNumber(std::string& out, uint64_t number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, end);
}

}  // namespace

void BBXEventLogEvent::appendEventData(std::string& out) const {
    appendLine(out, timestamp_, key_,
               payload_ ? std::optional<std::string_view>(std::string_view(
                              reinterpret_cast<const char*>(payload_->bytes()), payload_->length()))
                        : std::nullopt);
}

void BBXEventLogEvent::appendLine(std::string& out, uint64_t timestamp, std::string_view key,
                                  std::optional<std::string_view> payload) {
    out.reserve(out.size() + 48 + key.size() + (payload ? payload->size() : 0));
    // The timestamp is written as a signed 64-bit number would be; every
    // millisecond time before the year 292 million is the same either way.
    appendNumber(out, timestamp);
    out += '\t';
    out += key;
    if (payload) {
        out += '\t';
        appendNumber(out, payload->size());
        out += '\t';
        out += *payload;
    }
    out += '\n';
}

foundation::Data BBXEventLogEvent::eventData() const {
    std::string line;
    appendEventData(line);
    return foundation::Data(line.data(), line.size());
}

bool BBXEventLogEvent::isEqual(const BBXEventLogEvent& other) const {
    return priority_ == other.priority_ && timestamp_ == other.timestamp_ && key_ == other.key_ &&
           payload_ == other.payload_;
}

uint64_t BBXEventLogEvent::hash() const {
    uint64_t keyHash = std::hash<std::string>{}(key_);
    uint64_t payloadHash =
        payload_ ? std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(payload_->bytes()),
                                                                  payload_->length()))
                 : 0;
    return timestamp_ * 2 + priority_ + keyHash * 4 + payloadHash * 8;
}
