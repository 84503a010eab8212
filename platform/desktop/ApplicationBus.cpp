#include "ApplicationBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <thread>

#include "ApplicationBusClient.h"

namespace desktop {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kRetryInterval{100};

// The D-Bus signature of a variant's value, for messages.
QString signatureOf(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return qvariant_cast<QDBusArgument>(value).currentSignature();
    const char* signature = QDBusMetaType::typeToSignature(value.metaType());
    return signature ? QString::fromLatin1(signature) : QStringLiteral("?");
}

// A value of the definition's type, or nothing for a value of another type.
std::optional<foundation::PlistValue> evaluate(const QVariant& value, ScriptCommandDefinition::Type type) {
    const int id = value.metaType().id();
    if (id == QMetaType::QString) return foundation::PlistValue(value.toString().toStdString());
    if (type != ScriptCommandDefinition::Type::Integer) return std::nullopt;
    switch (id) {
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong: return foundation::PlistValue(value.toLongLong());
    case QMetaType::ULongLong: {
        qulonglong number = value.toULongLong();
        constexpr auto kMax = static_cast<qulonglong>(std::numeric_limits<int64_t>::max());
        return foundation::PlistValue(static_cast<int64_t>(std::min(number, kMax)));
    }
    default: return std::nullopt;
    }
}

// The application's object: Reopen on its interface, the script commands on
// the scripting interface, and the introspection data that lets a caller
// (gdbus, a launcher) see it is ready.
class ApplicationObject : public QDBusVirtualObject {
public:
    ApplicationObject(std::string identifier, std::function<void()> reopen, ScriptingDefinition scripting)
        : identifier_(std::move(identifier)),
          interface_(QString::fromStdString(ApplicationBus::interfaceFor(identifier_))),
          scriptingInterface_(QString::fromStdString(ApplicationBus::scriptingInterfaceFor(identifier_))),
          reopen_(std::move(reopen)),
          scripting_(std::move(scripting)) {}

    QString introspect(const QString&) const override {
        QString xml = QStringLiteral("  <interface name=\"%1\">\n    <method name=\"Reopen\"/>\n  </interface>\n")
                          .arg(interface_);
        if (scripting_.empty()) return xml;
        xml += QStringLiteral("  <interface name=\"%1\">\n").arg(scriptingInterface_);
        for (const auto& command : scripting_)
            xml += QStringLiteral("    <method name=\"%1\">\n      <arg name=\"arguments\" type=\"a{sv}\" "
                                  "direction=\"in\"/>\n    </method>\n")
                       .arg(QString::fromStdString(command.member));
        return xml + QStringLiteral("  </interface>\n");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.type() != QDBusMessage::MethodCallMessage) return false;
        const bool anyInterface = message.interface().isEmpty();
        if ((anyInterface || message.interface() == interface_) && message.member() == QLatin1String("Reopen")) {
            if (!message.arguments().isEmpty()) {
                connection.send(message.createErrorReply(QDBusError::InvalidArgs,
                                                         QStringLiteral("Reopen takes no arguments")));
                return true;
            }
            if (reopen_) reopen_();
            connection.send(message.createReply());
            return true;
        }
        if (!anyInterface && message.interface() != scriptingInterface_) return false;
        for (const auto& command : scripting_) {
            if (message.member() != QString::fromStdString(command.member)) continue;
            connection.send(perform(command, message));
            return true;
        }
        return false;
    }

private:
    QDBusMessage perform(const ScriptCommandDefinition& definition, const QDBusMessage& message) {
        const QString member = QString::fromStdString(definition.member);
        if (message.signature() != QLatin1String("a{sv}"))
            return message.createErrorReply(
                QDBusError::InvalidArgs,
                QStringLiteral("%1 takes one dictionary of arguments (a{sv}), not \"%2\"").arg(member, message.signature()));
        ScriptCommand::Arguments arguments;
        const QDBusArgument input = qvariant_cast<QDBusArgument>(message.arguments().at(0));
        input.beginMap();
        while (!input.atEnd()) {
            QString key;
            QDBusVariant value;
            input.beginMapEntry();
            input >> key >> value;
            input.endMapEntry();
            auto parameter = std::find_if(definition.parameters.begin(), definition.parameters.end(),
                                          [&](const auto& p) { return QString::fromStdString(p.key) == key; });
            if (parameter == definition.parameters.end())
                return message.createErrorReply(QDBusError::InvalidArgs,
                                                QStringLiteral("%1 has no argument \"%2\"").arg(member, key));
            auto evaluated = evaluate(value.variant(), parameter->type);
            if (!evaluated)
                return message.createErrorReply(
                    QDBusError::InvalidArgs,
                    QStringLiteral("The argument \"%1\" of %2 (%3) must be %4, not \"%5\"")
                        .arg(key, member, QString::fromStdString(parameter->description),
                             parameter->type == ScriptCommandDefinition::Type::Text
                                 ? QStringLiteral("a string (s)")
                                 : QStringLiteral("an integer or a string"),
                             signatureOf(value.variant())));
            arguments[key.toStdString()] = std::move(*evaluated);
        }
        input.endMap();

        int number = 0;
        std::string text;
        if (!arguments.empty()) {
            for (const auto& parameter : definition.parameters)
                if (parameter.required && !arguments.count(parameter.key)) {
                    number = ScriptCommand::kParameterError;
                    text = ScriptCommand::missingParameterMessage(definition.verb);
                }
        }
        if (number == 0) {
            std::unique_ptr<ScriptCommand> command = definition.make();
            command->setEvaluatedArguments(std::move(arguments));
            command->performDefaultImplementation();
            number = command->scriptErrorNumber();
            text = command->scriptErrorString();
        }
        if (number != 0)
            return message.createErrorReply(QString::fromStdString(ApplicationBus::scriptErrorNameFor(identifier_, number)),
                                            QString::fromStdString(text));
        return message.createReply();
    }

    std::string identifier_;
    QString interface_;
    QString scriptingInterface_;
    std::function<void()> reopen_;
    ScriptingDefinition scripting_;
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
    ScriptingDefinition scripting;
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
    return ApplicationBusClient::objectPathFor(identifier);
}

std::string ApplicationBus::interfaceFor(const std::string& identifier) {
    return ApplicationBusClient::interfaceFor(identifier);
}

std::string ApplicationBus::scriptingInterfaceFor(const std::string& identifier) { return identifier + ".Scripting"; }

std::string ApplicationBus::scriptErrorNameFor(const std::string& identifier, int number) {
    return scriptingInterfaceFor(identifier) + (number == ScriptCommand::kParameterError ? ".ParameterError" : ".Error");
}

void ApplicationBus::setScriptingDefinition(ScriptingDefinition definition) { d_->scripting = std::move(definition); }

bool ApplicationBus::hasOwner(const std::string& identifier) { return ApplicationBusClient::hasOwner(identifier); }

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
    return ApplicationBusClient::reopenOwner(identifier, timeout);
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
    d_->object = std::make_unique<ApplicationObject>(d_->identifier, std::move(reopen), d_->scripting);
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
