#pragma once
// The front application on X11, from the window manager's EWMH hints: the
// active window (_NET_ACTIVE_WINDOW) and the managed windows
// (_NET_CLIENT_LIST) of the root window, and of each window its process
// (_NET_WM_PID), its GTK application id and WM_CLASS, matched against the
// installed desktop entries. Any thread: calls share one connection of their
// own under a lock.
//
// The running applications are kept, per managed window, from one watch of
// the root window: the window manager's changes of its client list say when
// to look again, and then only new windows are asked about, so a capture's
// question costs no round trip per window nor a read of /proc.
//
// The same watch follows the active window: a thread waits on the
// connection, and each change of _NET_ACTIVE_WINDOW is read as it comes, so
// the last window active before ours is known even when nobody asked while it
// was active. A window is ours when its _NET_WM_PID is this process.
//
// Without a window manager there is no active window, so no application.

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/desktop/DesktopEntries.h"
#include "platform/desktop/FrontApplication.h"

namespace desktop {

class X11FrontApplication final : public FrontApplication {
public:
    // Nothing when no X server answers at $DISPLAY.
    static std::unique_ptr<X11FrontApplication> open();
    ~X11FrontApplication() override;

    bool canIdentifyApplications() const override { return true; }
    std::optional<AppIdentity> activeApplication() override;
    std::vector<AppIdentity> runningApplications() override;
    std::optional<AppIdentity> lastForeignApplication() override;
    // Sends _NET_ACTIVE_WINDOW for it as a pager would (source 2), with the
    // server time of the last change seen.
    bool activateLastForeignWindow() override;

private:
    struct State;
    explicit X11FrontApplication(std::unique_ptr<State> state);
    // The entries, read again when a window matched none and they are old
    // enough that an application may have been installed since.
    const DesktopEntry* entryFor(const WindowClaims& claims);
    AppIdentity identify(const WindowClaims& claims, int64_t pid);
    // Takes the watch's events and, when the active window changed, notes it
    // if it is not ours. Under the lock.
    void follow();
    // The watch's thread: follows until the object goes.
    void watch();

    std::mutex mutex_;
    std::unique_ptr<State> s_;
    DesktopEntries entries_;
    std::chrono::steady_clock::time_point entriesLoaded_{};
    bool entriesRead_ = false;
    int wake_ = -1;  // an eventfd that ends the watch
    std::thread watcher_;
};

}  // namespace desktop
