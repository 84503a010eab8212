#include "ApplicationBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

namespace desktop {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kRetryInterval{100};

// The application's object: Reopen on its interface, and the introspection
// data that lets a caller (gdbus, a launcher) see it is ready.
class ApplicationObject : public QDBusVirtualObject {
public:
    ApplicationObject(QString interface, std::function<void()> reopen)
        : interface_(std::move(interface)), reopen_(std::move(reopen)) {}

    QString introspect(const QString&) const override {
        return QStringLiteral("  <interface name=\"%1\">\n    <method name=\"Reopen\"/>\n  </interface>\n")
            .arg(interface_);
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.type() != QDBusMessage::MethodCallMessage) return false;
        if (message.interface() != interface_ && !message.interface().isEmpty()) return false;
        if (message.member() != QLatin1String("Reopen")) return false;
        if (!message.arguments().isEmpty()) {
            connection.send(message.createErrorReply(QDBusError::InvalidArgs,
                                                     QStringLiteral("Reopen takes no arguments")));
            return true;
        }
        if (reopen_) reopen_();
        connection.send(message.createReply());
        return true;
    }

private:
    QString interface_;
    std::function<void()> reopen_;
};

bool isWaitingError(const QDBusError& error) {
    // The owner is starting (no object yet), quitting (object withdrawn) or
    // has just gone: worth another look.
    switch (error.type()) {
    case QDBusError::UnknownObject:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownInterface:
    case QDBusError::ServiceUnknown:
        return true;
    default:
        return false;
    }
}

bool isSilenceError(const QDBusError& error) {
    return error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout;
}

std::string lockFileName(const std::string& identifier) { return identifier + ".lock"; }

}  // namespace

struct ApplicationBus::Private {
    std::string identifier;
    bool ownsName = false;
    bool published = false;
    std::unique_ptr<ApplicationObject> object;
    int lockFd = -1;
};

ApplicationBus::ApplicationBus(std::unique_ptr<Private> d) : d_(std::move(d)) { onBus_ = d_->ownsName; }

ApplicationBus::~ApplicationBus() {
    withdraw();
    if (d_->ownsName) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected()) bus.interface()->unregisterService(QString::fromStdString(d_->identifier));
    }
    if (d_->lockFd >= 0) ::close(d_->lockFd);  // closing releases the lock
}

std::string ApplicationBus::objectPathFor(const std::string& identifier) {
    std::string path = "/";
    for (char c : identifier) {
        if (c == '.') path += '/';
        else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') path += c;
        else path += '_';
    }
    return path;
}

std::string ApplicationBus::interfaceFor(const std::string& identifier) { return identifier + ".Application"; }

bool ApplicationBus::hasOwner(const std::string& identifier) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    auto reply = bus.interface()->isServiceRegistered(QString::fromStdString(identifier));
    return reply.isValid() && reply.value();
}

namespace {

QDBusMessage callReopen(const std::string& identifier, std::chrono::milliseconds timeout) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromStdString(identifier), QString::fromStdString(ApplicationBus::objectPathFor(identifier)),
        QString::fromStdString(ApplicationBus::interfaceFor(identifier)), QStringLiteral("Reopen"));
    int ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 1));
    return QDBusConnection::sessionBus().call(call, QDBus::Block, ms);
}

}  // namespace

foundation::Result<void> ApplicationBus::reopenOwner(const std::string& identifier,
                                                     std::chrono::milliseconds timeout) {
    if (!QDBusConnection::sessionBus().isConnected())
        return foundation::Error("com.tavlo.desktop.ApplicationBus", 1, "No session bus is reachable");
    QDBusMessage reply = callReopen(identifier, timeout);
    if (reply.type() == QDBusMessage::ErrorMessage)
        return foundation::Error(reply.errorName().toStdString(), 2, reply.errorMessage().toStdString());
    return {};
}

