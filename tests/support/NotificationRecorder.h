#pragma once
// A notification service for tests: owns org.freedesktop.Notifications on the
// session bus (a private one the test started) over a connection of its own,
// records each Notify (title, body, hints) and CloseNotification, and can be
// told never to answer. Lives on the thread that made it; calls are handled
// while that thread runs its event loop.
#include <QVariantMap>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class NotificationRecorder {
public:
    struct Call {
        std::string method;  // "Notify" or "CloseNotification"
        std::string title;
        std::string body;
        QVariantMap hints;
        uint32_t id = 0;  // the id Notify answered, or the one closed
    };

    // Nothing when the name cannot be taken (no bus, or taken already).
    static std::unique_ptr<NotificationRecorder> start();
    ~NotificationRecorder();

    // Off: calls are recorded but never answered.
    void setAnswers(bool answers);
    const std::vector<Call>& calls() const;
    // The calls as "Notify <title> | <body>" and "Close <id>" lines.
    std::vector<std::string> lines() const;

    class Service;

private:
    explicit NotificationRecorder(std::unique_ptr<Service> service);
    std::unique_ptr<Service> service_;
};

}  // namespace testsupport
