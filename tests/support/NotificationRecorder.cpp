#include "NotificationRecorder.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QStringList>

#include <atomic>

namespace testsupport {

namespace {
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
}  // namespace

class NotificationRecorder::Service final : public QDBusVirtualObject {
public:
    explicit Service(QDBusConnection connection) : connection_(std::move(connection)) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        QDBusMessage reply;
        if (member == QLatin1String("Notify") && args.size() == 8) {
            Call call;
            call.method = "Notify";
            call.title = args[3].toString().toStdString();
            call.body = args[4].toString().toStdString();
            if (args[6].canConvert<QDBusArgument>()) call.hints = qdbus_cast<QVariantMap>(args[6].value<QDBusArgument>());
            else call.hints = args[6].toMap();
            call.id = ++lastId_;
            calls_.push_back(call);
            reply = message.createReply(QVariant::fromValue(call.id));
        } else if (member == QLatin1String("CloseNotification") && args.size() == 1) {
            Call call;
            call.method = "CloseNotification";
            call.id = args[0].toUInt();
            calls_.push_back(call);
            reply = message.createReply();
        } else if (member == QLatin1String("GetCapabilities")) {
            reply = message.createReply(QStringList{QStringLiteral("body")});
        } else if (member == QLatin1String("GetServerInformation")) {
            reply = message.createReply(QList<QVariant>{QStringLiteral("recorder"), QStringLiteral("tavlo-tests"),
                                                        QStringLiteral("1"), QStringLiteral("1.2")});
        } else {
            reply = message.createErrorReply(QDBusError::UnknownMethod, member);
        }
        if (answers_) connection_.send(reply);
        return true;
    }

    QDBusConnection connection_;
    std::vector<Call> calls_;
    uint32_t lastId_ = 0;
    bool answers_ = true;
};

std::unique_ptr<NotificationRecorder> NotificationRecorder::start() {
    static std::atomic<int> serial{0};
    QString name = QStringLiteral("tavlo-notification-recorder-%1").arg(serial++);
    QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    if (!connection.isConnected()) return nullptr;
    auto service = std::make_unique<Service>(connection);
    if (!connection.registerVirtualObject(kPath, service.get()) || !connection.registerService(kService)) {
        QDBusConnection::disconnectFromBus(name);
        return nullptr;
    }
    return std::unique_ptr<NotificationRecorder>(new NotificationRecorder(std::move(service)));
}

NotificationRecorder::NotificationRecorder(std::unique_ptr<Service> service) : service_(std::move(service)) {}

NotificationRecorder::~NotificationRecorder() {
    QDBusConnection connection = service_->connection_;
    connection.unregisterService(kService);
    connection.unregisterObject(kPath);
    QString name = connection.name();
    service_.reset();
    QDBusConnection::disconnectFromBus(name);
}

void NotificationRecorder::setAnswers(bool answers) { service_->answers_ = answers; }

const std::vector<NotificationRecorder::Call>& NotificationRecorder::calls() const { return service_->calls_; }

std::vector<std::string> NotificationRecorder::lines() const {
    std::vector<std::string> out;
    for (const Call& call : service_->calls_) {
        if (call.method == "Notify") out.push_back("Notify " + call.title + " | " + call.body);
        else out.push_back("Close " + std::to_string(call.id));
    }
    return out;
}

}  // namespace testsupport
