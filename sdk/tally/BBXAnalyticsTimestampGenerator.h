#pragma once
// Event and folder times: whole milliseconds since 1970 (UTC), the fraction
// dropped, from foundation::Date's clock (which tests can set). Virtual so that
// tests can give a scripted sequence; any thread.

#include <cstdint>

class BBXAnalyticsTimestampGenerator {
public:
    virtual ~BBXAnalyticsTimestampGenerator() = default;
    virtual uint64_t generateAnalyticsTimestamp();

    // floor(seconds x 1000); 0 for times before 1970.
    static uint64_t timestampFromSeconds(double secondsSince1970);
};
