#include "sdk/tally/BBXAnalyticsTimestampGenerator.h"

#include <cmath>

#include "platform/foundation/Date.h"

uint64_t BBXAnalyticsTimestampGenerator::generateAnalyticsTimestamp() {
    return timestampFromSeconds(foundation::Date::now().timeIntervalSince1970());
}

uint64_t BBXAnalyticsTimestampGenerator::timestampFromSeconds(double secondsSince1970) {
    double milliseconds = std::floor(secondsSince1970 * 1000.0);
    if (!(milliseconds > 0)) return 0;
    if (milliseconds >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(milliseconds);
}
