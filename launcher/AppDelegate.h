#pragma once
// TavloLauncher's delegate. The session starts the launcher at login from
// Tavlo.app/Contents/Library/LoginItems/TavloLauncher.app; it starts the
// application bundle it lies in (a running one comes forward instead) and
// quits. It shows nothing and needs no display. Main thread only.
#include <filesystem>
#include <functional>

#include "platform/foundation/Result.h"

namespace launcher {

class AppDelegate {
public:
    // terminate ends the program; the delegate calls it once launching is done.
    explicit AppDelegate(std::function<void()> terminate);

    // Launches the application this launcher's bundle lies in, then
    // terminates, whether or not the launch succeeded. A launcher that does
    // not lie in an application's login items, or whose application cannot
    // be started, says why in one line of the system log.
    void applicationDidFinishLaunching();
    void applicationWillTerminate() {}

    // The application bundle that holds a launcher bundle: four components up
    // from it, when those four are Contents, Library, LoginItems and an ".app"
    // folder, and what is left is an ".app" bundle with its Info.plist.
    static foundation::Result<std::filesystem::path> applicationBundlePath(const std::filesystem::path& launcherBundle);

private:
    std::function<void()> terminate_;
};

}  // namespace launcher
