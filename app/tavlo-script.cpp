// tavlo-script: sends one script command to the running Tavlo over the
// session bus and says what came of it.
//
//   tavlo-script save TEXT [--in LIST]
//   tavlo-script copy N [--in LIST]
//   tavlo-script save-clipboard [--in LIST]
//
// Exit status: 0 done, 1 Tavlo refused the command (its message on standard
// error), 2 a usage error, 3 Tavlo is not running. A call never starts Tavlo.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QVariantMap>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

#include "platform/desktop/ApplicationBus.h"
#include "platform/foundation/Bundle.h"

namespace {

constexpr const char* kUsage =
    "Usage: tavlo-script save TEXT [--in LIST]\n"
    "       tavlo-script copy N [--in LIST]\n"
    "       tavlo-script save-clipboard [--in LIST]\n"
    "Saves a text or link as a clipping, puts the clipping at position N (0 is the\n"
    "newest, or a list's first) on the clipboard, or saves what the clipboard holds,\n"
    "in the running Tavlo.\n";

int usageError(const std::string& problem) {
    std::fprintf(stderr, "tavlo-script: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

int notRunning() {
    std::fprintf(stderr, "Tavlo is not running\n");
    return 3;
}

// Ends the client once the bus is open. Returning from main would tear the
// process down while the bus connection's thread may still be reading a
// message; it then finds Qt's type registry gone and prints warnings to our
// standard error, which callers read as the command's answer. A one-shot
// client has nothing to tear down, so it leaves at once.
[[noreturn]] void finish(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("no command given");
    const std::string verb = argv[1];
    if (verb == "-h" || verb == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    QString member;
    if (verb == "save") member = QStringLiteral("Save");
    else if (verb == "copy") member = QStringLiteral("Copy");
    else if (verb == "save-clipboard") member = QStringLiteral("SaveClipboard");
    else return usageError("unknown command \"" + verb + "\"");

    std::optional<std::string> direct, list;
    bool options = true;
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (options && word == "--") {
            options = false;
        } else if (options && word == "--in") {
            if (i + 1 >= argc) return usageError("--in needs a list name");
            list = argv[++i];
        } else if (options && word.rfind("--in=", 0) == 0) {
            list = word.substr(5);
        } else if (options && word.size() > 1 && word[0] == '-' && word != "-" &&
                   !(verb == "copy" && std::isdigit(static_cast<unsigned char>(word[1])))) {
            return usageError("unknown option \"" + word + "\"");
        } else if (!direct && verb != "save-clipboard") {
            direct = word;
        } else {
            return usageError("unexpected argument \"" + word + "\"");
        }
    }

    QCoreApplication application(argc, argv);
    std::string identifier = foundation::Bundle::main()->bundleIdentifier();
    if (identifier.empty()) identifier = "com.tavlo.Tavlo";
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) finish(notRunning());

    QVariantMap arguments;
    if (direct) arguments.insert(QString(), QString::fromStdString(*direct));
    if (list) arguments.insert(QStringLiteral("in"), QString::fromStdString(*list));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromStdString(identifier),
        QString::fromStdString(desktop::ApplicationBus::objectPathFor(identifier)),
        QString::fromStdString(desktop::ApplicationBus::scriptingInterfaceFor(identifier)), member);
    call.setAutoStartService(false);
    call << arguments;

    // A Tavlo that is starting has its name before its object: wait for it.
    const auto deadline = std::chrono::steady_clock::now() + desktop::ApplicationBus::kOwnerWait;
    for (;;) {
        QDBusMessage reply = bus.call(call);
        if (reply.type() != QDBusMessage::ErrorMessage) finish(0);
        QDBusError error(reply);
        if (error.type() == QDBusError::ServiceUnknown ||
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
            finish(notRunning());
        if (error.type() == QDBusError::UnknownObject && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        const std::string message = reply.errorMessage().toStdString();
        if (reply.errorName().startsWith(QString::fromStdString(
                desktop::ApplicationBus::scriptingInterfaceFor(identifier) + ".")))
            std::fprintf(stderr, "%s\n", message.c_str());
        else
            std::fprintf(stderr, "tavlo-script: %s\n", message.c_str());
        finish(1);
    }
}
