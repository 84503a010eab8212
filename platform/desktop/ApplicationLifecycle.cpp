#include "ApplicationLifecycle.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <memory>

#include "platform/foundation/NotificationCenter.h"

namespace desktop {

void ApplicationLifecycle::install() {
    static bool installed = false;
    auto* application = QCoreApplication::instance();
    if (installed || !application) return;
    installed = true;
    auto& center = foundation::NotificationCenter::defaultCenter();
    QObject::connect(application, &QCoreApplication::aboutToQuit, [&center] { center.post(kWillTerminate); });
    auto* gui = qobject_cast<QGuiApplication*>(application);
    if (!gui) return;
    auto active = std::make_shared<bool>(QGuiApplication::applicationState() == Qt::ApplicationActive);
    QObject::connect(gui, &QGuiApplication::applicationStateChanged, [&center, active](Qt::ApplicationState state) {
        bool nowActive = state == Qt::ApplicationActive;
        if (nowActive == *active) return;
        *active = nowActive;
        center.post(nowActive ? kDidBecomeActive : kWillResignActive);
    });
}

}  // namespace desktop
