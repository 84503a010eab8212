#pragma once
// What another process asks of a running application on the session bus:
// whether one owns a bundle identifier, and asking it to reopen. Through
// sd-bus rather than Qt, so a login item that only starts its application
// loads no Qt at all; the application's own side is ApplicationBus. Any
// thread; each call makes a connection of its own.
#include <chrono>
#include <string>

#include "platform/foundation/Result.h"

namespace desktop {

class ApplicationBusClient {
public:
    // The object path and interface an application with this identifier answers on.
    static std::string objectPathFor(const std::string& identifier);
    static std::string interfaceFor(const std::string& identifier);

    // True when some process owns identifier on the session bus; false also
    // when no session bus is reachable.
    static bool hasOwner(const std::string& identifier);
    // Calls the owner's Reopen and waits up to timeout for its answer; an
    // error reply keeps the bus's error name as its domain.
    static foundation::Result<void> reopenOwner(const std::string& identifier, std::chrono::milliseconds timeout);
};

}  // namespace desktop
