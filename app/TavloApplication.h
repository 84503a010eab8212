#pragma once
// Tavlo's application object. Every event goes through notify(); a kit
// exception that escapes an event handler is handed to the application's
// exception reporter (which the crash kit may have replaced with one that
// records it) instead of unwinding into Qt's event loop. A quit (the menu,
// Ctrl+Q, a termination signal) always ends the event loop.

#include <QApplication>

class BBXKitException;

class TavloApplication : public QApplication {
public:
    TavloApplication(int& argc, char** argv);
    ~TavloApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // The reporter the application registers: one line in the system log.
    static void reportException(void* application, const BBXKitException& exception);

protected:
    // A quit ends the event loop whatever windows are open: Tavlo's windows
    // hide when asked to close, which Qt would take as a refusal to quit.
    bool event(QEvent* event) override;
};
