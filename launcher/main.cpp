// TavloLauncher's entry: no window and no display, one turn of the event loop
// for the launch, then exit 0 whatever happened.
#include <QCoreApplication>
#include <QTimer>

#include "AppDelegate.h"

int main(int argc, char** argv) {
    // The session bus, through which a running application is asked to come
    // forward, wants an application object.
    QCoreApplication application(argc, argv);
    launcher::AppDelegate delegate([] { QCoreApplication::quit(); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] { delegate.applicationWillTerminate(); });
    QTimer::singleShot(0, [&] { delegate.applicationDidFinishLaunching(); });
    QCoreApplication::exec();
    return 0;
}
