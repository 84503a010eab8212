#pragma once
// Turns the signals that ask a desktop program to end (SIGTERM from the
// session, SIGINT from a terminal, SIGHUP when the terminal goes) into one
// call on the main queue, so they end the program the way its Quit command
// does. Needs a running Qt application; main queue only.
#include <functional>

namespace desktop {

class TerminationSignals {
public:
    // Installs the handlers once; later calls replace the action.
    static bool install(std::function<void()> action);
};

}  // namespace desktop
