// TavloLauncher's entry: no window, no display and no event loop (nothing
// arrives for it to answer): the launch, then exit 0 whatever happened.
#include "AppDelegate.h"

int main() {
    // Returning from main is the termination the delegate asks for.
    launcher::AppDelegate delegate([] {});
    delegate.applicationDidFinishLaunching();
    delegate.applicationWillTerminate();
    return 0;
}
