#pragma once
// UserNotificationCenter over org.freedesktop.Notifications on the session
// bus. Every call is asynchronous with a limit of 2 s, so a service that never
// answers costs the caller nothing; a failed delivery writes one General line.
// Servers read the body as markup: it goes out with "<", ">" and "&" escaped.
#include <QDBusConnection>
#include <QObject>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "UserNotificationCenter.h"

namespace desktop {

class SessionNotificationCenter final : public QObject, public UserNotificationCenter {
public:
    static constexpr int kCallTimeoutMilliseconds = 2000;
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kInterface = "org.freedesktop.Notifications";

    SessionNotificationCenter();
    // Over another connection than the session bus (tests: one never connected).
    explicit SessionNotificationCenter(QDBusConnection bus);

    using UserNotificationCenter::deliver;
    // The image goes as the "image-path" hint.
    void deliver(const std::string& title, const std::string& informativeText, const std::string& imagePath) override;
    void removeAllDelivered() override;

    // The text as a markup body that shows it literally.
    static std::string escapedBody(const std::string& text);

private:
    QDBusConnection bus() const;
    void close(uint32_t id);

    struct Delivery {
        uint32_t id = 0;  // 0 while the service has not answered
        bool closeOnArrival = false;
    };
    std::optional<QDBusConnection> bus_;
    uint64_t nextDelivery_ = 0;
    std::map<uint64_t, Delivery> deliveries_;
};

}  // namespace desktop