std::unique_ptr<ApplicationBus> ApplicationBus::claim(const std::string& identifier, const std::string& lockFolder,
                                                      ClaimResult& result, std::chrono::milliseconds ownerWait) {
    result = {};
    auto d = std::make_unique<Private>();
    d->identifier = identifier;
    const auto deadline = Clock::now() + ownerWait;

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        // Without a bus a lock file keeps one instance; nobody can be asked to
        // show its window, so a launch beside a running one ends with a message.
        std::error_code ec;
        std::filesystem::create_directories(lockFolder, ec);
        std::string path = (std::filesystem::path(lockFolder) / lockFileName(identifier)).string();
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            result.message = "Cannot open the lock file " + path + ": " + std::strerror(errno);
            return std::unique_ptr<ApplicationBus>(new ApplicationBus(std::move(d)));
        }
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (Clock::now() >= deadline) {
                char buffer[32] = {};
                ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
                ::close(fd);
                result.claim = Claim::OwnerSilent;
                result.ownerPid = n > 0 ? static_cast<pid_t>(std::atoi(buffer)) : 0;
                result.message = "Tavlo is already running (process " + std::to_string(result.ownerPid) +
                                 "); without a session bus it cannot be asked to show its window.";
                return nullptr;
            }
            std::this_thread::sleep_for(kRetryInterval);
        }
        std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
        d->lockFd = fd;
        return std::unique_ptr<ApplicationBus>(new ApplicationBus(std::move(d)));
    }

    QString name = QString::fromStdString(identifier);
    QDBusConnectionInterface* daemon = bus.interface();
    for (;;) {
        auto registered = daemon->registerService(name, QDBusConnectionInterface::DontQueueService,
                                                  QDBusConnectionInterface::AllowReplacement);
        if (registered.isValid() && registered.value() == QDBusConnectionInterface::ServiceRegistered) {
            d->ownsName = true;
            return std::unique_ptr<ApplicationBus>(new ApplicationBus(std::move(d)));
        }
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) break;
        QDBusMessage reply = callReopen(identifier, remaining);
        if (reply.type() != QDBusMessage::ErrorMessage) {
            result.claim = Claim::Reopened;
            return nullptr;
        }
        QDBusError error(reply);
        if (isSilenceError(error) || !isWaitingError(error)) {
            auto pid = daemon->servicePid(name);
            result.claim = Claim::OwnerSilent;
            result.ownerPid = pid.isValid() ? static_cast<pid_t>(pid.value()) : 0;
            result.message = "Tavlo is already running (process " + std::to_string(result.ownerPid) +
                             ") but does not answer: " + error.message().toStdString();
            return nullptr;
        }
        std::this_thread::sleep_for(kRetryInterval);
    }

    // The owner neither became ready nor let the name go in time: it is stuck
    // starting or quitting, so this launch takes over.
    auto replaced = daemon->registerService(name, QDBusConnectionInterface::ReplaceExistingService,
                                            QDBusConnectionInterface::AllowReplacement);
    if (replaced.isValid() && replaced.value() == QDBusConnectionInterface::ServiceRegistered) {
        d->ownsName = true;
        result.message = "Took over from an instance that did not finish starting or quitting";
        return std::unique_ptr<ApplicationBus>(new ApplicationBus(std::move(d)));
    }
    auto pid = daemon->servicePid(name);
    result.claim = Claim::OwnerSilent;
    result.ownerPid = pid.isValid() ? static_cast<pid_t>(pid.value()) : 0;
    result.message = "Tavlo is already running (process " + std::to_string(result.ownerPid) +
                     ") and would not hand over its name";
    return nullptr;
}

bool ApplicationBus::publish(std::function<void()> reopen) {
    if (!d_->ownsName || d_->published) return false;
    d_->object = std::make_unique<ApplicationObject>(QString::fromStdString(interfaceFor(d_->identifier)),
                                                     std::move(reopen));
    d_->published = QDBusConnection::sessionBus().registerVirtualObject(
        QString::fromStdString(objectPathFor(d_->identifier)), d_->object.get());
    return d_->published;
}

void ApplicationBus::withdraw() {
    if (!d_->published) return;
    QDBusConnection::sessionBus().unregisterObject(QString::fromStdString(objectPathFor(d_->identifier)));
    d_->published = false;
}

}  // namespace desktop
