#include "FileSizeSignal.h"

#include <signal.h>

#include <mutex>

namespace foundation {

void ignoreFileSizeSignalUnlessHandled() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGXFSZ, SIG_IGN);
    });
}

}  // namespace foundation
