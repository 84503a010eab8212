#pragma once
// Install-based sampling: with a sampling factor of 2 or more and no beta
// token, the lifecycle events of an install are kept only when the Java hash
// of its install identifier, as a signed 32-bit number, is a multiple of the
// factor, so the same installs report every time. Other events are always
// kept. Plain functions; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class BBXEventLogEvent;

class BBXAnalyticsEventFilter {
public:
    // No event is discarded; with a beta token nothing else is.
    static bool shouldDiscardEvent(const BBXEventLogEvent* event, const std::optional<std::string>& betaToken,
                                   std::optional<std::string_view> installationID, int64_t factor);
    // The same for an event known by its key.
    static bool shouldDiscardEventWithKey(std::string_view key, bool hasBetaToken,
                                          std::optional<std::string_view> installationID, int64_t factor);
    // The eight "app_*" lifecycle keys other than "app_installed".
    static bool samplingEnabledForEventType(std::string_view key);
    static bool shouldDiscardEventWithInstallationID(std::optional<std::string_view> installationID, int64_t factor);
    static uint32_t javaHashCodeForString(std::string_view text);
};
