#pragma once
// Which application the user works in: the one owning the active window, and
// those with a window on the desktop. Capture asks it for the application a
// copy came from, so the user's per-application rules apply. Any thread.
//
// An application is known by its desktop-file id ("org.gnome.TextEditor"),
// which plays the bundle identifier, and the entry's Name, which plays the
// bundle name; the rules the user makes store the same id.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace desktop {

struct AppIdentity {
    std::string bundleIdentifier;  // empty when the window names no application
    std::string bundleName;
    int64_t processIdentifier = 0;  // 0 when the window does not say
    bool operator==(const AppIdentity&) const = default;
};

class FrontApplication {
public:
    virtual ~FrontApplication();

    // Whether this desktop tells windows' applications at all (not under
    // Wayland, nor without a display): without it every answer is empty.
    virtual bool canIdentifyApplications() const = 0;
    // The application of the active window; nothing when no window is active.
    virtual std::optional<AppIdentity> activeApplication() = 0;
    // The applications with a window on the desktop, each once.
    virtual std::vector<AppIdentity> runningApplications() = 0;
    // Those running applications with this identifier.
    std::vector<AppIdentity> runningApplicationsWithBundleIdentifier(std::string_view bundleIdentifier);

    // Our own windows take the keyboard while the user works in them, so a
    // paste goes to the window that was active before them: the last active
    // window not of this process. Its application; nothing when no such window
    // was seen (this application is then the front one).
    virtual std::optional<AppIdentity> lastForeignApplication() { return std::nullopt; }
    // Asks the window manager to make that window active again and waits (up
    // to kActivationTimeout) until it is; false when there is none or it did
    // not become active in time.
    virtual bool activateLastForeignWindow() { return false; }
    static constexpr std::chrono::milliseconds kActivationTimeout{500};

    // The desktop's: X11's when $DISPLAY reaches an X server, else one that
    // identifies nothing. Never null.
    static std::shared_ptr<FrontApplication> create();
};

}  // namespace desktop
