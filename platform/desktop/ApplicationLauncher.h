#pragma once
// Starting another application bundle, with no more than sd-bus: a login item
// that only starts its application links this and loads no Qt. Any thread.
#include <filesystem>
#include <string>

#include "platform/foundation/Result.h"

namespace desktop {

class ApplicationLauncher {
public:
    // Starts the application bundle at bundlePath: when a process already owns
    // the bundle's identifier on the session bus, that process is asked to
    // reopen instead; otherwise the bundle's executable is started detached (a
    // session of its own, no standard streams, nobody waiting for it). A
    // program that cannot be executed is an error.
    static foundation::Result<void> launchApplicationAtPath(const std::filesystem::path& bundlePath);
};

}  // namespace desktop
