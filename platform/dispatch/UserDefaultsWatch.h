#pragma once
// Settings files other processes replace, picked up off the main thread: one
// watch per settings folder on the process's inotify instance, a serial queue
// that reads a replaced file again, and the main queue that lays its values in
// and tells the suite's observers. The application installs it at start-up;
// tools that never run the main queue keep the suites' own check on each read.

namespace dispatch {

class UserDefaultsWatch {
public:
    // Installs the watch as the suites' folder watcher; again is harmless.
    static void install();
    // Drops the watches; reads check the files themselves again.
    static void uninstall();
};

}  // namespace dispatch
