#include "SessionNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "platform/desktop/LogSink.h"
#include "platform/foundation/Format.h"

namespace desktop {

std::shared_ptr<UserNotificationCenter> UserNotificationCenter::makeSessionCenter() {
    return std::make_shared<SessionNotificationCenter>();
}

SessionNotificationCenter::SessionNotificationCenter() = default;

SessionNotificationCenter::SessionNotificationCenter(QDBusConnection bus) : bus_(std::move(bus)) {}

QDBusConnection SessionNotificationCenter::bus() const { return bus_ ? *bus_ : QDBusConnection::sessionBus(); }

std::string SessionNotificationCenter::escapedBody(const std::string& text) {
    std::string body;
    body.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
        case '<': body += "&lt;"; break;
        case '>': body += "&gt;"; break;
        case '&': body += "&amp;"; break;
        default: body += c;
        }
    }
    return body;
}

void SessionNotificationCenter::deliver(const std::string& title, const std::string& informativeText,
                                        const std::string& imagePath) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    if (!imagePath.empty()) hints.insert(QStringLiteral("image-path"), QString::fromStdString(imagePath));
    call << QStringLiteral("Tavlo") << 0u << QStringLiteral("tavlo") << QString::fromStdString(title)
         << QString::fromStdString(escapedBody(informativeText)) << QStringList() << hints << -1;
    std::string shown = title + ": " + informativeText;
    const QDBusConnection connection = bus();
    if (!connection.isConnected()) {
        // A call on no bus never finishes: nothing else would tell.
        DESKTOP_LOG_NOTE(LogTopic::General, foundation::format("Notification \"%@\" not shown: %@", shown,
                                                               std::string("no session bus")));
        return;
    }
    uint64_t number = nextDelivery_++;
    deliveries_[number] = {};
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(call, kCallTimeoutMilliseconds), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, number, shown](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        QDBusPendingReply<uint32_t> reply = *done;
        auto found = deliveries_.find(number);
        if (reply.isError()) {
            DESKTOP_LOG_NOTE(LogTopic::General, foundation::format("Notification \"%@\" not shown: %@", shown,
                                                                   reply.error().message().toStdString()));
            if (found != deliveries_.end()) deliveries_.erase(found);
            return;
        }
        if (found == deliveries_.end()) return;
        if (found->second.closeOnArrival) {
            close(reply.value());
            deliveries_.erase(found);
        } else {
            found->second.id = reply.value();
        }
    });
}

void SessionNotificationCenter::removeAllDelivered() {
    for (auto it = deliveries_.begin(); it != deliveries_.end();) {
        if (it->second.id != 0) {
            close(it->second.id);
            it = deliveries_.erase(it);
        } else {
            it->second.closeOnArrival = true;
            ++it;
        }
    }
}

void SessionNotificationCenter::close(uint32_t id) {
    const QDBusConnection connection = bus();
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
    call << id;
    // Nothing to do with the answer; the limit keeps a silent service from
    // holding the call open.
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(call, kCallTimeoutMilliseconds), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher, &QObject::deleteLater);
}

}  // namespace desktop
