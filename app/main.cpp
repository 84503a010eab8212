// Tavlo's entry: one instance per session, the delegate's start-up once the
// event loop runs, and every way of quitting ending in the same writes.
#include <QApplication>
#include <QTimer>

#include <openssl/crypto.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "AppDelegate.h"
#include "TavloApplication.h"
#include "TLScriptCommand.h"
#include "kit/TLDatabaseManager.h"
#include "logging/TLLog.h"
#include "platform/cloud/StoredKeyValueStore.h"
#include "platform/desktop/ApplicationBus.h"
#include "platform/desktop/ApplicationBusClient.h"
#include "platform/desktop/KeyLabels.h"
#include "platform/desktop/LogSink.h"
#include "platform/desktop/TerminationSignals.h"
#include "platform/dispatch/UserDefaultsWatch.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"
#include "views/TLCellHeightCache.h"
#include "views/TLTavloWindowController.h"

int main(int argc, char** argv) {
    // OpenSSL would clean itself up at exit while worker and transfer threads
    // may still be running: their per-thread state would be freed under them,
    // or lost once its key is gone. The process's end frees everything anyway.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);

    // Tests only: a computer whose clock is wrong by this many seconds, read
    // once, before anything reads the time.
    if (const char* offset = std::getenv("TAVLO_CLOCK_OFFSET"); offset && !foundation::Date::offsetClock(offset))
        std::fprintf(stderr, "TAVLO_CLOCK_OFFSET is not a number of seconds: %s\n", offset);

    std::string identifier = foundation::Bundle::main()->bundleIdentifier();
    if (identifier.empty()) identifier = "com.tavlo.Tavlo";
    // A launch beside a running instance only asks it to show its window,
    // which needs no display, fonts or widgets: asked before any of them is
    // loaded. An owner that does not answer (still starting, or quitting) is
    // left to the claim below, which waits for it.
    if (desktop::ApplicationBusClient::hasOwner(identifier) &&
        desktop::ApplicationBusClient::reopenOwner(identifier, std::chrono::seconds(2)))
        return 0;

    TavloApplication application(argc, argv);
    // Tavlo lives in the tray: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tavlo"));
    // Menus and shortcut labels say "Super" where Qt would say "Meta".
    desktop::installKeyNameTranslator();
    // The desktop layer's notes go to the log files with the rest, under the
    // function that wrote them.
    desktop::setLogSink([](const desktop::LogNote& note) {
        int64_t context = note.topic == desktop::LogTopic::Pasteboard ? TLLogContextPasteboard : TLLogContextGeneral;
        LKLog::logMessage(true, std::make_shared<const LKLogMessage>(note.text, TLLogLevel, LKLogFlagWarning, context,
                                                                     std::string(note.file),
                                                                     TLCompactFunctionName(note.function), note.line,
                                                                     nullptr, 0));
    });

    // Settings files other processes replace are read again off the main thread.
    dispatch::UserDefaultsWatch::install();

    // Settled before start-up touches anything: its first step empties the
    // temporary folder that a running instance's image copies live in.
    desktop::ApplicationBus::ClaimResult claim;
    std::unique_ptr<desktop::ApplicationBus> bus = desktop::ApplicationBus::claim(
        identifier, (foundation::Paths::cacheHome() / foundation::Paths::kApplicationFolder).string(), claim);
    if (!bus) {
        if (claim.claim == desktop::ApplicationBus::Claim::Reopened) return 0;
        std::fprintf(stderr, "%s\n", claim.message.c_str());
        return 1;
    }
    if (!claim.message.empty()) std::fprintf(stderr, "%s\n", claim.message.c_str());

    desktop::TerminationSignals::install([] { QCoreApplication::quit(); });

    // Settings mirrored between devices go through the account's store,
    // with this device's copy for offline reads.
    cloud::UbiquitousKeyValueStore::setDefaultStore(cloud::StoredKeyValueStore::make());

    AppDelegate delegate;
    // At quit the object goes first, so that a launch from now on waits for
    // this process to finish writing instead of asking it to reopen; the store
    // then writes what its parent context holds.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] {
        bus->withdraw();
        delegate.applicationWillTerminate();
    });
    TLDatabaseManager::sharedManager()->installTerminationHook();

    QTimer::singleShot(0, [&] {
        delegate.applicationDidFinishLaunching();
        bus->setScriptingDefinition(TLScriptCommand::scriptingDefinition());
        bus->publish([&delegate] {
            auto* controller = delegate.tavloWindowController();
            delegate.applicationShouldHandleReopen(controller && controller->window()->isVisible());
        });
    });

    int status = QApplication::exec();
    TLCellHeightCache::storeNow();  // the row heights measured since the last store
    foundation::UserDefaults::synchronizeAll();
    bus.reset();  // the name goes only after the last write
    return status;
}
