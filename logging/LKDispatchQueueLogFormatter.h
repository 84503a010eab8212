#pragma once
// Prefixes each line with a millisecond time stamp and the name of the queue or
// thread that logged it: "2024-05-01 09:30:00:123 [main] text".
//
// May be carried by several loggers at once, whose queues call it in parallel:
// the replacements are guarded, and the date text keeps no shared state (so,
// unlike a formatter object, it needs no copy per thread once a second logger
// carries it, and the loggers carrying it need not be counted).

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "LKLogFormatter.h"
#include "LKLogMessage.h"

class LKDispatchQueueLogFormatter : public LKLogFormatter {
public:
    LKDispatchQueueLogFormatter();

    // The short name shown for a queue or thread label, if any.
    std::optional<std::string> replacementStringForQueueLabel(const std::string& label) const;
    // Sets the short name; no name removes it.
    void setReplacementString(std::optional<std::string> replacement, const std::string& label);

    // 0 for either: no blanks added, nothing cut.
    uint64_t minQueueLength() const { return minQueueLength_; }
    void setMinQueueLength(uint64_t length) { minQueueLength_ = length; }
    uint64_t maxQueueLength() const { return maxQueueLength_; }
    void setMaxQueueLength(uint64_t length) { maxQueueLength_ = length; }

    // Local time as "yyyy-MM-dd HH:mm:ss:SSS" (Gregorian calendar, milliseconds).
    std::string stringFromDate(logging::Timestamp date) const;
    // The queue's label unless it is a shared global queue, else the thread's
    // name, else the thread id; shortened or padded to the configured lengths.
    std::string queueThreadLabelForLogMessage(const LKLogMessage& message) const;

    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;

private:
    std::atomic<uint64_t> minQueueLength_{0};
    std::atomic<uint64_t> maxQueueLength_{0};
    mutable std::mutex replacementsMutex_;
    std::map<std::string, std::string> replacements_;
};
