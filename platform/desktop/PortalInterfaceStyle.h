#pragma once
// The desktop's colour-scheme preference from the freedesktop settings portal
// ("org.freedesktop.appearance" "color-scheme": 1 prefers dark), followed live
// through the portal's SettingChanged signal. Without a portal, a GTK_THEME
// ending in ":dark" counts as dark. Any thread; the first call reads the portal
// once (briefly blocking), later calls answer from memory.

#include <atomic>
#include <memory>
#include <mutex>

#include "InterfaceStyle.h"

namespace desktop {

class PortalInterfaceStyle final : public InterfaceStyle {
public:
    PortalInterfaceStyle();
    ~PortalInterfaceStyle() override;

    foundation::PlistValue appleInterfaceStyle() const override;

    // Maps a portal colour-scheme value (0 none, 1 dark, 2 light).
    static bool prefersDark(unsigned colorScheme) { return colorScheme == 1; }
    // The fallback read of GTK_THEME ("Adwaita:dark").
    static bool gtkThemePrefersDark(const char* gtkTheme);

    class Listener;  // receives the portal's signal on the main thread

private:
    void start() const;
    void update(bool dark);

    mutable std::once_flag started_;
    mutable std::atomic<bool> dark_{false};
    mutable std::unique_ptr<Listener> listener_;
};

}  // namespace desktop
