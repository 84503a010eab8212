#pragma once
// Which application the user works in: the one owning the active window, and
// those with a window on the desktop. Capture asks it for the application a
// copy came from, so the user's per-application rules apply. Any thread.
//
// An application is known by its desktop-file id ("org.gnome.TextEditor"),
// which plays the bundle identifier, and the entry's Name, which plays the
// bundle name; the rules the user makes store the same id.

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

    // The desktop's: X11's when $DISPLAY reaches an X server, else one that
    // identifies nothing. Never null.
    static std::shared_ptr<FrontApplication> create();
};

}  // namespace desktop
