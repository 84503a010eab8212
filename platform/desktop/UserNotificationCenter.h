#pragma once
// The desktop's notification bubbles as the application uses them: deliver a
// title and a text (and an image), and take back every one this process delivered. Delivery
// never blocks and never fails the caller: a desktop without a notification
// service leaves one log line. The text shows as plain text, whatever it
// holds. Main queue only.
#include <memory>
#include <string>

namespace desktop {

class UserNotificationCenter {
public:
    virtual ~UserNotificationCenter() = default;

    // imagePath, when not empty, is an image file shown beside the text.
    virtual void deliver(const std::string& title, const std::string& informativeText,
                         const std::string& imagePath) = 0;
    void deliver(const std::string& title, const std::string& informativeText) { deliver(title, informativeText, {}); }
    // Closes every notification delivered so far, those whose delivery is still
    // under way included; one delivered afterwards stays.
    virtual void removeAllDelivered() = 0;

    // The session's org.freedesktop.Notifications service.
    static std::shared_ptr<UserNotificationCenter> makeSessionCenter();
};

}  // namespace desktop
