#pragma once
// Posts the application's lifecycle on the default notification centre under
// the names the kits observe: kWillTerminate when the event loop is about to
// end, kDidBecomeActive when one of our windows becomes the active one, and
// kWillResignActive when the last of them stops being it. Needs a running Qt
// application; main thread only.

namespace desktop {

class ApplicationLifecycle {
public:
    static constexpr const char* kWillTerminate = "NSApplicationWillTerminateNotification";
    static constexpr const char* kWillResignActive = "NSApplicationWillResignActiveNotification";
    static constexpr const char* kDidBecomeActive = "NSApplicationDidBecomeActiveNotification";

    // Connects to the application once; later calls do nothing.
    static void install();
};

}  // namespace desktop
