#include "sdk/tally/BBXAnalyticsEventFilter.h"

#include <array>
#include <algorithm>

#include "sdk/tally/BBXEventLogEvent.h"
#include "sdk/tally/UTF16.h"

bool BBXAnalyticsEventFilter::shouldDiscardEvent(const BBXEventLogEvent* event, const std::optional<std::string>& betaToken,
                                                 std::optional<std::string_view> installationID, int64_t factor) {
    if (!event) return true;
    return shouldDiscardEventWithKey(event->key(), betaToken.has_value(), installationID, factor);
}

bool BBXAnalyticsEventFilter::shouldDiscardEventWithKey(std::string_view key, bool hasBetaToken,
                                                        std::optional<std::string_view> installationID, int64_t factor) {
    if (hasBetaToken) return false;
    if (!samplingEnabledForEventType(key)) return false;
    return shouldDiscardEventWithInstallationID(installationID, factor);
}

bool BBXAnalyticsEventFilter::samplingEnabledForEventType(std::string_view key) {
    static constexpr std::array<std::string_view, 8> kSampled = {
        "app_launched",           "app_terminated",         "app_crashed",         "app_memory_warning",
        "app_entered_background", "app_entered_foreground", "app_became_inactive", "app_became_active"};
    return std::find(kSampled.begin(), kSampled.end(), key) != kSampled.end();
}

bool BBXAnalyticsEventFilter::shouldDiscardEventWithInstallationID(std::optional<std::string_view> installationID,
                                                                   int64_t factor) {
    if (!installationID || factor < 2) return false;
    auto hash = static_cast<int64_t>(static_cast<int32_t>(javaHashCodeForString(*installationID)));
    return hash % factor != 0;
}

uint32_t BBXAnalyticsEventFilter::javaHashCodeForString(std::string_view text) { return tally::javaHashCode(text); }
