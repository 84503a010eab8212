// A stand-in application for the single-instance tests: claims a bus name as
// the application does and says on standard output what happened.
//
//   bus_owner_probe IDENTIFIER LOCKFOLDER [--wait MS] [--no-publish] [--slow-quit MS]
//
// Prints "owner", "reopened" or "silent PID", then, as owner, "published"
// once its object is up and "reopen" for each Reopen call. SIGTERM makes it
// withdraw the object, take --slow-quit milliseconds over its last writes and
// exit 0, releasing the name only then. Its object also answers the script
// command Echo (a required integer "" and an optional text "in"), which prints
// "echo", the thread it ran on and its evaluated arguments, and refuses the
// position 50 with the parameter error.
#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/desktop/ApplicationBus.h"
#include "platform/desktop/ScriptCommand.h"
#include "platform/foundation/ThreadIdentity.h"
#include "platform/desktop/TerminationSignals.h"

namespace {

class EchoCommand : public desktop::ScriptCommand {
public:
    void performDefaultImplementation() override {
        std::string line = foundation::isMainThread() ? "echo main" : "echo other";
        for (const auto& [key, value] : evaluatedArguments()) line += " " + key + "=" + value.description();
        std::printf("%s\n", line.c_str());
        auto position = evaluatedArguments().find("");
        if (position != evaluatedArguments().end() && position->second.integerValue() == 50) {
            setScriptErrorNumber(kParameterError);
            setScriptErrorString("refused");
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc < 3) return 2;
    std::string identifier = argv[1];
    std::string lockFolder = argv[2];
    std::chrono::milliseconds wait = desktop::ApplicationBus::kOwnerWait;
    std::chrono::milliseconds slowQuit{0};
    bool publish = true;
    for (int i = 3; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--wait") && i + 1 < argc) wait = std::chrono::milliseconds(std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--slow-quit") && i + 1 < argc)
            slowQuit = std::chrono::milliseconds(std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--no-publish")) publish = false;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    desktop::ApplicationBus::ClaimResult result;
    auto bus = desktop::ApplicationBus::claim(identifier, lockFolder, result, wait);
    switch (result.claim) {
    case desktop::ApplicationBus::Claim::Reopened:
        std::printf("reopened\n");
        return 0;
    case desktop::ApplicationBus::Claim::OwnerSilent:
        std::printf("silent %d\n", static_cast<int>(result.ownerPid));
        return 1;
    case desktop::ApplicationBus::Claim::Owner:
        std::printf("owner\n");
        break;
    }
    desktop::TerminationSignals::install([] { QCoreApplication::quit(); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] { bus->withdraw(); });
    using Type = desktop::ScriptCommandDefinition::Type;
    bus->setScriptingDefinition({{"Echo", "echo",
                                  {{"", Type::Integer, true, "the position"}, {"in", Type::Text, false, "a list"}},
                                  [] { return std::make_unique<EchoCommand>(); }}});
    if (publish && bus->publish([] { std::printf("reopen\n"); })) std::printf("published\n");
    else if (publish && !bus->onSessionBus()) std::printf("published\n");  // a lock has nothing to publish
    int status = QCoreApplication::exec();
    std::this_thread::sleep_for(slowQuit);
    bus.reset();
    std::printf("gone\n");
    return status;
}
