#pragma once
// The application's own events, each with the payload {"eventId": id}:
//
//   app_installed        priority 0
//   app_launched         priority 1
//   app_crashed          priority 1   (the previous run's crash)
//   app_terminated       priority 1   on kWillTerminateNotification
//   app_became_inactive  priority 0 when high priority on background is asked
//                        for, else 1; on kWillResignActiveNotification
//   app_became_active    priority 0   on kDidBecomeActiveNotification
//
// Any other notification name makes no event. Immutable; any thread.

#include <memory>
#include <string>

#include "sdk/tally/BBXAnalyticsEvent.h"

class BBXAnalyticsApplicationLifecycleEvent : public BBXAnalyticsEvent {
public:
    static constexpr const char* kWillTerminateNotification = "NSApplicationWillTerminateNotification";
    static constexpr const char* kWillResignActiveNotification = "NSApplicationWillResignActiveNotification";
    static constexpr const char* kDidBecomeActiveNotification = "NSApplicationDidBecomeActiveNotification";

    static std::shared_ptr<BBXAnalyticsApplicationLifecycleEvent> initApplicationInstalledEvent(uint64_t timestamp,
                                                                                                std::string eventIdentifier);
    static std::shared_ptr<BBXAnalyticsApplicationLifecycleEvent> initApplicationLaunchedEvent(uint64_t timestamp,
                                                                                               std::string eventIdentifier);
    static std::shared_ptr<BBXAnalyticsApplicationLifecycleEvent> initApplicationCrashedEvent(uint64_t timestamp,
                                                                                              std::string eventIdentifier);
    static std::shared_ptr<BBXAnalyticsApplicationLifecycleEvent> initWithApplicationNotificationName(
        const std::string& name, uint64_t timestamp, std::string eventIdentifier, bool highPriorityEventOnBackground);

private:
    using BBXAnalyticsEvent::BBXAnalyticsEvent;
    static std::shared_ptr<BBXAnalyticsApplicationLifecycleEvent> make(uint64_t priority, const char* key,
                                                                       uint64_t timestamp, std::string eventIdentifier);
};
