#pragma once
// The desktop's notification bubbles as the application uses them: deliver a
// title and a text, and take back every one this process delivered. Delivery
// never blocks and never fails the caller: a desktop without a notification
// service leaves one log line. Main queue only.
#include <memory>
#include <string>

namespace desktop {

class UserNotificationCenter {
public:
    virtual ~UserNotificationCenter() = default;

    virtual void deliver(const std::string& title, const std::string& informativeText) = 0;
    // Closes every notification delivered so far, those whose delivery is still
    // under way included; one delivered afterwards stays.
    virtual void removeAllDelivered() = 0;

    // The session's org.freedesktop.Notifications service.
    static std::shared_ptr<UserNotificationCenter> makeSessionCenter();
};

}  // namespace desktop
