#include "sdk/tally/BBXAnalyticsApplicationLifecycleEvent.h"

using Event = BBXAnalyticsApplicationLifecycleEvent;

std::shared_ptr<Event> Event::make(uint64_t priority, const char* key, uint64_t timestamp, std::string eventIdentifier) {
    Dictionary values;
    auto payload = encodePayload(values, eventIdentifier);
    if (!payload) return nullptr;
    return std::shared_ptr<Event>(new Event(priority, timestamp, key, std::move(*payload), std::move(eventIdentifier), {}));
}

std::shared_ptr<Event> Event::initApplicationInstalledEvent(uint64_t timestamp, std::string eventIdentifier) {
    return make(0, "app_installed", timestamp, std::move(eventIdentifier));
}

std::shared_ptr<Event> Event::initApplicationLaunchedEvent(uint64_t timestamp, std::string eventIdentifier) {
    return make(1, "app_launched", timestamp, std::move(eventIdentifier));
}

std::shared_ptr<Event> Event::initApplicationCrashedEvent(uint64_t timestamp, std::string eventIdentifier) {
    return make(1, "app_crashed", timestamp, std::move(eventIdentifier));
}

std::shared_ptr<Event> Event::initWithApplicationNotificationName(const std::string& name, uint64_t timestamp,
                                                                  std::string eventIdentifier,
                                                                  bool highPriorityEventOnBackground) {
    if (name == kWillTerminateNotification) return make(1, "app_terminated", timestamp, std::move(eventIdentifier));
    if (name == kWillResignActiveNotification)
        return make(highPriorityEventOnBackground ? 0 : 1, "app_became_inactive", timestamp, std::move(eventIdentifier));
    if (name == kDidBecomeActiveNotification) return make(0, "app_became_active", timestamp, std::move(eventIdentifier));
    return nullptr;
}
