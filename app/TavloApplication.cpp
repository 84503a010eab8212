#include "TavloApplication.h"

#include <QEvent>

#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/blackbox/BBXApplicationHooks.h"
#include "sdk/blackbox/BBXException.h"
#include "sdk/blackbox/BBXKitException.h"

TavloApplication::TavloApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // Registered before the kits start, so the crash kit finds the reporter
    // it may replace.
    BBXApplicationRegister(kBBXApplicationClassName, this, reportException);
}

TavloApplication::~TavloApplication() { BBXApplicationRegister(kBBXApplicationClassName, nullptr, nullptr); }

bool TavloApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const BBXKitException& exception) {
        BBXApplicationReportException(kBBXApplicationClassName, exception);
        return false;
    }
}

bool TavloApplication::event(QEvent* event) {
    if (event->type() == QEvent::Quit) {
        QCoreApplication::exit(0);
        return true;
    }
    return QApplication::event(event);
}

void TavloApplication::reportException(void*, const BBXKitException& exception) {
    foundation::systemLog(foundation::format("%@: %@", exception.name(), exception.reason()));
}
