#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace desktop {

namespace {

int wakePipe[2] = {-1, -1};
std::function<void()>* pendingAction = nullptr;

void onSignal(int) {
    // Only async-signal-safe work here: one byte into the pipe the main
    // thread watches.
    int saved = errno;
    char byte = 1;
    (void)!::write(wakePipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

bool TerminationSignals::install(std::function<void()> action) {
    if (!pendingAction) pendingAction = new std::function<void()>();
    *pendingAction = std::move(action);
    if (wakePipe[0] >= 0) return true;
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    auto* notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char buffer[64];
        while (::read(wakePipe[0], buffer, sizeof buffer) > 0) {
        }
        if (pendingAction && *pendingAction) (*pendingAction)();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &sa, nullptr);
    return true;
}

}  // namespace desktop
