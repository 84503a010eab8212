#include "PortalInterfaceStyle.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/NotificationCenter.h"

namespace desktop {

namespace {

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.Settings";
constexpr const char* kNamespace = "org.freedesktop.appearance";
constexpr const char* kKey = "color-scheme";
// The portal answers at once when it runs; without it the bus answers at once
// too, unless it first tries to start one. Never hold start-up longer than this.
constexpr int kReadTimeoutMilliseconds = 300;

// The portal wraps its value in one or two variants.
QVariant unwrap(QVariant value) {
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

}  // namespace

class PortalInterfaceStyle::Listener : public QObject {
    Q_OBJECT
public:
    explicit Listener(PortalInterfaceStyle* owner) : owner_(owner) {}

public Q_SLOTS:
    void settingChanged(const QString& nameSpace, const QString& key, const QDBusVariant& value) {
        if (nameSpace != QLatin1String(kNamespace) || key != QLatin1String(kKey)) return;
        owner_->update(prefersDark(unwrap(value.variant()).toUInt()));
    }

private:
    PortalInterfaceStyle* owner_;
};

PortalInterfaceStyle::PortalInterfaceStyle() = default;

PortalInterfaceStyle::~PortalInterfaceStyle() {
    if (listener_) {
        QDBusConnection::sessionBus().disconnect(kService, kPath, kInterface, "SettingChanged", listener_.get(),
                                                 SLOT(settingChanged(QString, QString, QDBusVariant)));
    }
}

bool PortalInterfaceStyle::gtkThemePrefersDark(const char* gtkTheme) {
    if (!gtkTheme) return false;
    size_t length = std::strlen(gtkTheme);
    return length >= 5 && std::strcmp(gtkTheme + length - 5, ":dark") == 0;
}

void PortalInterfaceStyle::start() const {
    dark_ = gtkThemePrefersDark(std::getenv("GTK_THEME"));
    // D-Bus needs Qt's application object; a tool without one keeps the fallback.
    if (!QCoreApplication::instance()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage read = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Read");
    read << QString(kNamespace) << QString(kKey);
    QDBusMessage reply = bus.call(read, QDBus::Block, kReadTimeoutMilliseconds);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        dark_ = prefersDark(unwrap(reply.arguments().first()).toUInt());
    auto* self = const_cast<PortalInterfaceStyle*>(this);
    listener_ = std::make_unique<Listener>(self);
    listener_->moveToThread(QCoreApplication::instance()->thread());
    bus.connect(kService, kPath, kInterface, "SettingChanged", listener_.get(),
                SLOT(settingChanged(QString, QString, QDBusVariant)));
}

foundation::PlistValue PortalInterfaceStyle::appleInterfaceStyle() const {
    std::call_once(started_, [this] { start(); });
    return dark_ ? foundation::PlistValue("Dark") : foundation::PlistValue();
}

void PortalInterfaceStyle::update(bool dark) {
    if (dark_.exchange(dark) == dark) return;
    foundation::NotificationCenter::defaultCenter().post(kChangedNotification);
}

}  // namespace desktop

#include "PortalInterfaceStyle.moc"
